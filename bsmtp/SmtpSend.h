// Sending one message over SMTP (STARTTLS when offered, implicit TLS on 465).
#pragma once

#include <string>

namespace bsmtp {

// Arguments as given to SendMail. Returns "" when sent, else the error text.
std::string sendMail(const std::string& server, const std::string& to, const std::string& from,
                     const std::string& subject, const std::string& body,
                     const std::string& attachment);

} // namespace bsmtp
