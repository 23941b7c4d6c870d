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

namespace {

// The folder of the lock files when XDG_RUNTIME_DIR is unset: one of this
// user only, so no other user can plant or hold a lock in it.
std::string privateFolder() {
    return "/tmp/kestrova-" + std::to_string(::getuid());
}

// Opens (making it when missing) the private folder, refusing one that is
// not a folder of this user that only this user can write.
int openPrivateFolder(std::string& error) {
    const std::string path = privateFolder();
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        error = path + ": " + errnoText(errno);
        return -1;
    }
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        error = path + ": " + errnoText(errno);
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() ||
        (st.st_mode & 077) != 0) {
        error = path + ": not a private folder of this user (owner or mode)";
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

std::string NamedLock::lockPath(const std::string& name) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime)
        return std::string(runtime) + "/" + name + ".lock";
    return privateFolder() + "/" + name + ".lock";
}

bool NamedLock::tryAcquire(const std::string& name, std::string& error) {
    release();
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const bool shared = !(runtime && *runtime);
    std::string path = lockPath(name);
    int folder = AT_FDCWD;
    if (shared) {
        folder = openPrivateFolder(error);
        if (folder < 0)
            return false;
    }
    // O_NOFOLLOW: a symbolic link planted under the name is refused, not
    // followed to somebody else's file. In the private folder the name is
    // opened relative to the folder that was checked.
    int fd = ::openat(folder, shared ? (name + ".lock").c_str() : path.c_str(),
                      O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    const int openErr = errno;
    if (shared)
        ::close(folder);
    if (fd < 0) {
        error = path + ": " + errnoText(openErr);
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
