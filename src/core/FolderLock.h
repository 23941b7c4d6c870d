// A lock on the program folder itself: an advisory flock on the file
// kestrova.lock (mode 0600) there, so passes of every run on one folder are
// serialised whatever their environment. It dies with its holder.
#pragma once

#include <string>

namespace kestrova {

class FolderLock {
public:
    FolderLock() = default;
    ~FolderLock() { release(); }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    static std::string lockPath(const std::string& folder);

    // Takes the lock of folder without waiting. Returns false only when
    // another holds it. When no lock file can be had there (a read-only
    // folder) it returns true without the lock and error says why.
    bool tryAcquire(const std::string& folder, std::string& error);

    bool held() const { return fd_ >= 0; }
    void release();

private:
    int fd_ = -1;
};

} // namespace kestrova
