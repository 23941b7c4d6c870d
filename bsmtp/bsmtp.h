/* libbsmtp: mail sending (SMTP) and POP login, a small C interface.
 *
 * All strings are UTF-8. Results allocated by the library are released with
 * BsmtpFree. Both calls may run on any thread, also concurrently; each call
 * opens and closes its own connection.
 *
 * Every call is bounded in time: 30 s to connect and 120 s in all (sending
 * adds one second per 64 KiB of attachment). The environment variables
 * BSMTP_CONNECT_TIMEOUT and BSMTP_TIMEOUT (seconds) replace these limits.
 *
 * Errors are sentences for the user naming the server, the step of the
 * dialogue and the server's last reply; they never contain the password. */
#ifndef BSMTP_H
#define BSMTP_H

#if defined(__GNUC__)
#define BSMTP_EXPORT __attribute__((visibility("default")))
#else
#define BSMTP_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* TLS choices for SendMailEx and RcvMailEx; NULL or empty fields keep the
 * defaults (system certificates only, STARTTLS when offered). */
typedef struct BsmtpTls {
    /* PEM file of certificates trusted besides the system's. */
    const char* trustFile;
    /* SHA-256 fingerprint of the server certificate to accept even when it
     * does not verify (hex, colons optional, any case); any other
     * certificate is then refused. */
    const char* fingerprint;
    /* Nonzero: refuse to talk or log in over a connection without TLS. */
    int required;
} BsmtpTls;

/* Why a call failed, where that decides what the caller should do next. */
#define BSMTP_FAILURE_OTHER 0
/* The server refused the login itself (SMTP 535, 534 or 530 to AUTH; POP
 * -ERR to PASS or APOP): trying again with the same password only risks a
 * locked account. */
#define BSMTP_FAILURE_LOGIN 1
/* The server's certificate did not verify (or did not match the pin). */
#define BSMTP_FAILURE_CERTIFICATE 2

/* What SendMailEx and RcvMailEx report besides their result. */
typedef struct BsmtpReport {
    /* Recipients the server refused while the mail went to the others: one
     * line each, address TAB the server's reply, ending with LF; "" when
     * every recipient was accepted. Released with BsmtpFree. */
    char* refused;
    /* 1 when the password went over a connection without TLS. */
    int passwordInClear;
    /* BSMTP_FAILURE_* of a failed call; BSMTP_FAILURE_OTHER otherwise. */
    int failure;
} BsmtpReport;

/* Sends one mail. server: "host" or "host:port" (port 25 by default; 465
 * means TLS from the start, otherwise STARTTLS is used whenever the server
 * offers it; certificates are verified). to: addresses separated by TAB,
 * each "address" or "name<address>". from: "name<address>" or "address",
 * optionally followed by TAB "user:password" (split at the first ":") and
 * TAB method (LOGIN, CRAM-MD5, PLAIN; without one the server's best).
 * attachment: a file path or "". The mail is MIME with a UTF-8 text body.
 * Line breaks in the subject or names become blanks; an address holding
 * control characters is refused.
 * Returns "" when the mail was sent to every recipient, otherwise a readable
 * error text (also when only some were refused: the others did get the
 * mail). Never returns NULL. */
BSMTP_EXPORT char* SendMail(const char* server, const char* to, const char* from,
                            const char* subject, const char* body, const char* attachment);

/* SendMail with TLS choices (tls may be NULL). Returns "" when the mail
 * went to at least one recipient; report (when not NULL) then lists the
 * refused ones. report->refused is always set (never NULL). */
BSMTP_EXPORT char* SendMailEx(const char* server, const char* to, const char* from,
                              const char* subject, const char* body, const char* attachment,
                              const BsmtpTls* tls, BsmtpReport* report);

/* Logs in to a POP3 server and runs command (normally "STAT").
 * server: "host", "host:port" or "host" TAB "port" (port 110 by default;
 * 995 means TLS from the start, otherwise STLS when offered). A password
 * starting with "a " asks for APOP with the rest as password. folder: the
 * caller's folder (unused: nothing is stored).
 * Returns 1 when the login succeeded, else 0; *error (when error is not NULL)
 * receives "" or the error text, to be released with BsmtpFree. */
BSMTP_EXPORT int RcvMail(const char* server, const char* user, const char* password,
                         const char* command, const char* folder, char** error);

/* RcvMail with TLS choices (tls may be NULL); report (when not NULL)
 * receives passwordInClear and failure; its refused is always "". */
BSMTP_EXPORT int RcvMailEx(const char* server, const char* user, const char* password,
                           const char* command, const char* folder, const BsmtpTls* tls,
                           char** error, BsmtpReport* report);

BSMTP_EXPORT void BsmtpFree(char* text);

#ifdef __cplusplus
}
#endif
#endif
