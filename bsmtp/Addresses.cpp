#include "Addresses.h"

#include "Error.h"

#include <algorithm>
#include <cctype>

namespace bsmtp {

namespace {

std::vector<std::string_view> splitTabs(std::string_view text) {
    std::vector<std::string_view> parts;
    for (;;) {
        const size_t tab = text.find('\t');
        parts.push_back(text.substr(0, tab));
        if (tab == std::string_view::npos)
            return parts;
        text.remove_prefix(tab + 1);
    }
}

bool hasControl(std::string_view s) {
    return std::any_of(s.begin(), s.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7f;
    });
}

std::string quoted(std::string_view s) {
    std::string out = "「";
    for (char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (u == '\r')
            out += "\\r";
        else if (u == '\n')
            out += "\\n";
        else if (u == '\t')
            out += "\\t";
        else if (u < 0x20 || u == 0x7f)
            out += '?';
        else
            out += c;
    }
    return out + "」";
}

int parsePort(std::string_view text, std::string_view what, std::string_view whole) {
    if (text.empty() || text.size() > 5 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        throw MailError(std::string(what) + " サーバー " + quoted(whole) +
                        " のポート番号が正しくありません。");
    const int port = std::stoi(std::string(text));
    if (port < 1 || port > 65535)
        throw MailError(std::string(what) + " サーバー " + quoted(whole) +
                        " のポート番号が正しくありません。");
    return port;
}

// Host names go into a URL, so only characters that cannot change its meaning
// are accepted. Bytes >= 0x80 are allowed for internationalised names.
bool validHost(std::string_view host, bool ipv6) {
    if (host.empty() || host.size() > 253)
        return false;
    return std::all_of(host.begin(), host.end(), [ipv6](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u >= 0x80 || std::isalnum(u) || c == '.' || c == '-' || c == '_' ||
               (ipv6 && c == ':');
    });
}

bool validAddress(std::string_view a) {
    const size_t at = a.rfind('@');
    if (a.size() > 254 || at == std::string_view::npos || at == 0 || at + 1 == a.size())
        return false;
    return std::none_of(a.begin(), a.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u <= 0x20 || u == 0x7f || c == '<' || c == '>' || c == ',' || c == ';' || c == '(' ||
               c == ')' || c == '\\' || c == '"' || c == '[' || c == ']';
    });
}

} // namespace

std::string_view trimBlanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

ServerAddress parseServer(std::string_view text, int defaultPort, bool tabSeparatesPort,
                          std::string_view what) {
    const std::string_view whole = text;
    ServerAddress server;
    server.port = defaultPort;
    std::string s(trimBlanks(text));
    if (tabSeparatesPort) {
        const size_t tab = s.find('\t');
        if (tab != std::string::npos) {
            server.port = parsePort(trimBlanks(std::string_view(s).substr(tab + 1)), what, whole);
            s = std::string(trimBlanks(std::string_view(s).substr(0, tab)));
            server.host = s;
        }
    }
    if (server.host.empty()) {
        if (!s.empty() && s.front() == '[') {
            const size_t close = s.find(']');
            if (close == std::string::npos)
                throw MailError(std::string(what) + " サーバー " + quoted(whole) +
                                " の書き方が正しくありません。");
            server.host = s.substr(1, close - 1);
            server.ipv6 = true;
            const std::string_view rest = std::string_view(s).substr(close + 1);
            if (!rest.empty()) {
                if (rest.front() != ':')
                    throw MailError(std::string(what) + " サーバー " + quoted(whole) +
                                    " の書き方が正しくありません。");
                server.port = parsePort(rest.substr(1), what, whole);
            }
        } else if (std::count(s.begin(), s.end(), ':') > 1) {
            server.host = s; // bare IPv6 literal, no port
            server.ipv6 = true;
        } else {
            const size_t colon = s.find(':');
            server.host = s.substr(0, colon);
            if (colon != std::string::npos)
                server.port = parsePort(std::string_view(s).substr(colon + 1), what, whole);
        }
    }
    if (server.host.find(':') != std::string::npos)
        server.ipv6 = true;
    if (server.host.empty())
        throw MailError(std::string(what) + " サーバーが設定されていません。");
    if (!validHost(server.host, server.ipv6))
        throw MailError(std::string(what) + " サーバー名 " + quoted(server.host) +
                        " に使えない文字が含まれています。");
    return server;
}

Mailbox parseMailbox(std::string_view text, std::string_view role) {
    const std::string_view s = trimBlanks(text);
    Mailbox box;
    const size_t open = s.rfind('<');
    if (!s.empty() && s.back() == '>' && open != std::string_view::npos) {
        std::string_view name = trimBlanks(s.substr(0, open));
        if (name.size() >= 2 && name.front() == '"' && name.back() == '"')
            name = name.substr(1, name.size() - 2);
        box.name = std::string(name);
        box.address = std::string(trimBlanks(s.substr(open + 1, s.size() - open - 2)));
    } else {
        box.address = std::string(s);
    }
    // A line break anywhere could move where the address is taken from
    // ("a@x>\r\nRCPT TO:<b@y>"), so a mailbox holding one is refused whole.
    if (hasControl(s))
        throw MailError(std::string(role) + "の指定 " + quoted(s) +
                        " に改行などの制御文字が含まれています。");
    if (!validAddress(box.address))
        throw MailError(std::string(role) + "のメールアドレス " + quoted(box.address) +
                        " が正しくありません。");
    return box;
}

Sender parseSender(std::string_view text) {
    const std::vector<std::string_view> parts = splitTabs(text);
    if (parts.size() > 3)
        throw MailError("差出人の指定に余分な項目があります (名前<アドレス>、ユーザー:パスワード、"
                        "認証方式の 3 項目まで)。");
    Sender sender;
    if (trimBlanks(parts[0]).empty())
        throw MailError("差出人のメールアドレスが設定されていません。");
    sender.mailbox = parseMailbox(parts[0], "差出人");
    if (parts.size() > 1 && !parts[1].empty()) {
        const size_t colon = parts[1].find(':');
        sender.user = std::string(parts[1].substr(0, colon));
        if (colon != std::string_view::npos)
            sender.password = std::string(parts[1].substr(colon + 1));
        if (hasControl(sender.user) || hasControl(sender.password))
            throw MailError("SMTP 認証のユーザー名またはパスワードに制御文字が含まれています。");
    }
    if (sender.user.empty())
        return sender;
    sender.method = AuthMethod::Any;
    if (parts.size() > 2) {
        std::string method(trimBlanks(parts[2]));
        std::transform(method.begin(), method.end(), method.begin(),
                       [](unsigned char c) { return std::toupper(c); });
        if (method == "LOGIN")
            sender.method = AuthMethod::Login;
        else if (method == "CRAM-MD5")
            sender.method = AuthMethod::CramMd5;
        else if (method == "PLAIN")
            sender.method = AuthMethod::Plain;
        else if (!method.empty())
            throw MailError("SMTP 認証方式 " + quoted(method) +
                            " には対応していません (LOGIN、CRAM-MD5、PLAIN のいずれか)。");
    }
    return sender;
}

std::vector<Mailbox> parseRecipients(std::string_view text) {
    std::vector<Mailbox> boxes;
    for (std::string_view part : splitTabs(text)) {
        part = trimBlanks(part);
        if (!part.empty())
            boxes.push_back(parseMailbox(part, "送信先"));
    }
    if (boxes.empty())
        throw MailError("送信先のメールアドレスが設定されていません。");
    return boxes;
}

} // namespace bsmtp
