// kestrova test-mail ADDR
#include "cli/Command.h"

#include "core/App.h"
#include "core/Text.h"
#include "notify/MailLibrary.h"
#include "notify/MailText.h"
#include "notify/Notifier.h"

namespace kestrova {

int testMailCommand(App& app, const std::vector<std::string>& args) {
    if (args.size() != 1 || args[0].empty() || args[0].rfind("--", 0) == 0)
        return usageError("使い方: kestrova test-mail ADDR (usage)");
    const AppSettings& s = app.settings;
    const std::string& to = args[0];
    const bool pop = s.AuthMode == "POP before SMTP";
    tell("設定: SMTP " + (s.SmtpServer.empty() ? std::string("(なし)") : s.SmtpServer) + "、" +
         s.AuthMode + "、ユーザー " + (s.MailFromUser.empty() ? "(なし)" : s.MailFromUser) +
         "、差出人 " + s.MailFromAddr + (s.TlsRequired ? "、TLS 必須" : "") +
         (s.TlsTrustFile.empty() ? "" : "、TlsTrustFile " + s.TlsTrustFile));
    const std::string sender = senderString(s);
    if (s.SmtpServer.empty() || sender.empty()) {
        tell("失敗: SmtpServer と MailFromAddr (または MailFromName) を設定してください。 "
             "(set SmtpServer and MailFromAddr)");
        return kExitUsage;
    }
    if (s.MailFromPass.empty() && !s.MailFromPassUnreadable.empty()) {
        tell("失敗: MailFromPass は暗号化されたパスワードの形ではありません。kestrova password で"
             "設定してください。");
        return kExitUsage;
    }
    MailLibrary library;
    std::string error;
    if (!library.load(app.programDir, error)) {
        tell("失敗: " + error);
        return kExitFailed;
    }
    const MailTls tls = mailTls(app, s);
    if (pop && !s.PopServer.empty()) {
        const std::string password = s.APopMode ? "a " + s.MailFromPass : s.MailFromPass;
        if (!library.RcvMail(text::replaceAll(s.PopServer, ":", "\t"), s.MailFromUser, password,
                             "STAT", app.programDir, error, tls)) {
            tell("POP ログイン " + s.PopServer + ": 失敗: " + error);
            return kExitFailed;
        }
        tell("POP ログイン " + s.PopServer + ": OK");
    }
    SendReport report;
    const std::string body = "ケストロバのテストメールです。この設定で通知を送れます。\r\n"
                             "(kestrova test-mail, " +
                             s.ComputerName + ")\r\n";
    const std::string result =
        library.SendMail(s.SmtpServer, text::replaceAll(to, ",", "\t"), sender,
                         s.MailTitle + " (テスト)", body, "", tls, &report);
    if (!result.empty()) {
        tell("送信 " + s.SmtpServer + " → " + to + ": 失敗: " + result);
        return kExitFailed;
    }
    for (const SendReport::Refused& r : report.refused)
        tell("送信先 " + r.address + " は受け付けられませんでした: " + r.reply);
    if (report.passwordInClear)
        tell("注意: パスワードが暗号化されない接続で送られました。TlsRequired=True を"
             "おすすめします。");
    tell("送信 " + s.SmtpServer + " → " + to + ": OK (サーバーが受け付けました)");
    return kExitOk;
}

} // namespace kestrova
