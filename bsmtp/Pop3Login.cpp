#include "Pop3Login.h"

#include "Addresses.h"
#include "CurlSession.h"
#include "Error.h"

#include <algorithm>
#include <cctype>

namespace bsmtp {

namespace {

constexpr int kPopPort = 110;
constexpr int kPopsPort = 995;

size_t discard(char*, size_t size, size_t count, void*) {
    return size * count;
}

// Commands answered by a multi-line listing need their body read.
bool multiLine(std::string command) {
    std::transform(command.begin(), command.end(), command.begin(),
                   [](unsigned char c) { return std::toupper(c); });
    return command == "LIST" || command == "UIDL" || command == "CAPA" ||
           command.rfind("RETR ", 0) == 0 || command.rfind("TOP ", 0) == 0;
}

} // namespace

PopOutcome popLogin(const std::string& serverText, const std::string& user,
                    const std::string& password, const std::string& commandText,
                    const TlsOptions& tls) {
    const ServerAddress server = parseServer(serverText, kPopPort, true, "POP");
    if (user.empty())
        throw MailError("POP サーバー " + server.display() + " のユーザー名が設定されていません。");
    const bool apop = password.rfind("a ", 0) == 0;
    const std::string secret = apop ? password.substr(2) : password;
    std::string command(trimBlanks(commandText));
    if (command.empty())
        command = "STAT";
    auto control = [](const std::string& s) {
        return std::any_of(s.begin(), s.end(),
                           [](unsigned char c) { return c < 0x20 || c == 0x7f; });
    };
    if (control(user) || control(secret) || control(command))
        throw MailError("POP のユーザー名、パスワードまたはコマンドに制御文字が含まれています。");

    CurlSession session("POP", server.display(), tls);
    CURL* curl = session.handle();
    const std::string url =
        std::string(server.port == kPopsPort ? "pop3s://" : "pop3://") + server.display() + "/";
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "pop3,pop3s");
    curl_easy_setopt(curl, CURLOPT_USERNAME, user.c_str());
    curl_easy_setopt(curl, CURLOPT_PASSWORD, secret.c_str());
    if (apop)
        curl_easy_setopt(curl, CURLOPT_LOGIN_OPTIONS, "AUTH=+APOP");
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, command.c_str());
    // A single-line answer must not be waited on as if a listing followed.
    curl_easy_setopt(curl, CURLOPT_NOBODY, multiLine(command) ? 0L : 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &discard);
    PopOutcome outcome;
    outcome.error = session.perform("へのログイン", secret);
    outcome.passwordInClear = session.passwordInClear();
    outcome.failure = session.failure();
    return outcome;
}

} // namespace bsmtp
