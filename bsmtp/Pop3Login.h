// POP3 login (for servers that allow sending only after a POP login).
#pragma once

#include "CurlSession.h"

#include <string>

namespace bsmtp {

struct PopOutcome {
    std::string error;            // "" after a successful login and command
    bool passwordInClear = false; // the password went out without TLS
    int failure = 0;              // BSMTP_FAILURE_* when error is set
};

// password starting with "a " asks for APOP with the rest as the password;
// otherwise libcurl picks the best login the server offers (SASL or
// USER/PASS).
PopOutcome popLogin(const std::string& server, const std::string& user, const std::string& password,
                    const std::string& command, const TlsOptions& tls);

} // namespace bsmtp
