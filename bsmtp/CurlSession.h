// One libcurl easy handle with the settings every call shares: time-outs,
// certificate checks, and a record of the dialogue that error texts use.
//
// Time-outs: connecting may take 30 s, a whole call 120 s (SMTP adds one
// second per 64 KiB of attachment). The environment variables
// BSMTP_CONNECT_TIMEOUT and BSMTP_TIMEOUT (seconds, may be fractional)
// override both; BSMTP_TIMEOUT then applies without the attachment allowance.
#pragma once

#include "bsmtp.h"

#include <curl/curl.h>

#include <cstdint>
#include <string>
#include <vector>

struct x509_store_ctx_st;

namespace bsmtp {

// The certificate check of a TLS handshake (an OpenSSL callback).
int verifyPeer(x509_store_ctx_st* store, void* self);

// How far TLS is trusted and whether it is required.
struct TlsOptions {
    std::string trustFile;   // PEM certificates trusted besides the system's
    std::string fingerprint; // SHA-256 of the one accepted certificate, as typed
    bool required = false;   // never talk (or log in) without encryption
};

// A recipient the server refused while the dialogue went on.
struct Refusal {
    std::string address;
    std::string reply;
};

class CurlSession {
public:
    // protocol: "SMTP" or "POP"; server: "host:port" for error texts.
    // Throws MailError when the fingerprint is not 32 hex bytes.
    CurlSession(std::string protocol, std::string server, const TlsOptions& tls);
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

    // After perform: recipients refused by RCPT TO, in order.
    const std::vector<Refusal>& refused() const { return refused_; }
    // After perform: a password went out before TLS was in place.
    bool passwordInClear() const { return passwordInClear_; }
    // After a failed perform: the login itself was refused, or the server's
    // certificate did not verify (BSMTP_FAILURE_*); trying again at once
    // only risks a locked account.
    int failure() const { return failure_; }
    void setEhloName(std::string name) { ehloName_ = std::move(name); }

private:
    static int onDebug(CURL*, curl_infotype type, char* data, size_t size, void* self);
    static CURLcode onSslContext(CURL*, void* sslContext, void* self);
    friend int verifyPeer(x509_store_ctx_st* store, void* self);
    void noteCommand(std::string_view line);
    void noteReply(std::string_view line);
    std::string reason(CURLcode code, const std::string& localFailure) const;
    std::string certificateReason() const;
    int failureKind(CURLcode code) const;

    CURL* curl_ = nullptr;
    std::string protocol_;
    std::string server_;
    TlsOptions tls_;
    std::string pin_; // fingerprint as 64 lower-case hex digits, or ""
    char errorBuffer_[CURL_ERROR_SIZE] = {};
    std::string step_;      // last command sent, as a readable step name
    std::string lastReply_; // last line the server sent before QUIT
    std::string recipient_; // address of the last RCPT TO
    std::string ehloName_;
    std::vector<Refusal> refused_;
    bool quitting_ = false;
    bool encrypted_ = false;
    int failure_ = 0;
    bool passwordInClear_ = false;
    // What the certificate check saw.
    std::string peerFingerprint_; // "AB:CD:..." of the server's certificate
    std::string verifyError_;     // OpenSSL's reason when the chain did not verify
    bool pinMismatch_ = false;
    std::string trustFileError_;
    long connectMs_ = 0;
    long totalMs_ = 0;
};

// Result text when curl itself could not be prepared.
std::string curlUnavailable(const std::string& protocol);

} // namespace bsmtp
