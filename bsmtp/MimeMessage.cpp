#include "MimeMessage.h"

#include "Error.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace bsmtp {

namespace {

constexpr size_t kLineLimit = 76;
// 36 bytes give 48 base64 characters: "Subject: " plus one encoded-word stays
// well inside the line limit, and so does " " plus one on a folded line.
constexpr size_t kWordBytes = 36;
constexpr size_t kAttachmentChunk = 57 * 64; // whole base64 lines per read

const char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

bool isContinuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

bool printableAscii(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= 0x20 && c < 0x7f; });
}

// Control characters (CR, LF, TAB...) cannot stay in a one-line header value.
std::string oneLine(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f)
            c = ' ';
    }
    return out;
}

std::vector<std::string> encodedWords(std::string_view text) {
    std::vector<std::string> words;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = std::min(text.size(), start + kWordBytes);
        while (end < text.size() && end > start + 1 &&
               isContinuation(static_cast<unsigned char>(text[end])))
            --end;
        words.push_back("=?UTF-8?B?" + base64(text.substr(start, end - start)) + "?=");
        start = end;
    }
    return words;
}

// Collects header tokens and folds between them.
class HeaderLine {
public:
    explicit HeaderLine(std::string_view name) : out_(std::string(name) + ":") {
        lineLength_ = out_.size();
    }
    void add(const std::string& token) {
        if (hasToken_ && lineLength_ + 1 + token.size() > kLineLimit) {
            out_ += "\r\n ";
            lineLength_ = 1;
        } else {
            out_ += ' ';
            ++lineLength_;
        }
        out_ += token;
        lineLength_ += token.size();
        hasToken_ = true;
    }
    std::string finish() { return out_ + (hasToken_ ? "\r\n" : " \r\n"); }

private:
    std::string out_;
    size_t lineLength_ = 0;
    bool hasToken_ = false;
};

std::vector<std::string> phraseTokens(std::string_view name) {
    const std::string text = oneLine(name);
    if (printableAscii(text) && text.size() <= 60) {
        std::string q = "\"";
        for (char c : text) {
            if (c == '"' || c == '\\')
                q += '\\';
            q += c;
        }
        return {q + "\""};
    }
    return encodedWords(text);
}

std::string randomHex(size_t digits) {
    std::random_device device;
    std::string out;
    while (out.size() < digits) {
        const unsigned value = device();
        for (int shift = 28; shift >= 0 && out.size() < digits; shift -= 4)
            out += "0123456789abcdef"[(value >> shift) & 0xF];
    }
    return out;
}

std::string messageIdDomain(const std::string& address) {
    const std::string domain = address.substr(address.rfind('@') + 1);
    const bool plain = !domain.empty() && std::all_of(domain.begin(), domain.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '-';
    });
    return plain ? domain : "localhost.localdomain";
}

std::string baseName(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    const size_t slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string systemMessage(int error) {
    return std::generic_category().message(error);
}

} // namespace

