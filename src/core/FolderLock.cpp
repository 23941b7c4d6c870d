#include "core/FolderLock.h"

#include "core/FileIo.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace kestrova {

std::string FolderLock::lockPath(const std::string& folder) {
    if (folder.empty())
        return "kestrova.lock";
    return folder.back() == '/' ? folder + "kestrova.lock" : folder + "/kestrova.lock";
}

bool FolderLock::tryAcquire(const std::string& folder, std::string& error) {
    release();
    error.clear();
    const std::string path = lockPath(folder);
    // A read-only folder may still hold the file; flock needs no write access.
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd < 0)
        fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        error = path + ": " + errnoText(errno);
        return true;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        ::close(fd);
        if (err == EWOULDBLOCK)
            return false;
        error = path + ": " + errnoText(err);
        return true;
    }
    fd_ = fd;
    return true;
}

void FolderLock::release() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

} // namespace kestrova
