// A lock shared by every process of the user: an advisory flock on a file
// in $XDG_RUNTIME_DIR or, when that is unset, in the folder
// /tmp/kestrova-<uid> (made 0700; refused unless it is this user's and
// closed to others). It dies with its holder.
#pragma once

#include <string>

namespace kestrova {

class NamedLock {
public:
    NamedLock() = default;
    ~NamedLock() { release(); }
    NamedLock(const NamedLock&) = delete;
    NamedLock& operator=(const NamedLock&) = delete;
    NamedLock(NamedLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    NamedLock& operator=(NamedLock&& other) noexcept;

    // The file that stands for name.
    static std::string lockPath(const std::string& name);

    // Takes the lock without waiting. Returns false when it is held, by this
    // process or another ("already exists"), or cannot be had; error then
    // says why when it is not simply held.
    bool tryAcquire(const std::string& name, std::string& error);

    bool held() const { return fd_ >= 0; }
    void release();

private:
    int fd_ = -1;
};

} // namespace kestrova
