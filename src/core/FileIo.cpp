#include "core/FileIo.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kestrova {

std::string errnoText(int err) {
    char buf[256];
    // GNU strerror_r returns the text, which may or may not be buf.
    const char* text = strerror_r(err, buf, sizeof buf);
    return text;
}

ReadStatus readWholeFile(const std::string& path, std::string& out, std::string& error) {
    out.clear();
    // Without waiting: a named pipe under the name must not hold us up, and
    // only a regular file has an end to read to.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return ReadStatus::Missing;
        error = path + ": " + errnoText(errno);
        return ReadStatus::Failed;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int err = errno;
        ::close(fd);
        error = path + ": " +
                (S_ISDIR(st.st_mode) ? errnoText(EISDIR)
                 : st.st_mode != 0   ? std::string("not a regular file")
                                     : errnoText(err));
        return ReadStatus::Failed;
    }
    if (st.st_size > 0)
        out.reserve(static_cast<size_t>(st.st_size));
    char buf[65536];
    while (true) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error = path + ": " + errnoText(errno);
            ::close(fd);
            return ReadStatus::Failed;
        }
        if (n == 0)
            break;
        out.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return ReadStatus::Ok;
}

bool writeAll(int fd, std::string_view bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string parentFolder(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return "";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

std::string lastPathName(const std::string& path) {
    size_t end = path.size();
    while (end > 1 && path[end - 1] == '/')
        --end;
    const size_t slash = path.rfind('/', end - (end > 0));
    return slash == std::string::npos ? path.substr(0, end)
                                      : path.substr(slash + 1, end - slash - 1);
}

std::string linkTarget(const std::string& path) {
    std::string at = path;
    // As many links as the kernel follows; a loop stops there.
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return at;
        std::vector<char> buf(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1);
        const ssize_t n = ::readlink(at.c_str(), buf.data(), buf.size());
        if (n < 0 || static_cast<size_t>(n) >= buf.size())
            return at;
        std::string to(buf.data(), static_cast<size_t>(n));
        if (to.empty())
            return at;
        const std::string dir = parentFolder(at);
        at = to[0] == '/' || dir.empty() ? to : (dir == "/" ? dir : dir + "/") + to;
    }
    return at;
}

bool fileHolds(const std::string& path, std::string_view bytes, mode_t mode) {
    struct stat st {};
    // The mode of an existing file is kept on rewrite, so only a wider one
    // than asked for makes a difference.
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & 07777 & ~mode) ||
        st.st_uid != ::geteuid() || static_cast<std::uint64_t>(st.st_size) != bytes.size())
        return false;
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buf[65536];
    size_t done = 0;
    bool same = true;
    while (same) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            same = n == 0 && done == bytes.size();
            break;
        }
        const auto got = static_cast<size_t>(n);
        same = done + got <= bytes.size() && std::memcmp(buf, bytes.data() + done, got) == 0;
        done += got;
    }
    ::close(fd);
    return same;
}

bool writeFileIfChanged(const std::string& path, std::string_view bytes, mode_t mode,
                        std::string& error) {
    return fileHolds(linkTarget(path), bytes, mode) || writeFileAtomic(path, bytes, mode, error);
}

namespace {

bool writeFileAtomicWith(const std::string& linkPath, mode_t mode, std::string& error,
                         mode_t keepUpTo, const std::function<bool(int fd)>& fill);

} // namespace

bool writeFileAtomic(const std::string& linkPath, std::string_view bytes, mode_t mode,
                     std::string& error, mode_t keepUpTo) {
    return writeFileAtomicWith(linkPath, mode, error, keepUpTo,
                               [bytes](int fd) { return writeAll(fd, bytes); });
}

bool writeFileAtomic(const std::string& linkPath, mode_t mode, std::string& error,
                     const std::function<void(const PutBytes& put)>& produce) {
    return writeFileAtomicWith(linkPath, mode, error, 0, [&produce](int fd) {
        bool ok = true;
        int err = 0;
        produce([&](std::string_view piece) {
            if (ok && !writeAll(fd, piece)) {
                ok = false;
                err = errno;
            }
            return ok;
        });
        errno = err;
        return ok;
    });
}

