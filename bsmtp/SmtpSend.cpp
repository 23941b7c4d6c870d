#include "SmtpSend.h"

#include "Addresses.h"
#include "CurlSession.h"
#include "MimeMessage.h"

#include <unistd.h>

namespace bsmtp {

namespace {

constexpr int kSmtpPort = 25;
constexpr int kSmtpsPort = 465;

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

// The EHLO greeting names this machine when its name is a plain host name.
std::string ehloName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0)
        return {};
    const std::string text(name);
    for (char c : text)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '-'))
            return {};
    return text;
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

} // namespace

std::string sendMail(const std::string& serverText, const std::string& to, const std::string& from,
                     const std::string& subject, const std::string& body,
                     const std::string& attachment) {
    const ServerAddress server = parseServer(serverText, kSmtpPort, false, "SMTP");
    const Sender sender = parseSender(from);
    MessageParts parts;
    parts.from = sender.mailbox;
    parts.to = parseRecipients(to);
    parts.subject = subject;
    parts.body = body;
    parts.attachmentPath = attachment;
    MessageSource source(parts);

    CurlSession session("SMTP", server.display());
    CURL* curl = session.handle();
    const std::string url = std::string(server.port == kSmtpsPort ? "smtps://" : "smtp://") +
                            server.display() + "/" + ehloName();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
    curl_easy_setopt(curl, CURLOPT_MAIL_FROM, sender.mailbox.address.c_str());
    std::unique_ptr<curl_slist, SlistDeleter> recipients;
    for (const Mailbox& box : parts.to) {
        curl_slist* grown = curl_slist_append(recipients.get(), box.address.c_str());
        if (!grown)
            return curlUnavailable("SMTP");
        recipients.release();
        recipients.reset(grown);
    }
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, recipients.get());
    if (sender.method != AuthMethod::None) {
        curl_easy_setopt(curl, CURLOPT_USERNAME, sender.user.c_str());
        curl_easy_setopt(curl, CURLOPT_PASSWORD, sender.password.c_str());
        curl_easy_setopt(curl, CURLOPT_LOGIN_OPTIONS, loginOptions(sender.method));
    }
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, &readMessage);
    curl_easy_setopt(curl, CURLOPT_READDATA, &source);
    session.setTimeouts(source.attachmentBytes());
    return session.perform("への送信", sender.password, source.readError());
}

} // namespace bsmtp
