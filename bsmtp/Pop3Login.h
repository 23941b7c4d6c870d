// POP3 login (for servers that allow sending only after a POP login).
#pragma once

#include <string>

namespace bsmtp {

// password starting with "a " asks for APOP with the rest as the password;
// otherwise libcurl picks the best login the server offers (SASL or
// USER/PASS). Returns "" after a successful login and command, else the
// error text.
std::string popLogin(const std::string& server, const std::string& user,
                     const std::string& password, const std::string& command);

} // namespace bsmtp
