#include "notify/MailBody.h"

#include "core/App.h"
#include "core/FileIo.h"
#include "core/Text.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kestrova {

namespace {

constexpr unsigned kCr = 0x0D;
constexpr unsigned kLf = 0x0A;

enum class Encoding { Bytes, Utf8Marked, Utf16Le, Utf16Be };

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// The file as a run of code units (bytes, or UTF-16 units) between begin
// and end, read in chunks.
struct Units {
    const std::string& path;
    int fd;
    Encoding encoding;
    std::int64_t begin; // first byte after the mark
    std::size_t width;  // bytes per unit
    std::size_t chunk;  // bytes per read, a multiple of width

    unsigned at(const std::string& buf, std::size_t i) const {
        const auto a = static_cast<unsigned char>(buf[i]);
        if (width == 1)
            return a;
        const auto b = static_cast<unsigned char>(buf[i + 1]);
        return encoding == Encoding::Utf16Le ? (a | (b << 8)) : ((a << 8) | b);
    }

    // Up to len bytes from offset; fewer only at the end of the file.
    void read(std::int64_t offset, std::size_t len, std::string& buf) const {
        buf.resize(len);
        std::size_t got = 0;
        while (got < len) {
            const ssize_t n =
                ::pread(fd, buf.data() + got, len - got, offset + static_cast<off_t>(got));
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                throw std::runtime_error(path + ": " + errnoText(errno));
            }
            if (n == 0)
                break;
            got += static_cast<std::size_t>(n);
        }
        buf.resize(got);
    }
};

bool isAscii(const std::string& s) {
    return std::all_of(s.begin(), s.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// The UTF-16 units of one line as UTF-8, the way a whole-file read decodes
// them: pairs joined, a lone half as U+FFFD.
std::string decodeUtf16(const Units& u, const std::string& bytes) {
    std::string out;
    std::size_t i = 0;
    while (i + 1 < bytes.size()) {
        char32_t c = u.at(bytes, i);
        i += 2;
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < bytes.size()) {
            const char32_t lo = u.at(bytes, i);
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
                i += 2;
                text::appendUtf8(out, 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00));
                continue;
            }
        }
        text::appendUtf8(out, (c >= 0xD800 && c <= 0xDFFF) ? 0xFFFD : c);
    }
    return out;
}

// Whether the whole file is well-formed UTF-8, read chunk by chunk; a
// sequence cut by a chunk's end is carried over to the next chunk.
bool fileIsUtf8(const Units& u) {
    std::string buf, carry;
    std::int64_t offset = 0;
    for (;;) {
        u.read(offset, u.chunk, buf);
        const bool last = buf.size() < u.chunk;
        offset += static_cast<std::int64_t>(buf.size());
        std::string s = carry + buf;
        carry.clear();
        std::size_t pos = 0;
        while (pos < s.size()) {
            const auto c = static_cast<unsigned char>(s[pos]);
            const std::size_t need = (c & 0xE0) == 0xC0   ? 2
                                     : (c & 0xF0) == 0xE0 ? 3
                                     : (c & 0xF8) == 0xF0 ? 4
                                                          : 1;
            if (!last && pos + need > s.size()) {
                carry = s.substr(pos);
                break;
            }
            const std::size_t before = pos;
            const char32_t cp = text::nextCodePoint(s, pos);
            if (cp == 0xFFFD && !(pos - before == 3 && s.compare(before, 3, "\xEF\xBF\xBD") == 0))
                return false;
        }
        if (last)
            return carry.empty();
    }
}

// The first count lines from the first non-empty one, as raw units.
std::vector<std::string> firstLines(const Units& u, std::int64_t count) {
    std::vector<std::string> lines;
    std::string current, buf;
    bool started = false, afterCr = false;
    auto end = [&]() {
        if (started || !current.empty()) {
            started = true;
            lines.push_back(std::move(current));
        }
        current.clear();
        return static_cast<std::int64_t>(lines.size()) >= count;
    };
    std::int64_t offset = u.begin;
    for (;;) {
        u.read(offset, u.chunk, buf);
        offset += static_cast<std::int64_t>(buf.size());
        const std::size_t whole = buf.size() - buf.size() % u.width; // an odd last byte is no unit
        std::size_t segment = 0; // where the current line's part in buf starts
        for (std::size_t i = 0; i < whole; i += u.width) {
            const unsigned c = u.at(buf, i);
            if (afterCr) {
                afterCr = false;
                if (c == kLf) {
                    segment = i + u.width;
                    continue;
                }
            }
            if (c == kCr || c == kLf) {
                current.append(buf, segment, i - segment);
                if (end())
                    return lines;
                afterCr = c == kCr;
                segment = i + u.width;
            }
        }
        current.append(buf, segment, whole - segment);
        if (buf.size() < u.chunk)
            break;
    }
    // A last line without a line break.
    if (!current.empty())
        end();
    return lines;
}

