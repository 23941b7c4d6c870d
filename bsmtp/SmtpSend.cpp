#include "SmtpSend.h"

#include "Addresses.h"
#include "CurlSession.h"
#include "MimeMessage.h"

#include <arpa/inet.h>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bsmtp {

namespace {

constexpr int kSmtpPort = 25;
constexpr int kSmtpsPort = 465;
// The option was spelt with three L until curl 8.2.
#if LIBCURL_VERSION_NUM >= 0x080200
constexpr CURLoption kAllowFails = CURLOPT_MAIL_RCPT_ALLOWFAILS;
#else
constexpr CURLoption kAllowFails = CURLOPT_MAIL_RCPT_ALLLOWFAILS;
#endif

struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

size_t readMessage(char* buffer, size_t size, size_t count, void* userdata) {
    auto* source = static_cast<MessageSource*>(userdata);
    size_t produced = 0;
    if (!source->read(buffer, size * count, produced))
        return CURL_READFUNC_ABORT;
    return produced;
}

const char* loginOptions(AuthMethod method) {
    switch (method) {
    case AuthMethod::Login:
        return "AUTH=LOGIN";
    case AuthMethod::CramMd5:
        return "AUTH=CRAM-MD5";
    case AuthMethod::Plain:
        return "AUTH=PLAIN";
    default:
        return nullptr;
    }
}

bool plainDomain(const std::string& name) {
    if (name.empty() || name.size() > 253 || name.find('.') == std::string::npos ||
        name.front() == '.' || name.back() == '.' || name.front() == '-')
        return false;
    for (char c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '-'))
            return false;
    return true;
}

struct AddrInfoDeleter {
    void operator()(addrinfo* list) const { freeaddrinfo(list); }
};

// The local address the system would use towards host: a datagram socket
// is "connected" (which only picks the route; nothing is sent).
std::string localAddressLiteral(const std::string& host, int port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) == 0) {
        std::unique_ptr<addrinfo, AddrInfoDeleter> list(found);
        for (const addrinfo* a = found; a; a = a->ai_next) {
            const int fd = socket(a->ai_family, SOCK_DGRAM, 0);
            if (fd < 0)
                continue;
            sockaddr_storage local{};
            socklen_t length = sizeof local;
            const bool ok = connect(fd, a->ai_addr, a->ai_addrlen) == 0 &&
                            getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0;
            close(fd);
            if (!ok)
                continue;
            char text[INET6_ADDRSTRLEN] = {};
            if (local.ss_family == AF_INET &&
                inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&local)->sin_addr, text,
                          sizeof text))
                return "[" + std::string(text) + "]";
            if (local.ss_family == AF_INET6 &&
                inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&local)->sin6_addr, text,
                          sizeof text))
                return "[IPv6:" + std::string(text) + "]";
        }
    }
    return "[127.0.0.1]";
}

// The path of an smtp:// URL is the EHLO name; brackets and colons of an
// address literal are escaped so that curl takes them literally.
std::string urlPath(const std::string& name) {
    std::string out;
    for (char c : name) {
        if (c == '[')
            out += "%5B";
        else if (c == ']')
            out += "%5D";
        else if (c == ':')
            out += "%3A";
        else
            out += c;
    }
    return out;
}

} // namespace

std::string ehloName(const std::string& host, int port) {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) == 0) {
        if (plainDomain(name))
            return name;
        // A short host name may still have a fully qualified one in
        // /etc/hosts or DNS.
        addrinfo hints{};
        hints.ai_flags = AI_CANONNAME;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        if (name[0] && getaddrinfo(name, nullptr, &hints, &found) == 0) {
            std::unique_ptr<addrinfo, AddrInfoDeleter> list(found);
            if (found->ai_canonname && plainDomain(found->ai_canonname))
                return found->ai_canonname;
        }
    }
    return localAddressLiteral(host, port);
}

SendOutcome sendMail(const std::string& serverText, const std::string& to, const std::string& from,
                     const std::string& subject, const std::string& body,
                     const std::string& attachment, const TlsOptions& tls) {
    const ServerAddress server = parseServer(serverText, kSmtpPort, false, "SMTP");
    const Sender sender = parseSender(from);
    MessageParts parts;
    parts.from = sender.mailbox;
    parts.to = parseRecipients(to);
    parts.subject = subject;
    parts.body = body;
    parts.attachmentPath = attachment;
    MessageSource source(parts);

    CurlSession session("SMTP", server.display(), tls);
    CURL* curl = session.handle();
    const std::string greeting = ehloName(server.host, server.port);
    session.setEhloName(greeting);
    const std::string url = std::string(server.port == kSmtpsPort ? "smtps://" : "smtp://") +
                            server.display() + "/" + urlPath(greeting);
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
    curl_easy_setopt(curl, CURLOPT_MAIL_FROM, sender.mailbox.address.c_str());
    std::unique_ptr<curl_slist, SlistDeleter> recipients;
    for (const Mailbox& box : parts.to) {
        curl_slist* grown = curl_slist_append(recipients.get(), box.address.c_str());
        if (!grown)
            return {curlUnavailable("SMTP"), {}, false};
        recipients.release();
        recipients.reset(grown);
    }
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, recipients.get());
    // A refused recipient must not keep the mail from the others.
    curl_easy_setopt(curl, kAllowFails, 1L);
    if (sender.method != AuthMethod::None) {
        curl_easy_setopt(curl, CURLOPT_USERNAME, sender.user.c_str());
        curl_easy_setopt(curl, CURLOPT_PASSWORD, sender.password.c_str());
        curl_easy_setopt(curl, CURLOPT_LOGIN_OPTIONS, loginOptions(sender.method));
    }
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, &readMessage);
    curl_easy_setopt(curl, CURLOPT_READDATA, &source);
    session.setTimeouts(source.attachmentBytes());
    SendOutcome outcome;
    outcome.error = session.perform("への送信", sender.password, source.readError());
    if (outcome.error.empty())
        outcome.refused = session.refused();
    outcome.passwordInClear = session.passwordInClear();
    outcome.failure = session.failure();
    return outcome;
}

} // namespace bsmtp
