#include "core/NamedLock.h"

#include "core/FileIo.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrova {

NamedLock& NamedLock::operator=(NamedLock&& other) noexcept {
    if (this != &other) {
        release();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

std::string NamedLock::lockPath(const std::string& name) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime)
        return std::string(runtime) + "/" + name + ".lock";
    return "/tmp/" + name + "-" + std::to_string(::getuid()) + ".lock";
}

bool NamedLock::tryAcquire(const std::string& name, std::string& error) {
    release();
    std::string path = lockPath(name);
    // O_NOFOLLOW: a symbolic link planted under the name is refused, not
    // followed to somebody else's file.
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = path + ": " + errnoText(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::getuid()) {
        error = path + ": not a private lock file";
        ::close(fd);
        return false;
    }
    // flock conflicts between open file descriptions, so a second attempt
    // in this same process fails too, as it should.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK)
            error = path + ": " + errnoText(errno);
        ::close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

void NamedLock::release() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

} // namespace kestrova