// The last count lines up to the last non-empty one, as raw units (in file
// order), and how many empty lines follow that one.
std::vector<std::string> lastLines(const Units& u, std::int64_t fileSize, std::int64_t count,
                                   std::int64_t& trailingEmpty) {
    std::vector<std::string> lines;  // newest first
    std::vector<std::string> pieces; // of the line being read, newest first
    trailingEmpty = 0;
    bool afterBreak = false; // a line break has been passed: every later piece is a line
    bool afterLf = false;
    bool done = false;
    auto end = [&]() {
        std::string line;
        for (auto it = pieces.rbegin(); it != pieces.rend(); ++it)
            line += *it;
        pieces.clear();
        if (!afterBreak) {
            // Text after the last line break is a line only when there is some.
            afterBreak = true;
            if (line.empty())
                return;
        }
        if (lines.empty() && line.empty())
            ++trailingEmpty;
        else
            lines.push_back(std::move(line));
        done = static_cast<std::int64_t>(lines.size()) >= count;
    };
    const std::int64_t contentEnd = u.begin + (fileSize - u.begin) /
                                                  static_cast<std::int64_t>(u.width) *
                                                  static_cast<std::int64_t>(u.width);
    std::int64_t pos = contentEnd;
    std::string buf;
    while (pos > u.begin && !done) {
        const std::int64_t from = std::max(u.begin, pos - static_cast<std::int64_t>(u.chunk));
        const std::size_t len = static_cast<std::size_t>(pos - from);
        u.read(from, len, buf);
        if (buf.size() != len)
            throw std::runtime_error(u.path + ": " + errnoText(ESTALE)); // shrunk meanwhile
        pos = from;
        std::size_t segmentEnd = len;
        for (std::size_t i = len; i >= u.width && !done;) {
            i -= u.width;
            const unsigned c = u.at(buf, i);
            if (afterLf) {
                afterLf = false;
                if (c == kCr) { // the CR of a CR LF
                    segmentEnd = i;
                    continue;
                }
            }
            if (c == kCr || c == kLf) {
                pieces.push_back(buf.substr(i + u.width, segmentEnd - i - u.width));
                end();
                afterLf = c == kLf;
                segmentEnd = i;
            }
        }
        if (!done)
            pieces.push_back(buf.substr(0, segmentEnd));
    }
    // The first line of the file.
    if (!done)
        end();
    std::reverse(lines.begin(), lines.end());
    return lines;
}

} // namespace

std::string mailBodyLines(const std::string& path, std::int32_t count, bool& notRegular,
                          std::size_t chunkBytes) {
    notRegular = false;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        const int err = errno;
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0)
            return ""; // not an existing file
        throw std::runtime_error(path + ": " + errnoText(err));
    }
    Descriptor file(fd);
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        throw std::runtime_error(path + ": " + errnoText(errno));
    if (S_ISDIR(st.st_mode))
        return "";
    if (!S_ISREG(st.st_mode)) {
        notRegular = true;
        return "";
    }
    if (count == 0)
        return "";

    Units u{path, fd, Encoding::Bytes, 0, 1, 0};
    std::string head;
    u.read(0, 3, head);
    if (head.size() == 3 && head == "\xEF\xBB\xBF") {
        u.encoding = Encoding::Utf8Marked;
        u.begin = 3;
    } else if (head.size() >= 2 &&
               (head.compare(0, 2, "\xFF\xFE") == 0 || head.compare(0, 2, "\xFE\xFF") == 0)) {
        u.encoding = head[0] == '\xFF' ? Encoding::Utf16Le : Encoding::Utf16Be;
        u.begin = 2;
        u.width = 2;
    }
    u.chunk = std::max(u.width, chunkBytes - chunkBytes % u.width);

    std::vector<std::string> lines;
    std::int64_t trailingEmpty = 0;
    if (count > 0)
        lines = firstLines(u, count);
    else
        lines = lastLines(u, static_cast<std::int64_t>(st.st_size),
                          -static_cast<std::int64_t>(count), trailingEmpty);

    // Without a mark, UTF-8 and CP932 differ only outside ASCII, and which
    // of them applies is decided by the whole file.
    bool asUtf8 = false;
    if (u.encoding == Encoding::Bytes &&
        !std::all_of(lines.begin(), lines.end(), [](const std::string& l) { return isAscii(l); }))
        asUtf8 = fileIsUtf8(u);

    std::string out;
    for (const std::string& line : lines) {
        switch (u.encoding) {
        case Encoding::Utf16Le:
        case Encoding::Utf16Be:
            out += decodeUtf16(u, line);
            break;
        case Encoding::Utf8Marked:
            out += line;
            break;
        case Encoding::Bytes:
            out += asUtf8 ? line : text::fromCp932(line);
            break;
        }
        out += "\r\n";
    }
    for (std::int64_t i = 0; i < trailingEmpty; ++i)
        out += "\r\n";
    return out;
}

bool regularFileOrWarn(App& app, const std::string& path, const char* procedure) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode))
        return false;
    if (S_ISREG(st.st_mode))
        return true;
    if (app.warnedOnce.first(Warning::NotRegularFile, path))
        app.log.WriteLog(0, LogWarning, "MsgForm", procedure,
                         path + ": 通常のファイルではありません", 0);
    return false;
}

} // namespace kestrova
