#include "notify/MailText.h"

#include "core/OperationLog.h"
#include "core/Settings.h"
#include "core/Text.h"

namespace kestrova {

namespace {

size_t characterCount(std::string_view utf8) {
    size_t count = 0;
    for (size_t pos = 0; pos < utf8.size(); ++count)
        text::nextCodePoint(utf8, pos);
    return count;
}

std::string padTo(const std::string& s, int widthBytes) {
    return s + RepeatStr(" ", widthBytes - text::width(s));
}

std::string fileNameOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The library refuses a mailbox holding a control character, because a line
// break there could move the address boundary. A display name is only
// encoded text, so its breaks and TABs (our field separator) become blanks.
std::string blankControls(std::string s) {
    for (char& c : s)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = ' ';
    return s;
}

} // namespace

std::string authKeyword(const std::string& authMode) {
    if (authMode == "SMTP AUTH LOGIN")
        return "LOGIN";
    if (authMode == "SMTP AUTH CRAM-MD5")
        return "CRAM-MD5";
    if (authMode == "SMTP AUTH PLAIN")
        return "PLAIN";
    return "";
}

std::string senderString(const AppSettings& s) {
    std::string sender = blankControls(s.MailFromName);
    if (!s.Interactive)
        sender += "*";
    if (!s.MailFromAddr.empty())
        sender = sender.empty() ? s.MailFromAddr : sender + "<" + s.MailFromAddr + ">";
    std::string keyword = authKeyword(s.AuthMode);
    if (!s.MailFromUser.empty() && !keyword.empty())
        sender += "\t" + s.MailFromUser + ":" + s.MailFromPass + "\t" + keyword;
    return sender;
}

std::string maskedPassword(const std::string& password) {
    return RepeatStr("*", static_cast<int>(characterCount(password)));
}

std::string flattenForLog(std::string_view t) {
    std::string out = text::replaceAll(t, "\r\n", "  ");
    for (char& c : out)
        if (c == '\r' || c == '\n' || c == '\t')
            c = ' ';
    return out;
}

std::string cutTraceLine(const std::string& line, std::string_view compareWith) {
    std::string cut = text::headByWidth(line, kTraceLineLimit);
    if (characterCount(cut) < characterCount(compareWith))
        cut += "...";
    return cut;
}

std::string mailTraceLine(int attempt, const std::string& mailTo, const std::string& attachment,
                          const std::string& t) {
    std::string title =
        attempt == 0 ? std::string("Mail送信:") : "Mail送信(" + std::to_string(attempt + 1) + "):";
    std::string name = attachment.empty() ? std::string("無し") : fileNameOf(attachment);
    std::string line =
        flattenForLog(title + padTo(mailTo, 29) + ":" + "添付=" + padTo(name, 14) + ":" + t);
    return cutTraceLine(line, line);
}

std::string messageTraceLine(const std::string& t) {
    // Beyond the CR LF pairs, lone line breaks and TABs are flattened too:
    // a raw one would split or shift the log's tab-separated line.
    return cutTraceLine(flattenForLog("Msg 表示:" + t), t);
}

std::string mailErrorText(const AppSettings& s, const std::string& mailTo,
                          const std::string& message) {
    return "メール送信エラーが発生しました。\r\n"
           "送信先メールアドレスと共通設定を確認してください。\r\n"
           "SMTP AUTH   :" +
           s.AuthMode + "\r\nPOP  SERVER :" + s.PopServer + "\r\nSMTP SERVER :" + s.SmtpServer +
           "\r\nUSER        :" + s.MailFromUser +
           "\r\nPASSWORD    :" + maskedPassword(s.MailFromPass) +
           "\r\nFROM ADDRESS:" + s.MailFromAddr + "\r\nTO   ADDRESS:" + mailTo +
           "\r\nERR  MESSAGE:" + message;
}

} // namespace kestrova
