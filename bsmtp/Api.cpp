// The C entry points: argument checks, conversion of results and failures.
#include "bsmtp.h"

#include "Error.h"
#include "Pop3Login.h"
#include "SmtpSend.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {

// Result strings come from malloc so that BsmtpFree can be a plain free.
// When even that fails, a static empty text would read as success, so a
// constant error text is returned instead (BsmtpFree must not free it).
const char kNoMemory[] = "メモリが足りません。";

char* duplicate(const std::string& text) {
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (!copy)
        return const_cast<char*>(kNoMemory);
    std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

std::string arg(const char* text) {
    return text ? std::string(text) : std::string();
}

template <typename F> std::string guarded(const char* protocol, F&& work) {
    try {
        return work();
    } catch (const bsmtp::MailError& e) {
        return e.what();
    } catch (const std::bad_alloc&) {
        return kNoMemory;
    } catch (const std::exception& e) {
        return std::string(protocol) + " の処理中に予期しないエラーが起きました: " + e.what();
    }
}

} // namespace

extern "C" char* SendMail(const char* server, const char* to, const char* from, const char* subject,
                          const char* body, const char* attachment) {
    return duplicate(guarded("SMTP", [&] {
        return bsmtp::sendMail(arg(server), arg(to), arg(from), arg(subject), arg(body),
                               arg(attachment));
    }));
}

extern "C" int RcvMail(const char* server, const char* user, const char* password,
                       const char* command, const char* folder, char** error) {
    (void)folder; // nothing is stored locally
    const std::string text = guarded("POP", [&] {
        return bsmtp::popLogin(arg(server), arg(user), arg(password), arg(command));
    });
    if (error)
        *error = duplicate(text);
    return text.empty() ? 1 : 0;
}

extern "C" void BsmtpFree(char* text) {
    if (text != kNoMemory)
        std::free(text);
}
