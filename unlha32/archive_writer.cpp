#include "archive_writer.h"

#include "crc16.h"
#include "errors.h"
#include "file_walk.h"
#include "lh5_encoder.h"
#include "lzh_header.h"
#include "name_encoding.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace unlha {
namespace {

constexpr const char* kWriteFailed = "書庫に書き込めません (cannot write archive)";
constexpr std::size_t kReadChunk = 1 << 18;

// Buffered output with the position of every byte known, so that headers can
// be rewritten in place once sizes and CRC are known.
class OutFile {
public:
    OutFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) { buf_.reserve(1 << 20); }

    void put(const std::uint8_t* p, std::size_t n) {
        buf_.insert(buf_.end(), p, p + n);
        pos_ += n;
        if (buf_.size() >= (1 << 20))
            flush();
    }
    void put(const std::vector<std::uint8_t>& v) { put(v.data(), v.size()); }
    std::uint64_t position() const { return pos_; }

    void flush() {
        std::size_t done = 0;
        while (done < buf_.size()) {
            const ssize_t w = ::write(fd_, buf_.data() + done, buf_.size() - done);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                throw FileError(describe(kWriteFailed, path_, w < 0 ? errno : ENOSPC));
            done += static_cast<std::size_t>(w);
        }
        buf_.clear();
    }
    void overwrite(std::uint64_t at, const std::vector<std::uint8_t>& v) {
        flush();
        if (::pwrite(fd_, v.data(), v.size(), static_cast<off_t>(at)) !=
            static_cast<ssize_t>(v.size()))
            throw FileError(describe(kWriteFailed, path_, errno));
    }
    void truncate(std::uint64_t at) {
        flush();
        if (::ftruncate(fd_, static_cast<off_t>(at)) != 0 ||
            ::lseek(fd_, static_cast<off_t>(at), SEEK_SET) < 0)
            throw FileError(describe(kWriteFailed, path_, errno));
        pos_ = at;
    }

private:
    int fd_;
    std::string path_;
    std::vector<std::uint8_t> buf_;
    std::uint64_t pos_ = 0;
};

class CountingSink : public ByteSink {
public:
    explicit CountingSink(OutFile& out) : out_(out) {}
    void put(const std::uint8_t* p, std::size_t n) override {
        out_.put(p, n);
        count += n;
    }
    std::uint64_t count = 0;

private:
    OutFile& out_;
};

// The temporary archive; removed unless committed.
class TempArchive {
public:
    explicit TempArchive(const std::string& archive) {
        std::string tmpl = archive + ".tmpXXXXXX";
        fd_ = mkostemp(tmpl.data(), O_CLOEXEC);
        if (fd_ < 0)
            throw FileError(
                describe("書庫を作成できません (cannot create archive)", archive, errno));
        path_ = tmpl;
    }
    ~TempArchive() {
        if (fd_ >= 0)
            ::close(fd_);
        if (!committed_)
            ::unlink(path_.c_str());
    }
    TempArchive(const TempArchive&) = delete;
    TempArchive& operator=(const TempArchive&) = delete;
    int fd() const { return fd_; }

    void commit(const std::string& archive) {
        const int fd = fd_;
        fd_ = -1;
        if (::fsync(fd) != 0 || ::close(fd) != 0)
            throw FileError(describe(kWriteFailed, archive, errno));
        // Never replace a file that appeared at the archive path meanwhile.
        int r = ::renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, archive.c_str(), RENAME_NOREPLACE);
        if (r != 0 && (errno == EINVAL || errno == ENOSYS)) {
            r = ::link(path_.c_str(), archive.c_str());
            if (r == 0)
                ::unlink(path_.c_str());
        }
        if (r != 0)
            throw FileError(
                describe("書庫を作成できません (cannot create archive)", archive, errno));
        committed_ = true;
    }

private:
    int fd_ = -1;
    std::string path_;
    bool committed_ = false;
};

