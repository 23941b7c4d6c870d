#include "watch/MountTable.h"

#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <unistd.h>

namespace kestrova {

namespace {

// Mount points escape space, tab, newline and backslash as \ooo.
std::string unescape(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '3' &&
            s[i + 2] >= '0' && s[i + 2] <= '7' && s[i + 3] >= '0' && s[i + 3] <= '7') {
            out +=
                static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

bool startsWith(const std::string& s, const char* prefix) {
    return s.rfind(prefix, 0) == 0;
}

} // namespace

MountTable::MountTable(const std::string& file)
    : file_(file), changes_(::open(file.c_str(), O_RDONLY | O_CLOEXEC)) {
    read();
}

MountTable::~MountTable() {
    if (changes_ >= 0)
        ::close(changes_);
}

bool MountTable::refresh() {
    // Polling takes the kernel's flag: set when the table changed since the
    // file was opened or last polled.
    pollfd p{changes_, POLLPRI, 0};
    if (changes_ < 0 || ::poll(&p, 1, 0) <= 0 || (p.revents & (POLLPRI | POLLERR)) == 0)
        return false;
    read();
    return true;
}

void MountTable::read() {
    mounts_.clear();
    std::ifstream in(file_);
    std::string line;
    while (std::getline(in, line)) {
        // id parent major:minor root point options [optional...] - type source super
        std::istringstream fields(line);
        std::string id, parent, devno, root, point, options, word;
        if (!(fields >> id >> parent >> devno >> root >> point >> options))
            continue;
        while (fields >> word && word != "-") {
        }
        std::string type;
        if (word != "-" || !(fields >> type))
            continue;
        Mount m{unescape(point), type};
        if (m.point.size() > 1 && m.point.back() == '/')
            m.point.pop_back();
        mounts_.push_back(std::move(m));
    }
}

const MountTable::Mount* MountTable::mountOf(const std::string& path) const {
    const Mount* best = nullptr;
    for (const Mount& m : mounts_) {
        const bool under =
            m.point == "/" || (path.compare(0, m.point.size(), m.point) == 0 &&
                               (path.size() == m.point.size() || path[m.point.size()] == '/'));
        // A later mount on the same point hides the earlier one.
        if (under && (!best || m.point.size() >= best->point.size()))
            best = &m;
    }
    return best;
}

bool MountTable::mayHang(const std::string& path, std::string* mountPoint) const {
    const Mount* m = mountOf(path);
    if (!m || !typeMayHang(m->type))
        return false;
    if (mountPoint)
        *mountPoint = m->point;
    return true;
}

bool MountTable::typeMayHang(const std::string& type) {
    static const char* const kRemote[] = {"nfs",       "cifs",   "smb",   "9p",  "afs",  "ceph",
                                          "glusterfs", "lustre", "gpfs",  "ncp", "coda", "davfs",
                                          "orangefs",  "beegfs", "pvfs2", "fuse"};
    for (const char* prefix : kRemote)
        if (startsWith(type, prefix))
            return true;
    return false;
}

} // namespace kestrova