std::string base64(std::string_view data) {
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= data.size(); i += 3) {
        const unsigned v = (static_cast<unsigned char>(data[i]) << 16) |
                           (static_cast<unsigned char>(data[i + 1]) << 8) |
                           static_cast<unsigned char>(data[i + 2]);
        out += kB64[(v >> 18) & 63];
        out += kB64[(v >> 12) & 63];
        out += kB64[(v >> 6) & 63];
        out += kB64[v & 63];
    }
    const size_t rest = data.size() - i;
    if (rest > 0) {
        unsigned v = static_cast<unsigned char>(data[i]) << 16;
        if (rest == 2)
            v |= static_cast<unsigned char>(data[i + 1]) << 8;
        out += kB64[(v >> 18) & 63];
        out += kB64[(v >> 12) & 63];
        out += rest == 2 ? kB64[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string base64Lines(std::string_view data) {
    std::string text;
    text.reserve(data.size() + data.size() / 32);
    for (size_t i = 0; i < data.size(); ++i) {
        const char c = data[i];
        if (c == '\r') {
            text += "\r\n";
            if (i + 1 < data.size() && data[i + 1] == '\n')
                ++i;
        } else if (c == '\n') {
            text += "\r\n";
        } else {
            text += c;
        }
    }
    std::string out;
    for (size_t i = 0; i < text.size(); i += 57)
        out += base64(std::string_view(text).substr(i, 57)) + "\r\n";
    return out;
}

std::string textHeader(std::string_view name, std::string_view text) {
    const std::string value = oneLine(text);
    if (printableAscii(value) && value.find("=?") == std::string::npos &&
        name.size() + 2 + value.size() <= kLineLimit)
        return std::string(name) + ": " + value + "\r\n";
    HeaderLine line(name);
    for (const std::string& word : encodedWords(value))
        line.add(word);
    return line.finish();
}

std::string mailboxHeader(std::string_view name, const std::vector<Mailbox>& boxes) {
    HeaderLine line(name);
    for (size_t i = 0; i < boxes.size(); ++i) {
        const std::string comma = i + 1 < boxes.size() ? "," : "";
        if (boxes[i].name.empty()) {
            line.add(boxes[i].address + comma);
            continue;
        }
        for (const std::string& token : phraseTokens(boxes[i].name))
            line.add(token);
        line.add("<" + boxes[i].address + ">" + comma);
    }
    return line.finish();
}

std::string rfc5322Date(std::time_t when) {
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm tm{};
    localtime_r(&when, &tm);
    const long offset = tm.tm_gmtoff / 60;
    const long absOffset = offset < 0 ? -offset : offset;
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld",
                  days[tm.tm_wday % 7], tm.tm_mday, months[tm.tm_mon % 12], tm.tm_year + 1900,
                  tm.tm_hour, tm.tm_min, tm.tm_sec, offset < 0 ? '-' : '+', absOffset / 60,
                  absOffset % 60);
    return text;
}

namespace {

std::string quotedString(std::string_view value) {
    std::string q = "\"";
    for (char c : value) {
        if (c == '"' || c == '\\')
            q += '\\';
        q += c;
    }
    return q + "\"";
}

// RFC 2231: percent-encoded UTF-8, split into numbered sections between
// characters so that no line, with its ";", exceeds the line limit.
std::string extendedParameter(const std::string& key, std::string_view value) {
    static const std::string_view attrChars = "!#$&+-.^_`|~";
    std::vector<std::string> pieces; // one per character
    for (size_t i = 0; i < value.size(); ++i) {
        const auto u = static_cast<unsigned char>(value[i]);
        std::string piece;
        if ((std::isalnum(u) && u < 0x80) || attrChars.find(value[i]) != std::string_view::npos) {
            piece = std::string(1, value[i]);
        } else {
            piece = "%";
            piece += "0123456789ABCDEF"[u >> 4];
            piece += "0123456789ABCDEF"[u & 15];
        }
        if (isContinuation(u) && !pieces.empty())
            pieces.back() += piece;
        else
            pieces.push_back(piece);
    }
    auto prefix = [&](size_t n, bool sectioned) {
        return " " + key + (sectioned ? "*" + std::to_string(n) : "") +
               "*=" + (n == 0 ? "UTF-8''" : "");
    };
    size_t total = 0;
    for (const std::string& p : pieces)
        total += p.size();
    if (prefix(0, false).size() + total + 1 <= kLineLimit) {
        std::string all;
        for (const std::string& p : pieces)
            all += p;
        return ";\r\n" + prefix(0, false) + all;
    }
    std::string out;
    size_t section = 0;
    for (size_t i = 0; i < pieces.size();) {
        std::string line = prefix(section, true);
        const size_t start = i;
        while (i < pieces.size() &&
               (i == start || line.size() + pieces[i].size() + 1 <= kLineLimit))
            line += pieces[i++];
        out += ";\r\n" + line;
        ++section;
    }
    return out;
}

// RFC 2047 encoded-words inside a quoted string, one per line.
std::string encodedWordParameter(const std::string& key, std::string_view value) {
    const std::vector<std::string> words = encodedWords(value);
    std::string out = ";\r\n " + key + "=\"";
    for (size_t i = 0; i < words.size(); ++i)
        out += (i == 0 ? "" : "\r\n ") + words[i];
    return out + "\"";
}

} // namespace

std::string attachmentHeaders(std::string_view fileName) {
    const std::string name = oneLine(fileName);
    std::string type = "Content-Type: application/octet-stream";
    std::string disposition = "Content-Disposition: attachment";
    const std::string quoted = quotedString(name);
    if (printableAscii(name) && 10 + quoted.size() <= kLineLimit) {
        type += ";\r\n name=" + quoted;
        disposition += ";\r\n filename=" + quoted;
    } else {
        // Both forms of the name: RFC 2231 is the standard, while many
        // readers show only the encoded-word form (the one that widespread
        // clients write themselves).
        type += encodedWordParameter("name", name);
        disposition += extendedParameter("filename", name) + encodedWordParameter("filename", name);
    }
    return type + "\r\nContent-Transfer-Encoding: base64\r\n" + disposition + "\r\n";
}

MessageSource::MessageSource(const MessageParts& parts) : attachmentPath_(parts.attachmentPath) {
    std::string headers = "Date: " + rfc5322Date(std::time(nullptr)) + "\r\n";
    headers += mailboxHeader("From", {parts.from});
    headers += mailboxHeader("To", parts.to);
    headers += textHeader("Subject", parts.subject);
    headers += "Message-ID: <" + randomHex(16) + "." + randomHex(16) + "@" +
               messageIdDomain(parts.from.address) + ">\r\n";
    headers += "MIME-Version: 1.0\r\n";
    const std::string textPart = "Content-Type: text/plain; charset=UTF-8\r\n"
                                 "Content-Transfer-Encoding: base64\r\n\r\n" +
                                 base64Lines(parts.body);
    if (attachmentPath_.empty()) {
        head_ = headers + textPart;
        return;
    }

    // Opened without waiting, then checked: opening a named pipe would wait
    // for a writer, and a device could be read without end.
    const int fd = ::open(attachmentPath_.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        throw MailError("添付ファイル " + attachmentPath_ +
                        " を開けません: " + systemMessage(errno));
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        throw MailError("添付ファイル " + attachmentPath_ + " は通常のファイルではありません。");
    }
    file_ = ::fdopen(fd, "rb");
    if (!file_) {
        const int err = errno;
        ::close(fd);
        throw MailError("添付ファイル " + attachmentPath_ + " を開けません: " + systemMessage(err));
    }
    attachmentBytes_ = static_cast<std::uintmax_t>(info.st_size);

    // Base64 lines never start with "--", so this boundary cannot occur inside
    // the parts.
    const std::string boundary = "=_bsmtp_" + randomHex(24);
    const std::string fileName = baseName(attachmentPath_);
    head_ = headers + "Content-Type: multipart/mixed; boundary=\"" + boundary +
            "\"\r\n\r\nThis is a multi-part message in MIME format.\r\n\r\n--" + boundary + "\r\n" +
            textPart + "--" + boundary + "\r\n" + attachmentHeaders(fileName) + "\r\n";
    tail_ = "--" + boundary + "--\r\n";
}

MessageSource::~MessageSource() {
    if (file_)
        std::fclose(file_);
}

bool MessageSource::refill() {
    pending_.clear();
    pendingPos_ = 0;
    switch (stage_) {
    case 0:
        pending_ = std::move(head_);
        stage_ = file_ ? 1 : 2;
        return true;
    case 1: {
        std::string chunk(kAttachmentChunk, '\0');
        const size_t got = std::fread(chunk.data(), 1, chunk.size(), file_);
        if (got < chunk.size() && std::ferror(file_)) {
            readError_ =
                "添付ファイル " + attachmentPath_ + " を読み込めません: " + systemMessage(errno);
            return false;
        }
        for (size_t i = 0; i < got; i += 57)
            pending_ +=
                base64(std::string_view(chunk).substr(i, std::min<size_t>(57, got - i))) + "\r\n";
        if (got < chunk.size())
            stage_ = 2;
        return true;
    }
    case 2:
        pending_ = std::move(tail_);
        stage_ = 3;
        return true;
    default:
        return true;
    }
}

bool MessageSource::read(char* buffer, size_t size, size_t& produced) {
    produced = 0;
    while (produced < size) {
        if (pendingPos_ == pending_.size()) {
            if (stage_ == 3)
                break;
            if (!refill())
                return false;
            continue;
        }
        const size_t n = std::min(size - produced, pending_.size() - pendingPos_);
        std::copy_n(pending_.data() + pendingPos_, n, buffer + produced);
        pendingPos_ += n;
        produced += n;
    }
    return true;
}

} // namespace bsmtp
