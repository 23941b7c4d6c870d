// The calls into libbsmtp.so, loaded by name from the program folder first.
// Each call runs on a worker thread while the event loop keeps running.
#pragma once

#include <string>
#include <vector>

struct BsmtpTls;
struct BsmtpReport;

namespace kestrova {

// TLS choices handed to the library (paths already made absolute).
struct MailTls {
    std::string trustFile;
    std::string fingerprint;
    bool required = false;
};

// What a send reports besides its result.
struct SendReport {
    struct Refused {
        std::string address;
        std::string reply; // the server's reply line
    };
    std::vector<Refused> refused; // refused while the others got the mail
    bool passwordInClear = false;
    // The login was refused, or the certificate did not verify: not worth
    // another attempt with the same settings.
    bool loginRefused = false;
};

class MailLibrary {
public:
    // Loads the library and its operations; false with error set when it
    // cannot be loaded.
    bool load(const std::string& programDir, std::string& error);
    bool loaded() const { return sendMail_ != nullptr; }

    // "" when the mail was sent (to every recipient, or to some: see
    // report), else the library's error text.
    std::string SendMail(const std::string& server, const std::string& to, const std::string& from,
                         const std::string& subject, const std::string& body,
                         const std::string& attachment, const MailTls& tls = {},
                         SendReport* report = nullptr) const;

    // True when the POP login succeeded; else error holds the reason.
    // report, when given, receives passwordInClear and loginRefused.
    bool RcvMail(const std::string& server, const std::string& user, const std::string& password,
                 const std::string& command, const std::string& folder, std::string& error,
                 const MailTls& tls = {}, SendReport* report = nullptr) const;

private:
    // The library's own declarations (bsmtp.h), by type only.
    using SendFn = char* (*)(const char*, const char*, const char*, const char*, const char*,
                             const char*, const ::BsmtpTls*, ::BsmtpReport*);
    using RcvFn = int (*)(const char*, const char*, const char*, const char*, const char*,
                          const ::BsmtpTls*, char**, ::BsmtpReport*);
    using FreeFn = void (*)(char*);

    SendFn sendMail_ = nullptr;
    RcvFn rcvMail_ = nullptr;
    FreeFn free_ = nullptr;
};

} // namespace kestrova
