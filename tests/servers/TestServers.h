// Real mail servers on loopback for tests, started and stopped by the test.
//
//   using namespace kestrova::test;
//   SmtpServer smtp({.auth = "CRAM-MD5"});   // listening when constructed
//   SendMail(smtp.address().c_str(), ...);   // "127.0.0.1:<port>"
//   auto files = smtp.waitForMessages(1);    // received .eml files, in order
//   ParsedMail m = parseEml(files[0]);       // decoded by Python's email package
//   Envelope e = readEnvelope(files[0]);     // MAIL FROM / RCPT TO as received
//
//   Pop3Server pop;                          // dovecot, user "popuser" / "poppass"
//   RcvMail(pop.address().c_str(), ...);     // or "127.0.0.1\t<port>"
//
// SMTP: tests/servers/smtp_server.py (python3-aiosmtpd). SmtpServerOptions
// selects the offered AUTH mechanism (only that one, and then AUTH is
// required), fixed credentials, refusing the first N messages with 451, a
// server that closes the connection inside DATA ("close"), one that never
// answers ("silent"), and STARTTLS with a self-signed certificate.
// POP3: /usr/sbin/dovecot (dovecot-pop3d) with its own configuration in a
// temporary folder; USER/PASS, SASL PLAIN and APOP.
// Python is /usr/bin/python3 unless KESTROVA_PYTHON names another one.
// Servers are stopped (and their folders removed) by the destructors.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

#include "support/TempDir.h"

namespace kestrova::test {

// A child process started with posix_spawn from an argv list; terminated
// (SIGTERM, then SIGKILL) by stop() or the destructor.
class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string>& argv,
                          const std::filesystem::path& logFile = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    bool running();
    void stop();

private:
    pid_t pid_ = -1;
};

struct RunResult {
    int exitCode = -1;
    std::string output; // standard output
};
// Runs a program to completion and captures its standard output; quiet
// discards its standard error.
RunResult runProgram(const std::vector<std::string>& argv, bool quiet = false);

std::string python();
std::filesystem::path serversDir();
// A TCP port on 127.0.0.1 that nothing listens on at the moment.
int freePort();
bool waitForPort(int port, std::chrono::milliseconds timeout);

struct SmtpServerOptions {
    std::string auth = "none"; // none | LOGIN | PLAIN | CRAM-MD5
    std::string user = "sender";
    std::string password = "secret";
    int refuseFirst = 0;
    std::string mode = "normal";        // normal | close | silent
    bool startTlsSelfSigned = false;    // STARTTLS with a self-signed certificate
    bool implicitTlsSelfSigned = false; // TLS from the first byte, same certificate
    int port = 0;                       // 0: any free port
    // DATA timing: the first reply held, every reply held at random up to
    // randomDelayMs, and refused with 451 at failRate (never more than
    // maxFailsInARow in a row), from seed.
    int firstDelayMs = 0;
    int holdMessage = 0; // this message's DATA reply (1 = the first) held holdMs
    int holdMs = 0;
    int randomDelayMs = 0;
    double failRate = 0;
    int maxFailsInARow = 2;
    unsigned seed = 1;
};

