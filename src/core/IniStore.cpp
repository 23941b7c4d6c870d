#include "core/IniStore.h"

#include "core/IniFile.h"
#include "core/WatchListReader.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>

namespace kestrova {

namespace {

long long realNowNs() {
    struct timespec ts {};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// File times advance in clock ticks, not nanoseconds: a file changed within
// a tick of the moment its identity was taken could change again with the
// same identity, so such an identity is not trusted for the cache.
bool settled(const FileIdentity& id, long long takenNs) {
    constexpr long long kTickNs = 100'000'000;
    return !id.exists || std::max(id.mtimeNs, id.ctimeNs) + kTickNs < takenNs;
}

// FNV-1a over bytes given a piece at a time, and their count.
struct Digest {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    std::size_t size = 0;
    void add(std::string_view piece) {
        for (unsigned char c : piece)
            hash = (hash ^ c) * 0x100000001b3ULL;
        size += piece.size();
    }
};

// The digest of a file's bytes, read a piece at a time; false when it
// cannot be read.
bool fileDigest(const std::string& path, Digest& digest) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return false;
    std::string buf(1 << 16, '\0');
    ssize_t n;
    while ((n = ::read(fd, buf.data(), buf.size())) != 0) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        digest.add(std::string_view(buf.data(), static_cast<std::size_t>(n)));
    }
    ::close(fd);
    return n == 0;
}

} // namespace

// The watch list last written stands for the file when the file is still
// the one written and now a clock tick old (so its identity will tell any
// later edit), and its bytes are what was written: a pass after a change
// reads the file back, but does not parse it again.
bool IniStore::adoptWritten(const std::string& file, const FileIdentity& id, long long taken) {
    if (writtenFile_ != file || !id.exists || !(id == writtenId_) || !settled(id, taken) ||
        writtenList_.empty())
        return false;
    Digest digest;
    if (!fileDigest(file, digest) || digest.size != writtenSize_ || digest.hash != writtenHash_)
        return false;
    listValid_ = true;
    listFile_ = file;
    listId_ = id;
    list_ = writtenList_;
    writtenSettled_ = true;
    return true;
}

bool IniStore::read(AppSettings& s, std::vector<WatchEntry>& watchList,
                    std::pair<FileIdentity, FileIdentity>* identities, std::string& error) {
    const long long taken = realNowNs();
    const FileIdentity settingsId = fileIdentity(s.SettingsFile);
    const FileIdentity listId = fileIdentity(s.WatchListFile);
    if (identities)
        *identities = {settingsId, listId};
    const bool settingsHit =
        settingsValid_ && settingsFile_ == s.SettingsFile && settingsId_ == settingsId;
    const bool listHit = (listValid_ && listFile_ == s.WatchListFile && listId_ == listId) ||
                         adoptWritten(s.WatchListFile, listId, taken);
    if (!settingsHit)
        settingsValid_ = false;
    if (!listHit) {
        listValid_ = false;
        list_.clear(); // not held beside the new parse
    }
    IniFile ini;
    if (!settingsHit && !ini.load(s.SettingsFile, error))
        return false;
    WatchListRead read;
    if (!listHit && !readWatchList(s.WatchListFile, read, error))
        return false;
    if (settingsHit)
        static_cast<StoredSettings&>(s) = stored_;
    else
        readStoredSettings(ini, s);
    if (!settingsHit && settled(settingsId, taken)) {
        settingsValid_ = true;
        settingsFile_ = s.SettingsFile;
        settingsId_ = settingsId;
        stored_ = s;
    }
    if (listHit) {
        watchList = list_;
        return true;
    }
    watchList = std::move(read.list);
    listUnreached_ = read.unreached;
    // A file a Linux editor wrote (UTF-8 without a mark) is written back the
    // same way.
    plainUtf8List_ = read.encoding == text::FileEncoding::Utf8 ? s.WatchListFile : std::string();
    if (settled(listId, taken)) {
        listValid_ = true;
        listFile_ = s.WatchListFile;
        listId_ = listId;
        list_ = watchList;
    }
    return true;
}

// Compared with what was last read or written here, not with the file: an
// unchanged identity means nobody wrote it since.
bool IniStore::writeList(const std::string& file, const std::vector<WatchEntry>& watchList,
                         std::string& error) {
    const FileIdentity current = fileIdentity(file);
    // The file holds what the last read parsed, and the list is that.
    if (listValid_ && listFile_ == file && current.exists && current == listId_ &&
        watchList == list_)
        return true;
    // The file is still what was written last, and the list is that.
    if (writtenFile_ == file && current.exists && current == writtenId_ &&
        (writtenSettled_ || settled(current, realNowNs())) && watchList == writtenList_)
        return true;
    // The lists read and written last are not what the file will hold: let
    // them go before the bytes are made (a large record is then not held
    // twice).
    if (listFile_ == file) {
        listValid_ = false;
        list_.clear();
    }
    writtenList_.clear();
    // The bytes are made twice, a piece at a time, rather than held whole:
    // once to compare them with the file, once to write them.
    const ListEncoding encoding = watchListEncoding(watchList, plainUtf8List_ == file);
    Digest digest;
    FileComparison held(file, kWatchListMode);
    watchListBytes(watchList, encoding, [&](std::string_view piece) {
        digest.add(piece);
        held.add(piece);
    });
    if (writtenFile_ == file && writtenSize_ == digest.size && writtenHash_ == digest.hash &&
        writtenSettled_ && current.exists && current == writtenId_) {
        writtenList_ = watchList;
        return true;
    }
    writtenFile_.clear();
    if (!held.same() && !writeFileAtomic(file, kWatchListMode, error, [&](const PutBytes& put) {
            watchListBytes(watchList, encoding, [&](std::string_view piece) { put(piece); });
        }))
        return false;
    const long long taken = realNowNs();
    writtenFile_ = file;
    writtenId_ = fileIdentity(file);
    writtenSettled_ = settled(writtenId_, taken);
    writtenHash_ = digest.hash;
    writtenSize_ = digest.size;
    writtenList_ = watchList;
    if (!(listFile_ == file && writtenId_ == listId_))
        listValid_ = false; // read back (not parsed) at the next read
    return true;
}

} // namespace kestrova
