// One libcurl easy handle with the settings every call shares: time-outs,
// certificate checks, and a record of the dialogue that error texts use.
//
// Time-outs: connecting may take 30 s, a whole call 120 s (SMTP adds one
// second per 64 KiB of attachment). The environment variables
// BSMTP_CONNECT_TIMEOUT and BSMTP_TIMEOUT (seconds, may be fractional)
// override both; BSMTP_TIMEOUT then applies without the attachment allowance.
#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <string>

namespace bsmtp {

class CurlSession {
public:
    // protocol: "SMTP" or "POP"; server: "host:port" for error texts.
    CurlSession(std::string protocol, std::string server);
    ~CurlSession();
    CurlSession(const CurlSession&) = delete;
    CurlSession& operator=(const CurlSession&) = delete;

    CURL* handle() const { return curl_; }
    // uploadBytes: size of an attachment, for the extra allowance.
    void setTimeouts(std::uintmax_t uploadBytes);
    // Runs the transfer; returns "" or the error sentence. action is the verb
    // phrase of the sentence ("への送信", "へのログイン"); secret is kept out of it.
    std::string perform(const std::string& action, const std::string& secret,
                        const std::string& localFailure = {});

private:
    static int onDebug(CURL*, curl_infotype type, char* data, size_t size, void* self);
    void noteCommand(std::string_view line);
    std::string reason(CURLcode code, const std::string& localFailure) const;

    CURL* curl_ = nullptr;
    std::string protocol_;
    std::string server_;
    char errorBuffer_[CURL_ERROR_SIZE] = {};
    std::string step_;      // last command sent, as a readable step name
    std::string lastReply_; // last line the server sent
    long connectMs_ = 0;
    long totalMs_ = 0;
};

// Result text when curl itself could not be prepared.
std::string curlUnavailable(const std::string& protocol);

} // namespace bsmtp
