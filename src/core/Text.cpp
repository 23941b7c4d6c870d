#include "core/Text.h"

#include <algorithm>

#include <array>
#include <cerrno>
#include <cstdio>
#include <iconv.h>
#include <mutex>

namespace kestrova::text {

namespace {

// iconv descriptors are not thread-safe, so each conversion opens its own;
// opening costs little next to the file work around every call.
class Iconv {
public:
    Iconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
    ~Iconv() {
        if (cd_ != reinterpret_cast<iconv_t>(-1))
            iconv_close(cd_);
    }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;
    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
    iconv_t get() const { return cd_; }

private:
    iconv_t cd_;
};

bool isAscii(std::string_view s) {
    for (unsigned char c : s)
        if (c >= 0x80)
            return false;
    return true;
}

// CP932 lead byte test.
bool isLead(unsigned char c) {
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

bool isWide(char32_t cp) {
    // East Asian wide and full-width ranges, enough for display widths.
    return (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0x303E) ||
           (cp >= 0x3041 && cp <= 0x33FF) || (cp >= 0x3400 && cp <= 0x4DBF) ||
           (cp >= 0x4E00 && cp <= 0x9FFF) || (cp >= 0xA000 && cp <= 0xA4CF) ||
           (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
           (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
           (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x1F300 && cp <= 0x1F64F) ||
           (cp >= 0x1F900 && cp <= 0x1F9FF) || (cp >= 0x20000 && cp <= 0x3FFFD);
}

// Width of non-ASCII code points below U+10000 in CP932, computed once:
// 0 = not in CP932, 1 or 2 = bytes.
const std::array<unsigned char, 0x10000>& cp932Widths() {
    static std::array<unsigned char, 0x10000> table{};
    static std::once_flag once;
    std::call_once(once, [] {
        Iconv cd("UTF-32LE", "CP932");
        if (!cd.ok())
            return;
        auto record = [&](const char* in, size_t len) {
            char buf[8];
            char* ip = const_cast<char*>(in);
            size_t il = len;
            char* op = buf;
            size_t ol = sizeof buf;
            iconv(cd.get(), nullptr, nullptr, nullptr, nullptr);
            if (iconv(cd.get(), &ip, &il, &op, &ol) == static_cast<size_t>(-1) || il != 0 ||
                op - buf != 4)
                return;
            char32_t cp = static_cast<unsigned char>(buf[0]) |
                          (static_cast<unsigned char>(buf[1]) << 8) |
                          (static_cast<unsigned char>(buf[2]) << 16) |
                          (static_cast<char32_t>(static_cast<unsigned char>(buf[3])) << 24);
            if (cp < 0x10000 && cp >= 0x80 && table[cp] == 0)
                table[cp] = static_cast<unsigned char>(len);
        };
        for (int b = 0x80; b <= 0xFF; ++b) {
            char in[1] = {static_cast<char>(b)};
            if (!isLead(static_cast<unsigned char>(b)))
                record(in, 1);
        }
        for (int lead = 0x81; lead <= 0xFC; ++lead) {
            if (!isLead(static_cast<unsigned char>(lead)))
                continue;
            for (int trail = 0x40; trail <= 0xFC; ++trail) {
                if (trail == 0x7F)
                    continue;
                char in[2] = {static_cast<char>(lead), static_cast<char>(trail)};
                record(in, 2);
            }
        }
    });
    return table;
}

} // namespace

char32_t nextCodePoint(std::string_view s, size_t& pos) {
    auto c = static_cast<unsigned char>(s[pos]);
    if (c < 0x80) {
        ++pos;
        return c;
    }
    int len = 0;
    char32_t cp = 0;
    if ((c & 0xE0) == 0xC0) {
        len = 2;
        cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        len = 3;
        cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        len = 4;
        cp = c & 0x07;
    } else {
        ++pos;
        return 0xFFFD;
    }
    if (pos + len > s.size()) {
        ++pos;
        return 0xFFFD;
    }
    for (int i = 1; i < len; ++i) {
        auto cc = static_cast<unsigned char>(s[pos + i]);
        if ((cc & 0xC0) != 0x80) {
            ++pos;
            return 0xFFFD;
        }
        cp = (cp << 6) | (cc & 0x3F);
    }
    // Overlong forms, surrogates and out-of-range values are invalid.
    if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
        cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++pos;
        return 0xFFFD;
    }
    pos += len;
    return cp;
}

void appendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

bool isValidUtf8(std::string_view s) {
    size_t pos = 0;
    while (pos < s.size()) {
        size_t before = pos;
        char32_t cp = nextCodePoint(s, pos);
        if (cp == 0xFFFD && !(pos - before == 3 && s.substr(before, 3) == "\xEF\xBF\xBD"))
            return false;
    }
    return true;
}

namespace {

// Calls fn for each piece of s up to and including a line feed. A line feed
// is never part of a multi-byte character in UTF-8 or CP932, so converting
// piece by piece gives what converting the whole would, and lines of plain
// ASCII (most of a watch list) need no conversion at all.
template <typename Fn> bool forEachLine(std::string_view s, Fn fn) {
    size_t pos = 0;
    while (pos < s.size()) {
        size_t end = s.find('\n', pos);
        end = end == std::string_view::npos ? s.size() : end + 1;
        if (!fn(s.substr(pos, end - pos)))
            return false;
        pos = end;
    }
    return true;
}

void appendFromCp932(Iconv& cd, std::string_view bytes, std::string& out) {
    iconv(cd.get(), nullptr, nullptr, nullptr, nullptr);
    char* ip = const_cast<char*>(bytes.data());
    size_t il = bytes.size();
    char buf[4096];
    while (il > 0) {
        char* op = buf;
        size_t ol = sizeof buf;
        size_t r = cd.ok() ? iconv(cd.get(), &ip, &il, &op, &ol) : static_cast<size_t>(-1);
        out.append(buf, static_cast<size_t>(op - buf));
        if (r == static_cast<size_t>(-1)) {
            if (cd.ok() && errno == E2BIG)
                continue;
            // An undecodable byte: mark it and go on with the next one.
            appendUtf8(out, 0xFFFD);
            ++ip;
            --il;
        }
    }
}

} // namespace

bool toCp932(std::string_view utf8, std::string& out) {
    out.clear();
    if (isAscii(utf8)) {
        out.assign(utf8);
        return true;
    }
    Iconv cd("CP932", "UTF-8");
    Iconv back("UTF-8", "CP932");
    if (!cd.ok() || !back.ok())
        return false;
    out.reserve(utf8.size() + 16);
    std::string check;
    return forEachLine(utf8, [&](std::string_view line) {
        if (isAscii(line)) {
            out.append(line);
            return true;
        }
        if (!isValidUtf8(line))
            return false;
        const size_t start = out.size();
        out.resize(start + line.size() * 2 + 4);
        iconv(cd.get(), nullptr, nullptr, nullptr, nullptr);
        char* ip = const_cast<char*>(line.data());
        size_t il = line.size();
        char* op = out.data() + start;
        size_t ol = out.size() - start;
        if (iconv(cd.get(), &ip, &il, &op, &ol) == static_cast<size_t>(-1))
            return false;
        out.resize(out.size() - ol);
        // iconv also maps characters CP932 only resembles ("£" to the
        // full-width pound, "〜" to the full-width tilde); such text would
        // come back changed.
        check.clear();
        appendFromCp932(back, std::string_view(out).substr(start), check);
        return check == line;
    });
}

std::string fromCp932(std::string_view bytes) {
    if (isAscii(bytes))
        return std::string(bytes);
    Iconv cd("UTF-8", "CP932");
    std::string out;
    // A CP932 character of one or two bytes, at least one of them above
    // ASCII, is at most three bytes of UTF-8: the exact room for a large
    // file that is mostly ASCII, as a watch list is.
    size_t high = 0;
    for (char c : bytes)
        high += static_cast<unsigned char>(c) >= 0x80;
    out.reserve(bytes.size() + 2 * high + 4);
    forEachLine(bytes, [&](std::string_view line) {
        if (isAscii(line))
            out.append(line);
        else
            appendFromCp932(cd, line, out);
        return true;
    });
    return out;
}

std::string displayName(std::string_view bytes) {
    if (isValidUtf8(bytes))
        return std::string(bytes);
    // A name from a share with the wrong charset: CP932 when every byte
    // decodes so (a name written by Windows in Japanese).
    Iconv cd("UTF-8", "CP932");
    if (cd.ok()) {
        std::string out;
        char* ip = const_cast<char*>(bytes.data());
        size_t il = bytes.size();
        char buf[1024];
        size_t r = 0;
        while (il > 0) {
            char* op = buf;
            size_t ol = sizeof buf;
            r = iconv(cd.get(), &ip, &il, &op, &ol);
            out.append(buf, static_cast<size_t>(op - buf));
            if (r == static_cast<size_t>(-1) && errno != E2BIG)
                break;
        }
        if (il == 0 && r != static_cast<size_t>(-1))
            return out;
    }
    // Otherwise the UTF-8 parts as they are and every other byte as \xNN.
    std::string out;
    size_t pos = 0;
    while (pos < bytes.size()) {
        const size_t before = pos;
        const char32_t cp = nextCodePoint(bytes, pos);
        if (cp != 0xFFFD || bytes.substr(before, pos - before) == "\xEF\xBF\xBD") {
            out.append(bytes.substr(before, pos - before));
            continue;
        }
        for (size_t i = before; i < pos; ++i) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(bytes[i]));
            out += hex;
        }
    }
    return out;
}

int charWidth(char32_t cp) {
    if (cp < 0x80)
        return 1;
    if (cp < 0x10000) {
        unsigned char w = cp932Widths()[cp];
        if (w != 0)
            return w;
    }
    return isWide(cp) ? 2 : 1;
}

int width(std::string_view utf8) {
    int w = 0;
    size_t pos = 0;
    while (pos < utf8.size()) {
        auto c = static_cast<unsigned char>(utf8[pos]);
        if (c < 0x80) {
            ++w;
            ++pos;
            continue;
        }
        w += charWidth(nextCodePoint(utf8, pos));
    }
    return w;
}

std::string headByWidth(std::string_view utf8, int maxWidth) {
    int w = 0;
    size_t pos = 0;
    while (pos < utf8.size()) {
        size_t next = pos;
        int cw = charWidth(nextCodePoint(utf8, next));
        if (w + cw > maxWidth)
            break;
        w += cw;
        pos = next;
    }
    return std::string(utf8.substr(0, pos));
}

std::string tailByWidth(std::string_view utf8, int maxWidth) {
    // Walk forward once, remembering where each character starts.
    std::string_view s = utf8;
    int total = width(s);
    size_t pos = 0;
    while (pos < s.size() && total > maxWidth) {
        size_t next = pos;
        total -= charWidth(nextCodePoint(s, next));
        pos = next;
    }
    return std::string(s.substr(pos));
}

static const std::string_view kUtf8Bom = "\xEF\xBB\xBF";

FileEncoding detectEncoding(std::string_view bytes) {
    if (bytes.substr(0, 3) == kUtf8Bom)
        return FileEncoding::Utf8Bom;
    const bool nonAscii = std::any_of(bytes.begin(), bytes.end(),
                                      [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
    return nonAscii && isValidUtf8(bytes) ? FileEncoding::Utf8 : FileEncoding::Cp932;
}

std::string decodeFile(std::string_view bytes, FileEncoding* found) {
    const FileEncoding encoding = detectEncoding(bytes);
    if (found)
        *found = encoding;
    switch (encoding) {
    case FileEncoding::Utf8Bom:
        return std::string(bytes.substr(3));
    case FileEncoding::Utf8:
        return std::string(bytes);
    case FileEncoding::Cp932:
        break;
    }
    return fromCp932(bytes);
}

std::string encodeFile(std::string_view utf8, bool keepUtf8) {
    if (keepUtf8 && isValidUtf8(utf8))
        return std::string(utf8);
    // CP932 bytes that happen to form valid UTF-8 would be read back as
    // UTF-8 and come back changed; such text goes out marked as UTF-8.
    std::string out;
    if (toCp932(utf8, out) && detectEncoding(out) == FileEncoding::Cp932)
        return out;
    std::string withMark(kUtf8Bom);
    withMark.append(utf8);
    return withMark;
}

std::string decodeWatchedText(std::string_view bytes) {
    if (bytes.substr(0, 3) == kUtf8Bom)
        return std::string(bytes.substr(3));
    bool le = bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
              static_cast<unsigned char>(bytes[1]) == 0xFE;
    bool be = bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFE &&
              static_cast<unsigned char>(bytes[1]) == 0xFF;
    if (le || be) {
        std::string out;
        size_t i = 2;
        auto unit = [&](size_t at) -> char32_t {
            auto a = static_cast<unsigned char>(bytes[at]);
            auto b = static_cast<unsigned char>(bytes[at + 1]);
            return le ? (a | (b << 8)) : ((a << 8) | b);
        };
        while (i + 1 < bytes.size()) {
            char32_t u = unit(i);
            i += 2;
            if (u >= 0xD800 && u <= 0xDBFF && i + 1 < bytes.size()) {
                char32_t lo = unit(i);
                if (lo >= 0xDC00 && lo <= 0xDFFF) {
                    i += 2;
                    appendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
                    continue;
                }
            }
            appendUtf8(out, (u >= 0xD800 && u <= 0xDFFF) ? 0xFFFD : u);
        }
        return out;
    }
    if (!isAscii(bytes) && isValidUtf8(bytes))
        return std::string(bytes);
    return fromCp932(bytes);
}

bool hasLineBreak(std::string_view s) {
    for (char c : s)
        if (c == '\r' || c == '\n')
            return true;
    return false;
}

std::string singleLine(std::string_view v) {
    std::string s(v);
    for (char& c : s)
        if (c == '\r' || c == '\n')
            c = ' ';
    return s;
}

std::string replaceAll(std::string_view s, std::string_view from, std::string_view to) {
    std::string out;
    if (from.empty())
        return std::string(s);
    size_t pos = 0;
    while (true) {
        size_t hit = s.find(from, pos);
        if (hit == std::string_view::npos)
            break;
        out.append(s.substr(pos, hit - pos));
        out.append(to);
        pos = hit + from.size();
    }
    out.append(s.substr(pos));
    return out;
}

std::string asciiLower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string trimBlanks(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t'))
        ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t'))
        --e;
    return std::string(s.substr(b, e - b));
}

} // namespace kestrova::text