class FileReader {
public:
    explicit FileReader(const std::string& path) : path_(path) {
        // Non-blocking so that a pipe swapped in after the walk cannot hang us.
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (fd_ < 0)
            throw FileError(describe("ファイルを読めません (cannot read file)", path, errno));
        if (::fstat(fd_, &st_) != 0 || !S_ISREG(st_.st_mode)) {
            const int err = errno;
            ::close(fd_);
            throw FileError(describe("ファイルを読めません (cannot read file)", path,
                                     S_ISREG(st_.st_mode) ? err : 0));
        }
    }
    ~FileReader() { ::close(fd_); }
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    const struct stat& status() const { return st_; }
    std::size_t read(std::uint8_t* p, std::size_t n) {
        for (;;) {
            const ssize_t r = ::read(fd_, p, n);
            if (r >= 0)
                return static_cast<std::size_t>(r);
            if (errno != EINTR)
                throw FileError(describe("ファイルを読めません (cannot read file)", path_, errno));
        }
    }
    void rewind() {
        if (::lseek(fd_, 0, SEEK_SET) != 0)
            throw FileError(describe("ファイルを読めません (cannot read file)", path_, errno));
    }

private:
    std::string path_;
    int fd_ = -1;
    struct stat st_ {};
};

std::uint32_t unixTime(long long t) {
    if (t < 0)
        return 0;
    return t > static_cast<long long>(UINT32_MAX) ? UINT32_MAX : static_cast<std::uint32_t>(t);
}

void checkSize(std::uint64_t size, const std::string& path) {
    if (size > UINT32_MAX)
        throw FileError("4 GiB 以上のファイルは格納できません (file too large): " + path);
}

EntryHeader headerFor(const SourceEntry& e, const struct stat& st) {
    const StoredName name = encodeName(e.storedPath, e.isFolder);
    EntryHeader h;
    h.directory = name.directory;
    h.fileName = name.fileName;
    h.codePage = name.codePage;
    h.unixMode = static_cast<std::uint16_t>(st.st_mode);
    h.mtime = unixTime(st.st_mtime);
    h.dosAttributes = e.isFolder ? 0x10 : 0x20;
    if (e.isFolder)
        h.method = "-lhd-";
    return h;
}

void writeFolder(OutFile& out, const SourceEntry& e) {
    struct stat st {};
    st.st_mode = e.mode;
    st.st_mtime = e.mtime;
    out.put(buildLevel2Header(headerFor(e, st)));
}

void writeFile(OutFile& out, const SourceEntry& e, std::vector<std::uint8_t>& chunk) {
    FileReader in(e.sourcePath);
    checkSize(static_cast<std::uint64_t>(in.status().st_size), e.sourcePath);
    EntryHeader h = headerFor(e, in.status());
    const std::uint64_t headerAt = out.position();
    const std::size_t headerSize = buildLevel2Header(h).size();
    out.put(buildLevel2Header(h));
    const std::uint64_t dataAt = out.position();

    CountingSink sink(out);
    std::uint64_t size = 0;
    std::uint16_t crc = 0;
    {
        Lh5Encoder enc(sink);
        while (const std::size_t n = in.read(chunk.data(), chunk.size())) {
            size += n;
            checkSize(size, e.sourcePath);
            crc = crc16Update(crc, chunk.data(), n);
            enc.write(chunk.data(), n);
        }
        enc.finish();
    }
    h.compressedSize = static_cast<std::uint32_t>(sink.count);
    if (sink.count >= size) {
        // Compression did not pay: store the bytes as they are.
        out.truncate(dataAt);
        in.rewind();
        size = 0;
        crc = 0;
        while (const std::size_t n = in.read(chunk.data(), chunk.size())) {
            size += n;
            checkSize(size, e.sourcePath);
            crc = crc16Update(crc, chunk.data(), n);
            out.put(chunk.data(), n);
        }
        h.method = "-lh0-";
        h.compressedSize = static_cast<std::uint32_t>(size);
    }
    h.originalSize = static_cast<std::uint32_t>(size);
    h.crc = crc;
    const std::vector<std::uint8_t> header = buildLevel2Header(h);
    if (header.size() != headerSize)
        throw FileError("内部エラー (internal error: header size changed): " + e.sourcePath);
    out.overwrite(headerAt, header);
}

} // namespace

void writeArchive(const Command& cmd) {
    const std::vector<SourceEntry> entries = collectEntries(cmd);
    struct stat st {};
    if (::lstat(cmd.archive.c_str(), &st) == 0)
        throw FileError("書庫が既に存在します (archive already exists): " + cmd.archive);
    TempArchive tmp(cmd.archive);
    OutFile out(tmp.fd(), cmd.archive);
    std::vector<std::uint8_t> chunk(kReadChunk);
    for (const SourceEntry& e : entries) {
        if (e.isFolder)
            writeFolder(out, e);
        else
            writeFile(out, e, chunk);
    }
    const std::uint8_t end = kEndOfArchive;
    out.put(&end, 1);
    out.flush();
    tmp.commit(cmd.archive);
}

} // namespace unlha
