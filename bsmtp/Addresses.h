// Parsing of the server, sender and recipient arguments.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace bsmtp {

struct ServerAddress {
    std::string host; // as typed; IPv6 literals without brackets
    int port = 0;
    bool ipv6 = false;

    std::string urlHost() const { return ipv6 ? "[" + host + "]" : host; }
    std::string display() const { return urlHost() + ":" + std::to_string(port); }
};

struct Mailbox {
    std::string name; // display name, UTF-8, may be empty
    std::string address;
};

enum class AuthMethod { None, Any, Login, CramMd5, Plain };

struct Sender {
    Mailbox mailbox;
    std::string user;
    std::string password;
    AuthMethod method = AuthMethod::None;
};

// "host", "host:port", "[v6]:port"; with tabSeparatesPort also "host<TAB>port".
// what names the server in error texts ("SMTP", "POP").
ServerAddress parseServer(std::string_view text, int defaultPort, bool tabSeparatesPort,
                          std::string_view what);

// "name<address>" or "address". role names the field in error texts.
Mailbox parseMailbox(std::string_view text, std::string_view role);

// mailbox [TAB user:password [TAB method]]
Sender parseSender(std::string_view text);

// TAB separated mailboxes; blanks around them are dropped, empty ones skipped.
std::vector<Mailbox> parseRecipients(std::string_view text);

std::string_view trimBlanks(std::string_view s);

} // namespace bsmtp
