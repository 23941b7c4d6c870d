#include "notify/MailLibrary.h"

#include "core/LibraryLoader.h"
#include "core/Startup.h"
#include "notify/WorkerCall.h"

#include "bsmtp.h"

#include <type_traits>

namespace kestrova {

bool MailLibrary::load(const std::string& programDir, std::string& error) {
    void* handle = loadLibrary(programDir, kMailLibrary, error);
    if (!handle)
        return false;
    static_assert(std::is_same_v<SendFn, decltype(&::SendMailEx)> &&
                  std::is_same_v<RcvFn, decltype(&::RcvMailEx)>);
    auto send = reinterpret_cast<SendFn>(librarySymbol(handle, "SendMailEx", error));
    auto rcv = reinterpret_cast<RcvFn>(librarySymbol(handle, "RcvMailEx", error));
    auto release = reinterpret_cast<FreeFn>(librarySymbol(handle, "BsmtpFree", error));
    if (!send || !rcv || !release)
        return false;
    sendMail_ = send;
    rcvMail_ = rcv;
    free_ = release;
    return true;
}

std::string MailLibrary::SendMail(const std::string& server, const std::string& to,
                                  const std::string& from, const std::string& subject,
                                  const std::string& body, const std::string& attachment,
                                  const MailTls& tls, SendReport* report) const {
    return runOnWorker([&]() -> std::string {
        const BsmtpTls options{tls.trustFile.c_str(), tls.fingerprint.c_str(),
                               tls.required ? 1 : 0};
        BsmtpReport out{nullptr, 0, BSMTP_FAILURE_OTHER};
        char* result = sendMail_(server.c_str(), to.c_str(), from.c_str(), subject.c_str(),
                                 body.c_str(), attachment.c_str(), &options, &out);
        std::string text = result ? result : "";
        if (result)
            free_(result);
        const std::string refused = out.refused ? out.refused : "";
        if (out.refused)
            free_(out.refused);
        if (report) {
            report->passwordInClear = out.passwordInClear != 0;
            report->loginRefused = out.failure != BSMTP_FAILURE_OTHER;
            // One line per address: address TAB reply LF.
            for (size_t start = 0; start < refused.size();) {
                size_t end = refused.find('\n', start);
                if (end == std::string::npos)
                    end = refused.size();
                const std::string line = refused.substr(start, end - start);
                const size_t tab = line.find('\t');
                if (!line.empty())
                    report->refused.push_back({line.substr(0, tab), tab == std::string::npos
                                                                        ? ""
                                                                        : line.substr(tab + 1)});
                start = end + 1;
            }
        }
        return text;
    });
}

bool MailLibrary::RcvMail(const std::string& server, const std::string& user,
                          const std::string& password, const std::string& command,
                          const std::string& folder, std::string& error, const MailTls& tls,
                          SendReport* report) const {
    return runOnWorker([&]() -> bool {
        const BsmtpTls options{tls.trustFile.c_str(), tls.fingerprint.c_str(),
                               tls.required ? 1 : 0};
        char* text = nullptr;
        BsmtpReport out{nullptr, 0, BSMTP_FAILURE_OTHER};
        int ok = rcvMail_(server.c_str(), user.c_str(), password.c_str(), command.c_str(),
                          folder.c_str(), &options, &text, &out);
        if (out.refused)
            free_(out.refused);
        error = text ? text : "";
        if (text)
            free_(text);
        if (!ok && error.empty())
            error = "POP サーバーへのログインに失敗しました。";
        if (report) {
            report->passwordInClear = out.passwordInClear != 0;
            report->loginRefused = !ok && out.failure != BSMTP_FAILURE_OTHER;
        }
        return ok != 0;
    });
}

} // namespace kestrova
