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

bsmtp::TlsOptions tlsOptions(const BsmtpTls* tls) {
    bsmtp::TlsOptions options;
    if (tls) {
        options.trustFile = arg(tls->trustFile);
        options.fingerprint = arg(tls->fingerprint);
        options.required = tls->required != 0;
    }
    return options;
}

std::string refusedLines(const std::vector<bsmtp::Refusal>& refused) {
    std::string lines;
    for (const bsmtp::Refusal& r : refused)
        lines += r.address + "\t" + r.reply + "\n";
    return lines;
}

} // namespace

extern "C" char* SendMail(const char* server, const char* to, const char* from, const char* subject,
                          const char* body, const char* attachment) {
    return duplicate(guarded("SMTP", [&] {
        const bsmtp::SendOutcome outcome = bsmtp::sendMail(
            arg(server), arg(to), arg(from), arg(subject), arg(body), arg(attachment), {});
        if (!outcome.error.empty() || outcome.refused.empty())
            return outcome.error;
        std::string text = "一部の送信先にだけ送信しました。受け付けられなかった送信先:";
        for (const bsmtp::Refusal& r : outcome.refused)
            text += " " + r.address + " (" + r.reply + ")";
        return text;
    }));
}

extern "C" char* SendMailEx(const char* server, const char* to, const char* from,
                            const char* subject, const char* body, const char* attachment,
                            const BsmtpTls* tls, BsmtpReport* report) {
    std::vector<bsmtp::Refusal> refused;
    bool inClear = false;
    int failure = BSMTP_FAILURE_OTHER;
    char* result = duplicate(guarded("SMTP", [&] {
        bsmtp::SendOutcome outcome = bsmtp::sendMail(arg(server), arg(to), arg(from), arg(subject),
                                                     arg(body), arg(attachment), tlsOptions(tls));
        refused = std::move(outcome.refused);
        inClear = outcome.passwordInClear;
        failure = outcome.failure;
        return outcome.error;
    }));
    if (report) {
        std::string lines;
        try {
            lines = refusedLines(refused);
        } catch (const std::bad_alloc&) {
        }
        report->refused = duplicate(lines);
        report->passwordInClear = inClear ? 1 : 0;
        report->failure = *result ? failure : BSMTP_FAILURE_OTHER;
    }
    return result;
}

extern "C" int RcvMail(const char* server, const char* user, const char* password,
                       const char* command, const char* folder, char** error) {
    return RcvMailEx(server, user, password, command, folder, nullptr, error, nullptr);
}

extern "C" int RcvMailEx(const char* server, const char* user, const char* password,
                         const char* command, const char* folder, const BsmtpTls* tls, char** error,
                         BsmtpReport* report) {
    (void)folder; // nothing is stored locally
    bool inClear = false;
    int failure = BSMTP_FAILURE_OTHER;
    const std::string text = guarded("POP", [&] {
        bsmtp::PopOutcome outcome =
            bsmtp::popLogin(arg(server), arg(user), arg(password), arg(command), tlsOptions(tls));
        inClear = outcome.passwordInClear;
        failure = outcome.failure;
        return outcome.error;
    });
    if (error)
        *error = duplicate(text);
    if (report) {
        report->refused = duplicate("");
        report->passwordInClear = inClear ? 1 : 0;
        report->failure = text.empty() ? BSMTP_FAILURE_OTHER : failure;
    }
    return text.empty() ? 1 : 0;
}

extern "C" void BsmtpFree(char* text) {
    if (text != kNoMemory)
        std::free(text);
}
