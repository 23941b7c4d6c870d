// The calls into libbsmtp.so, loaded by name from the program folder first.
// Each call runs on a worker thread while the event loop keeps running.
#pragma once

#include <string>

namespace kestrova {

class MailLibrary {
public:
    // Loads the library and its three operations; false with error set when
    // it cannot be loaded.
    bool load(const std::string& programDir, std::string& error);
    bool loaded() const { return sendMail_ != nullptr; }

    // "" when the mail was sent, else the library's error text.
    std::string SendMail(const std::string& server, const std::string& to, const std::string& from,
                         const std::string& subject, const std::string& body,
                         const std::string& attachment) const;

    // True when the POP login succeeded; else error holds the reason.
    bool RcvMail(const std::string& server, const std::string& user, const std::string& password,
                 const std::string& command, const std::string& folder, std::string& error) const;

private:
    using SendFn = char* (*)(const char*, const char*, const char*, const char*, const char*,
                             const char*);
    using RcvFn = int (*)(const char*, const char*, const char*, const char*, const char*, char**);
    using FreeFn = void (*)(char*);

    SendFn sendMail_ = nullptr;
    RcvFn rcvMail_ = nullptr;
    FreeFn free_ = nullptr;
};

} // namespace kestrova
