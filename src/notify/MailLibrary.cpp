#include "notify/MailLibrary.h"

#include "core/LibraryLoader.h"
#include "core/Startup.h"
#include "notify/WorkerCall.h"

namespace kestrova {

bool MailLibrary::load(const std::string& programDir, std::string& error) {
    void* handle = loadLibrary(programDir, kMailLibrary, error);
    if (!handle)
        return false;
    auto send = reinterpret_cast<SendFn>(librarySymbol(handle, "SendMail", error));
    auto rcv = reinterpret_cast<RcvFn>(librarySymbol(handle, "RcvMail", error));
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
                                  const std::string& body, const std::string& attachment) const {
    return runOnWorker([&]() -> std::string {
        char* result = sendMail_(server.c_str(), to.c_str(), from.c_str(), subject.c_str(),
                                 body.c_str(), attachment.c_str());
        std::string text = result ? result : "";
        if (result)
            free_(result);
        return text;
    });
}

bool MailLibrary::RcvMail(const std::string& server, const std::string& user,
                          const std::string& password, const std::string& command,
                          const std::string& folder, std::string& error) const {
    return runOnWorker([&]() -> bool {
        char* text = nullptr;
        int ok = rcvMail_(server.c_str(), user.c_str(), password.c_str(), command.c_str(),
                          folder.c_str(), &text);
        error = text ? text : "";
        if (text)
            free_(text);
        if (!ok && error.empty())
            error = "POP サーバーへのログインに失敗しました。";
        return ok != 0;
    });
}

} // namespace kestrova
