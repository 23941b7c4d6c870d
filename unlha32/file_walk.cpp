#include "file_walk.h"

#include "errors.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fnmatch.h>
#include <set>
#include <sys/stat.h>

namespace unlha {
namespace {

std::string joinPath(const std::string& a, const std::string& b) {
    if (a.empty())
        return b;
    if (b.empty())
        return a;
    return a.back() == '/' ? a + b : a + "/" + b;
}

std::vector<std::string> splitComponents(const std::string& path) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t slash = path.find('/', start);
        if (slash == std::string::npos)
            slash = path.size();
        std::string part = path.substr(start, slash - start);
        if (!part.empty() && part != ".")
            parts.push_back(part);
        start = slash + 1;
    }
    return parts;
}

std::string joinComponents(const std::vector<std::string>& parts, std::size_t count) {
    std::string s;
    for (std::size_t i = 0; i < count; ++i)
        s = joinPath(s, parts[i]);
    return s;
}

std::vector<std::string> listFolder(const std::string& path) {
    DIR* d = opendir(path.c_str());
    if (!d)
        throw FileError(describe("フォルダを読めません (cannot read folder)", path, errno));
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
        errno = 0;
    }
    const int err = errno;
    closedir(d);
    if (err != 0)
        throw FileError(describe("フォルダを読めません (cannot read folder)", path, err));
    std::sort(names.begin(), names.end());
    return names;
}

class Walker {
public:
    explicit Walker(const Command& cmd) : cmd_(cmd) {}

    void addTarget(const std::string& target) {
        const std::vector<std::string> parts = splitComponents(target);
        for (const auto& p : parts)
            if (p == "..")
                throw FileError("対象名に .. は使えません (.. not allowed in names): " + target);
        const bool absolute = target[0] == '/';
        const std::string root = absolute ? std::string("/") : cmd_.baseFolder;
        if (!parts.empty() && parts.back().find_first_of("*?") != std::string::npos) {
            const std::string folderRel = joinComponents(parts, parts.size() - 1);
            addMatching(joinPath(root, folderRel), folderRel, parts.back(), target);
            return;
        }
        const std::string rel = joinComponents(parts, parts.size());
        const std::string full = rel.empty() ? (root.empty() ? "." : root) : joinPath(root, rel);
        struct stat st {};
        if (stat(full.c_str(), &st) != 0)
            throw FileError(describe("対象が見つかりません (not found)", full, errno));
        if (S_ISREG(st.st_mode)) {
            addFile(full, rel);
        } else if (S_ISDIR(st.st_mode)) {
            if (cmd_.recurse)
                addFolder(full, rel, st);
            else
                addMatching(full, rel, "*", target);
        } else {
            throw FileError("通常のファイルではありません (not a regular file): " + full);
        }
    }

    std::vector<SourceEntry> take() {
        if (entries_.empty())
            throw FileError("圧縮するファイルがありません (nothing to archive): " + cmd_.archive);
        return std::move(entries_);
    }

private:
    std::string storedName(const std::string& rel) const {
        if (cmd_.keepPaths)
            return rel;
        const std::size_t slash = rel.rfind('/');
        return slash == std::string::npos ? rel : rel.substr(slash + 1);
    }

    void add(SourceEntry e) {
        if (e.storedPath.empty())
            return; // the base folder itself has no name of its own
        if (!names_.insert(e.storedPath).second)
            throw FileError("同じ名前が二度現れます (same name twice): " + e.storedPath);
        entries_.push_back(std::move(e));
    }

    void addFile(const std::string& full, const std::string& rel) {
        add({full, storedName(rel), false, 0, 0});
    }

    void addFolder(const std::string& full, const std::string& rel, const struct stat& st) {
        if (cmd_.folderEntries && cmd_.keepPaths)
            add({full, rel, true, static_cast<unsigned>(st.st_mode), st.st_mtime});
        for (const std::string& name : listFolder(full))
            addChild(joinPath(full, name), joinPath(rel, name), true);
    }

    // One item found inside a folder; folders are entered only with recursion.
    void addChild(const std::string& full, const std::string& rel, bool folders) {
        struct stat st {};
        if (lstat(full.c_str(), &st) != 0)
            throw FileError(describe("ファイルを調べられません (cannot examine)", full, errno));
        if (S_ISLNK(st.st_mode)) {
            if (stat(full.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
                return; // dangling or not a file
        }
        if (S_ISREG(st.st_mode))
            addFile(full, rel);
        else if (S_ISDIR(st.st_mode) && folders)
            addFolder(full, rel, st);
    }

    void addMatching(const std::string& folder, const std::string& folderRel,
                     const std::string& pattern, const std::string& target) {
        const std::string dir = folder.empty() ? "." : folder;
        struct stat st {};
        if (stat(dir.c_str(), &st) != 0)
            throw FileError(describe("対象が見つかりません (not found)", dir, errno));
        if (!S_ISDIR(st.st_mode))
            throw FileError("フォルダではありません (not a folder): " + target);
        for (const std::string& name : listFolder(dir))
            if (fnmatch(pattern.c_str(), name.c_str(), 0) == 0)
                addChild(joinPath(dir, name), joinPath(folderRel, name), cmd_.recurse);
    }

    const Command& cmd_;
    std::vector<SourceEntry> entries_;
    std::set<std::string> names_;
};

} // namespace

std::vector<SourceEntry> collectEntries(const Command& cmd) {
    Walker w(cmd);
    for (const std::string& t : cmd.targets)
        w.addTarget(t);
    return w.take();
}

} // namespace unlha
