#include "notify/Notifier.h"

#include "core/App.h"
#include "core/DateTime.h"
#include "core/FileIo.h"
#include "core/Numeric.h"
#include "core/Text.h"
#include "core/UnixSignals.h"
#include "notify/MailBody.h"
#include "notify/MailLibrary.h"
#include "notify/MailText.h"
#include "notify/MessageWindow.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <stdexcept>

namespace kestrova {

namespace {

constexpr const char* kModule = "MsgForm";
constexpr const char* kSendProc = "SendFileUpdMsg";
constexpr const char* kPopBeforeSmtp = "POP before SMTP";
constexpr int kAttempts = 5;

void warn(App& app, const std::string& message) {
    app.log.WriteLog(0, LogWarning, kModule, kSendProc, message, 0);
}

const AppSettings& settingsOf(const App& app, const PassState& pass) {
    return pass.settings ? *pass.settings : app.settings;
}

// Once per run: a password went out over a connection without TLS.
void warnPasswordInClear(App& app, const std::string& protocol, const std::string& server) {
    if (!app.warnedOnce.first(Warning::PasswordInClear))
        return;
    warn(app,
         "パスワードが暗号化されない接続で " + protocol + " サーバー " + server +
             " に送られました。TlsRequired を True にすると、暗号化できない接続ではパスワードを"
             "送らなくなります。");
}

void showMailError(App& app, const AppSettings& s, const std::string& mailTo,
                   const std::string& message) {
    setMessage(app, "メール送信エラー", mailErrorText(s, mailTo, message));
    MsgShow(app);
}

bool needsPassword(const AppSettings& s) {
    if (s.AuthMode == kPopBeforeSmtp)
        return !s.PopServer.empty();
    return !s.MailFromUser.empty() && !authKeyword(s.AuthMode).empty();
}

// Whether a refused login still holds this notification back.
bool heldBack(App& app, const AppSettings& s) {
    LoginBackoff& b = app.loginBackoff;
    if (!b.failing)
        return false;
    if (!(static_cast<const StoredSettings&>(s) == b.settings)) {
        b.failing = false; // new settings: tried at once
        return false;
    }
    return app.clock->steadyNow() < b.nextTry;
}

// A login refused: one warning and the error window per failing state,
// then the next try after a growing interval.
void loginRefused(App& app, const AppSettings& s, const std::string& mailTo,
                  const std::string& reason) {
    LoginBackoff& b = app.loginBackoff;
    const double checkSec = std::max(1.0, numericValue(s.CheckSec));
    const bool first = !b.failing;
    b.interval = first ? checkSec : std::min(b.interval * 2, 900.0);
    b.failing = true;
    b.settings = s;
    b.nextTry = app.clock->steadyNow() +
                std::chrono::milliseconds(static_cast<long long>(b.interval * 1000));
    if (!first)
        return;
    showMailError(app, s, mailTo, reason);
    warn(app, reason +
                  " (ログインが拒否されたため、同じ設定ではすぐには再試行しません。"
                  "次は " +
                  numberText(b.interval) +
                  " 秒後で、失敗するたびに間隔を倍にします (最長 15 分)。設定を変えるとすぐに"
                  "試します。)");
}

void loginAccepted(App& app) {
    if (!app.loginBackoff.failing)
        return;
    app.loginBackoff.failing = false;
    warn(app, "ログインできるようになりました。通知の送信を再開します。");
}

bool sendByMail(App& app, PassState& pass, const std::string& mailTo, const std::string& body,
                const std::string& attachment) {
    const AppSettings& s = settingsOf(app, pass);
    const std::string recipients = text::replaceAll(mailTo, ",", "\t");
    const std::string sender = senderString(s);

    if (s.SmtpServer.empty() || mailTo.empty() || sender.empty()) {
        showMailError(app, s, mailTo, "メール送信に必要な項目が設定されていません。");
        warn(app, "メール送信に必要項目が設定されていません。");
        return false;
    }
    if (heldBack(app, s))
        return false;
    // A stored password that is no enciphered form is never sent: the
    // server would refuse it and count the attempt.
    if (needsPassword(s) && s.MailFromPass.empty() && !s.MailFromPassUnreadable.empty()) {
        loginRefused(app, s, mailTo,
                     "MailFromPass の値が暗号化されたパスワードの形ではありません。kestrova "
                     "password でパスワードを設定し直してください。");
        return false;
    }

    const MailTls tls = mailTls(app, s);
    MailLibrary library;
    std::string loadError;
    if (!library.load(app.programDir, loadError))
        throw std::runtime_error(loadError);

    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (!pass.PopDone && !s.PopServer.empty() && s.AuthMode == kPopBeforeSmtp) {
            std::string popError;
            const std::string popPassword = s.APopMode ? "a " + s.MailFromPass : s.MailFromPass;
            SendReport popReport;
            if (library.RcvMail(text::replaceAll(s.PopServer, ":", "\t"), s.MailFromUser,
                                popPassword, "STAT", app.programDir, popError, tls, &popReport))
                pass.PopDone = true;
            else if (popReport.loginRefused) {
                loginRefused(app, s, mailTo, popError);
                return false;
            } else
                warn(app, popError);
            if (popReport.passwordInClear)
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
            loginAccepted(app);
            if (pass.deferPause)
                pass.pauseMs = 500;
            else
                app.clock->sleepFor(500);
            return true;
        }
        if (report.loginRefused) {
            loginRefused(app, s, mailTo, result);
            return false;
        }
        if (attempt == kAttempts - 1)
            showMailError(app, s, mailTo, result);
        warn(app, result);
        // Stopping: no further attempt; the change is sent after the restart.
        if (terminationRequested())
            return false;
        app.clock->sleepFor(1000);
    }
    return false;
}

bool showInWindow(App& app, const AppSettings& s, const std::string& body) {
    app.log.WriteLog(0, LogTrace, kModule, kSendProc, messageTraceLine(body), 0);
    setMessage(app, s.MailTitle + " (" + formatDateTime(app.clock->now()) + ")", body);
    MsgShow(app);
    return true;
}

} // namespace

MailTls mailTls(const App& app, const AppSettings& s) {
    MailTls tls{s.TlsTrustFile, s.TlsFingerprint, s.TlsRequired};
    if (!tls.trustFile.empty() && tls.trustFile.front() != '/')
        tls.trustFile = (app.dataDir.empty() ? app.programDir : app.dataDir) + "/" + tls.trustFile;
    return tls;
}

bool SendFileUpdMsg(App& app, PassState& pass, const std::string& mailTo, const std::string& text,
                    const std::string& attachment) {
    try {
        if (mailTo.empty() || mailTo == kMessageDisplay)
            return showInWindow(app, settingsOf(app, pass), text);
        return sendByMail(app, pass, mailTo, text, attachment);
    } catch (const std::exception& e) {
        app.logError(kModule, kSendProc, e.what(), app.settings.Interactive);
        return false;
    }
}

std::string GetMailMessage(App& app, const std::string& path, std::int32_t count) {
    try {
        bool notRegular = false;
        std::string lines = mailBodyLines(path, count, notRegular);
        // A named pipe or a device has no text to take: said once per run.
        if (notRegular)
            regularFileOrWarn(app, path, "GetMailMessage");
        return lines;
    } catch (const std::exception& e) {
        app.logError(kModule, "GetMailMessage", e.what(), app.settings.Interactive);
        return "";
    }
}

} // namespace kestrova
