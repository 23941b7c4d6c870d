// Sending one message over SMTP (STARTTLS when offered, implicit TLS on 465).
#pragma once

#include "CurlSession.h"

#include <string>
#include <vector>

namespace bsmtp {

struct SendOutcome {
    std::string error;            // "" when the mail went to at least one recipient
    std::vector<Refusal> refused; // recipients refused while others were accepted
    bool passwordInClear = false; // the password went out without TLS
    int failure = 0;              // BSMTP_FAILURE_* when error is set
};

// Arguments as given to SendMail.
SendOutcome sendMail(const std::string& server, const std::string& to, const std::string& from,
                     const std::string& subject, const std::string& body,
                     const std::string& attachment, const TlsOptions& tls);

// The EHLO name: this machine's fully qualified name when it has one, else
// an address literal of the local address used to reach host ("[192.0.2.1]").
std::string ehloName(const std::string& host, int port);

} // namespace bsmtp