FileComparison::FileComparison(const std::string& linkPath, mode_t mode) {
    const std::string path = linkTarget(linkPath);
    struct stat st {};
    // The mode of an existing file is kept on rewrite, so only a wider one
    // than asked for makes a difference.
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & 07777 & ~mode) ||
        st.st_uid != ::geteuid())
        return;
    fd_ = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    size_ = st.st_size;
}

FileComparison::~FileComparison() {
    if (fd_ >= 0)
        ::close(fd_);
}

void FileComparison::add(std::string_view piece) {
    if (fd_ < 0)
        return;
    if (done_ + static_cast<off_t>(piece.size()) > size_) {
        ::close(fd_);
        fd_ = -1;
        return;
    }
    buf_.resize(piece.size());
    size_t got = 0;
    while (got < piece.size()) {
        ssize_t n =
            ::pread(fd_, buf_.data() + got, piece.size() - got, done_ + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    if (got != piece.size() || std::memcmp(buf_.data(), piece.data(), got) != 0) {
        ::close(fd_);
        fd_ = -1;
        return;
    }
    done_ += static_cast<off_t>(got);
}

bool FileComparison::same() {
    if (fd_ < 0 || done_ != size_)
        return false;
    // Nothing after the bytes compared.
    char extra;
    ssize_t n;
    while ((n = ::pread(fd_, &extra, 1, done_)) < 0 && errno == EINTR) {
    }
    return n == 0;
}

namespace {

bool writeFileAtomicWith(const std::string& linkPath, mode_t mode, std::string& error,
                         mode_t keepUpTo, const std::function<bool(int fd)>& fill) {
    // A link (dotfiles kept elsewhere) stays: its target is what is rewritten,
    // in the target's folder.
    const std::string path = linkTarget(linkPath);
    // The file replaced keeps its owner, and its mode as far as keepUpTo
    // allows (a user's narrower choice stands, a wider one is closed).
    struct stat old {};
    const bool replacing = ::stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode);
    if (replacing)
        mode = old.st_mode & 07777 & (keepUpTo ? keepUpTo : mode);
    std::string dir = parentFolder(path);
    std::string tmpl = (dir.empty() ? std::string(".") : dir) + "/." +
                       path.substr(path.find_last_of('/') + 1) + ".XXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        error = path + ": " + errnoText(errno);
        return false;
    }
    auto fail = [&](int err) {
        error = path + ": " + errnoText(err);
        ::close(fd);
        ::unlink(name.data());
        return false;
    };
    // Only root may give a file away, and a user a group he is in; short of
    // that the new file is this user's.
    if (replacing && (old.st_uid != ::geteuid() || old.st_gid != ::getegid()) &&
        ::fchown(fd, old.st_uid, old.st_gid) != 0 &&
        ::fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0) {
    }
    if (::fchmod(fd, mode) != 0)
        return fail(errno);
    if (!fill(fd))
        return fail(errno);
    if (::fsync(fd) != 0)
        return fail(errno);
    if (::close(fd) != 0) {
        int err = errno;
        ::unlink(name.data());
        error = path + ": " + errnoText(err);
        return false;
    }
    if (::rename(name.data(), path.c_str()) != 0) {
        int err = errno;
        ::unlink(name.data());
        error = path + ": " + errnoText(err);
        return false;
    }
    // The rename lives in the folder: until the folder is on disk, a power
    // loss can bring the older file back.
    const int dirFd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0 || ::fsync(dirFd) != 0) {
        const int err = errno;
        if (dirFd >= 0)
            ::close(dirFd);
        // Some file systems cannot sync a folder; the file itself is in place.
        if (err != EINVAL && err != ENOTSUP) {
            error = path + ": " + errnoText(err);
            return false;
        }
        return true;
    }
    ::close(dirFd);
    return true;
}

} // namespace

FileIdentity fileIdentity(const std::string& path) {
    FileIdentity id;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return id;
    id.exists = true;
    id.device = st.st_dev;
    id.inode = st.st_ino;
    id.size = st.st_size;
    id.mtimeNs = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    id.ctimeNs = static_cast<long long>(st.st_ctim.tv_sec) * 1000000000LL + st.st_ctim.tv_nsec;
    return id;
}

} // namespace kestrova
