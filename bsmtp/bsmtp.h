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

/* Sends one mail. server: "host" or "host:port" (port 25 by default; 465
 * means TLS from the start, otherwise STARTTLS is used whenever the server
 * offers it; certificates are verified). to: addresses separated by TAB,
 * each "address" or "name<address>". from: "name<address>" or "address",
 * optionally followed by TAB "user:password" (split at the first ":") and
 * TAB method (LOGIN, CRAM-MD5, PLAIN; without one the server's best).
 * attachment: a file path or "". The mail is MIME with a UTF-8 text body.
 * Line breaks in the subject or names become blanks; an address holding
 * control characters is refused.
 * Returns "" when the mail was sent, otherwise a readable error text. Never
 * returns NULL. */
BSMTP_EXPORT char* SendMail(const char* server, const char* to, const char* from,
                            const char* subject, const char* body, const char* attachment);

/* Logs in to a POP3 server and runs command (normally "STAT").
 * server: "host", "host:port" or "host" TAB "port" (port 110 by default;
 * 995 means TLS from the start, otherwise STLS when offered). A password
 * starting with "a " asks for APOP with the rest as password. folder: the
 * caller's folder (unused: nothing is stored).
 * Returns 1 when the login succeeded, else 0; *error (when error is not NULL)
 * receives "" or the error text, to be released with BsmtpFree. */
BSMTP_EXPORT int RcvMail(const char* server, const char* user, const char* password,
                         const char* command, const char* folder, char** error);

BSMTP_EXPORT void BsmtpFree(char* text);

#ifdef __cplusplus
}
#endif
#endif