class SmtpServer {
public:
    explicit SmtpServer(SmtpServerOptions options = {});
    int port() const { return port_; }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
    const std::filesystem::path& mailDir() const { return dir_.path(); }
    // The .eml files received so far, oldest first.
    std::vector<std::filesystem::path> messages() const;
    // Waits until at least count messages are there; returns them.
    std::vector<std::filesystem::path>
    waitForMessages(size_t count,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    const SmtpServerOptions& options() const { return options_; }

private:
    SmtpServerOptions options_;
    TempDir dir_;
    TempDir work_;
    int port_ = 0;
    std::unique_ptr<ChildProcess> process_;
};

class Pop3Server {
public:
    explicit Pop3Server(std::string user = "popuser", std::string password = "poppass");
    ~Pop3Server();
    int port() const { return port_; }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
    const std::string& user() const { return user_; }
    const std::string& password() const { return password_; }
    std::filesystem::path logFile() const { return dir_.path() / "dovecot.log"; }

private:
    std::string user_;
    std::string password_;
    TempDir dir_;
    int port_ = 0;
    std::unique_ptr<ChildProcess> process_;
};

// A real mail system on loopback: Postfix (its own configuration, queue and
// data folders, started with "postfix -c DIR start") and Dovecot (POP3 with
// STLS and APOP, and the SASL service Postfix authenticates through), with
// certificates from a CA made for the run. Needs root, as Postfix does.
//
// Postfix accepts mail for the mailboxes below at example.com and delivers
// it into Maildirs; other example.com addresses get 550, other domains 554
// (relay denied) unless the client authenticated. Sender
// blocked@example.org gets 451 at MAIL FROM and nodata@example.org 554 at
// DATA. Restrictions apply at their own command (smtpd_delay_reject = no),
// and EHLO names must be fully qualified or address literals.
class MailSystem {
public:
    MailSystem();
    ~MailSystem();
    MailSystem(const MailSystem&) = delete;
    MailSystem& operator=(const MailSystem&) = delete;

    // "" when this machine can run it, else why not.
    static std::string unavailable();

    static inline const std::vector<std::string> kMailboxes = {
        "ops", "team", "trust", "pin", "part", "pop", "clear", "other", "part2"};
    // SASL and POP user with the same password.
    static inline const std::string kUser = "sender";
    static inline const std::string kPassword = "Secret-Pw1";

    int plainPort = 0;       // no TLS at all; AUTH offered in clear
    int startTlsPort = 0;    // STARTTLS with the CA's certificate
    int selfSignedPort = 0;  // STARTTLS with a self-signed certificate
    int heloRefusedPort = 0; // refuses every EHLO/HELO
    int smtpsPort = 0;       // 465 with TLS from the start, 0 when 465 was taken
    int popPort = 0;         // STLS with the CA's certificate
    static std::string address(int port) { return "127.0.0.1:" + std::to_string(port); }

    std::filesystem::path caFile() const { return dir_.path() / "ca.pem"; }
    // "AB:CD:..." SHA-256 of the CA-issued and of the self-signed certificate.
    const std::string& serverFingerprint() const { return serverFingerprint_; }
    const std::string& selfSignedFingerprint() const { return selfFingerprint_; }

    // Messages delivered to mailbox (local part), oldest first.
    std::vector<std::filesystem::path> mailbox(const std::string& name) const;
    std::vector<std::filesystem::path>
    waitForMail(const std::string& name, size_t count,
                std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
    // Waits until Postfix has nothing left in its queue.
    bool waitForEmptyQueue(std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
    std::string postfixLog() const;
    std::string dovecotLog() const;

private:
    void makeCertificates();
    void startDovecot();
    void startPostfix();

    TempDir dir_;
    std::string serverFingerprint_;
    std::string selfFingerprint_;
    std::unique_ptr<ChildProcess> dovecot_;
    bool postfixStarted_ = false;
};

struct ParsedMail {
    std::string subject;
    std::string fromName;
    std::string fromAddress;
    std::vector<std::string> to;
    std::vector<std::string> toNames;
    std::string body; // first text/plain part, decoded
    bool hasBody = false;
    int attachmentCount = 0;
    std::string attachmentName;     // first attachment
    std::string attachmentTypeName; // its Content-Type name parameter, decoded
    long long attachmentBytes = -1;
    std::string attachmentSha256;
    std::vector<std::string> headerNames; // top-level headers in order
    int defects = 0;                      // problems the parser noticed
    std::string raw;                      // the file as received
};
ParsedMail parseEml(const std::filesystem::path& eml);
// The text of a mail our library sent without attachment (its base64 part
// decoded here): for tests that read many mails and need only their lines.
std::string sentText(const std::filesystem::path& eml);

struct Envelope {
    std::string mailFrom;
    std::vector<std::string> rcptTo;
    bool authenticated = false;
};
// The envelope stored beside an .eml received by SmtpServer.
Envelope readEnvelope(const std::filesystem::path& eml);

std::string sha256Hex(const std::filesystem::path& file);

} // namespace kestrova::test
