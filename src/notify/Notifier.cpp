#include "notify/Notifier.h"

#include "core/App.h"
#include "core/DateTime.h"
#include "core/FileIo.h"
#include "core/Text.h"
#include "notify/MailLibrary.h"
#include "notify/MailText.h"
#include "notify/MessageWindow.h"

#include <exception>
#include <stdexcept>
#include <sys/stat.h>
#include <vector>

namespace kestrova {

namespace {

constexpr const char* kModule = "MsgForm";
constexpr const char* kSendProc = "SendFileUpdMsg";
constexpr const char* kPopBeforeSmtp = "POP before SMTP";
constexpr int kAttempts = 5;

void warn(App& app, const std::string& message) {
    app.log.WriteLog(0, LogWarning, kModule, kSendProc, message, 0);
}

// The TLS settings as the library takes them: a relative trust file is
// looked for in the program folder.
MailTls tlsOf(const App& app, const AppSettings& s) {
    MailTls tls{s.TlsTrustFile, s.TlsFingerprint, s.TlsRequired};
    if (!tls.trustFile.empty() && tls.trustFile.front() != '/')
        tls.trustFile = app.programDir + "/" + tls.trustFile;
    return tls;
}

// Once per run: a password went out over a connection without TLS.
void warnPasswordInClear(App& app, const std::string& protocol, const std::string& server) {
    if (!app.warnedOnce.insert("\npassword-in-clear").second)
        return;
    warn(app,
         "パスワードが暗号化されない接続で " + protocol + " サーバー " + server +
             " に送られました。TlsRequired を True にすると、暗号化できない接続ではパスワードを"
             "送らなくなります。");
}

void showMailError(App& app, const std::string& mailTo, const std::string& message) {
    setMessage(app, "メール送信エラー", mailErrorText(app.settings, mailTo, message));
    MsgShow(app);
}

bool sendByMail(App& app, PassState& pass, const std::string& mailTo, const std::string& body,
                const std::string& attachment) {
    const AppSettings& s = app.settings;
    const std::string recipients = text::replaceAll(mailTo, ",", "\t");
    const std::string sender = senderString(s);

    if (s.SmtpServer.empty() || mailTo.empty() || sender.empty()) {
        showMailError(app, mailTo, "メール送信に必要な項目が設定されていません。");
        warn(app, "メール送信に必要項目が設定されていません。");
        return false;
    }

    const MailTls tls = tlsOf(app, s);
    MailLibrary library;
    std::string loadError;
    if (!library.load(app.programDir, loadError))
        throw std::runtime_error(loadError);

    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (!pass.PopDone && !s.PopServer.empty() && s.AuthMode == kPopBeforeSmtp) {
            std::string popError;
            const std::string popPassword = s.APopMode ? "a " + s.MailFromPass : s.MailFromPass;
            bool inClear = false;
            if (library.RcvMail(text::replaceAll(s.PopServer, ":", "\t"), s.MailFromUser,
                                popPassword, "STAT", app.programDir, popError, tls, &inClear))
                pass.PopDone = true;
            else
                warn(app, popError);
            if (inClear)
                warnPasswordInClear(app, "POP", s.PopServer);
            // Two logins are enough: a POP server that keeps refusing must not
            // hold up every later mail of the pass.
            if (attempt == 1)
                pass.PopDone = true;
        }

        app.log.WriteLog(0, LogTrace, kModule, kSendProc,
                         mailTraceLine(attempt, mailTo, attachment, body), 0);

        // The settings are passed as copies: nothing the library does can
        // change the stored server or subject.
        SendReport report;
        const std::string result = library.SendMail(s.SmtpServer, recipients, sender, s.MailTitle,
                                                    body, attachment, tls, &report);
        if (report.passwordInClear)
            warnPasswordInClear(app, "SMTP", s.SmtpServer);
        // Sent to the others: the refused ones are reported, not retried.
        for (const SendReport::Refused& r : report.refused)
            if (pass.RefusedWarned.insert(r.address).second)
                warn(app, "送信先 " + r.address + " はサーバーに受け付けられませんでした (" +
                              r.reply + ")。ほかの送信先には送信しました。");
        if (result.empty()) {
            My_Sleep(500);
            return true;
        }
        if (attempt == kAttempts - 1)
            showMailError(app, mailTo, result);
        warn(app, result);
        My_Sleep(1000);
    }
    return false;
}

bool showInWindow(App& app, const std::string& body) {
    app.log.WriteLog(0, LogTrace, kModule, kSendProc, messageTraceLine(body), 0);
    setMessage(app, app.settings.MailTitle + " (" + formatDateTime(nowDateTime()) + ")", body);
    MsgShow(app);
    return true;
}

// Splits at CR LF, LF or CR; a final line break ends the last line rather
// than starting an empty one.
std::vector<std::string> splitLines(const std::string& t) {
    std::vector<std::string> lines;
    size_t start = 0;
    size_t i = 0;
    while (i < t.size()) {
        if (t[i] == '\r' || t[i] == '\n') {
            lines.push_back(t.substr(start, i - start));
            i += (t[i] == '\r' && i + 1 < t.size() && t[i + 1] == '\n') ? 2 : 1;
            start = i;
        } else {
            ++i;
        }
    }
    if (start < t.size())
        lines.push_back(t.substr(start));
    return lines;
}

} // namespace

bool SendFileUpdMsg(App& app, PassState& pass, const std::string& mailTo, const std::string& text,
                    const std::string& attachment) {
    try {
        if (mailTo.empty() || mailTo == kMessageDisplay)
            return showInWindow(app, text);
        return sendByMail(app, pass, mailTo, text, attachment);
    } catch (const std::exception& e) {
        app.logError(kModule, kSendProc, e.what(), app.settings.Interactive);
        return false;
    }
}

std::string GetMailMessage(App& app, const std::string& path, std::int32_t count) {
    try {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode))
            return "";
        std::string bytes;
        std::string error;
        ReadStatus status = readWholeFile(path, bytes, error);
        if (status == ReadStatus::Missing)
            return "";
        if (status == ReadStatus::Failed)
            throw std::runtime_error(error);

        const std::vector<std::string> lines = splitLines(text::decodeWatchedText(bytes));
        const std::int64_t n = static_cast<std::int64_t>(lines.size());
        std::int64_t first = 1;
        std::int64_t last = 0;
        if (count < 0) {
            std::int64_t k = 0;
            for (std::int64_t i = n; i >= 1 && k == 0; --i)
                if (!lines[static_cast<size_t>(i - 1)].empty())
                    k = i;
            first = std::max<std::int64_t>(1, k + static_cast<std::int64_t>(count) + 1);
            last = n;
        } else if (count > 0) {
            std::int64_t f = 0;
            for (std::int64_t i = 1; i <= n && f == 0; ++i)
                if (!lines[static_cast<size_t>(i - 1)].empty())
                    f = i;
            if (f > 0) {
                first = f;
                last = std::min<std::int64_t>(n, f + count - 1);
            }
        }
        std::string out;
        for (std::int64_t i = first; i <= last; ++i)
            out += lines[static_cast<size_t>(i - 1)] + "\r\n";
        return out;
    } catch (const std::exception& e) {
        app.logError(kModule, "GetMailMessage", e.what(), app.settings.Interactive);
        return "";
    }
}

} // namespace kestrova
