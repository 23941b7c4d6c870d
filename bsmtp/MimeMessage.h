// Builds the MIME message and hands it out in pieces, so an attachment is
// base64-encoded while it is being sent rather than held in memory.
#pragma once

#include "Addresses.h"

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace bsmtp {

std::string base64(std::string_view data);
// Body text as base64 lines of 76 characters; line ends normalised to CR LF first.
std::string base64Lines(std::string_view data);
// Header field "Name: value" with the value as RFC 2047 encoded-words where
// needed, folded so that no line exceeds 76 characters. Ends with CR LF.
std::string textHeader(std::string_view name, std::string_view text);
// "From:"/"To:" style header of mailboxes. Ends with CR LF.
std::string mailboxHeader(std::string_view name, const std::vector<Mailbox>& boxes);
// RFC 5322 date with the local zone offset.
std::string rfc5322Date(std::time_t when);
// Content-Type, Content-Transfer-Encoding and Content-Disposition of an
// attachment. A name that is not short printable ASCII is given in RFC 2231
// form (filename*) and as RFC 2047 encoded-words (name=, filename=); no line
// exceeds 76 characters. Ends with CR LF.
std::string attachmentHeaders(std::string_view fileName);

struct MessageParts {
    Mailbox from;
    std::vector<Mailbox> to;
    std::string subject;
    std::string body;
    std::string attachmentPath; // empty: none
};

class MessageSource {
public:
    // Opens the attachment; throws MailError when it cannot be read.
    explicit MessageSource(const MessageParts& parts);
    ~MessageSource();
    MessageSource(const MessageSource&) = delete;
    MessageSource& operator=(const MessageSource&) = delete;

    // Copies up to size bytes of the message; 0 at the end. Returns false on
    // a read error of the attachment (see readError()).
    bool read(char* buffer, size_t size, size_t& produced);
    const std::string& readError() const { return readError_; }
    std::uintmax_t attachmentBytes() const { return attachmentBytes_; }

private:
    bool refill();

    std::string head_;
    std::string tail_;
    std::FILE* file_ = nullptr;
    std::string attachmentPath_;
    std::uintmax_t attachmentBytes_ = 0;
    std::string pending_;
    size_t pendingPos_ = 0;
    int stage_ = 0; // 0 head, 1 attachment, 2 tail, 3 done
    std::string readError_;
};

} // namespace bsmtp
