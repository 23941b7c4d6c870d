// Message window state, the trace and error texts of mail delivery, the
// missing-settings path and the mail body taken from a watched file.
#include "core/DateTime.h"
#include "core/Text.h"
#include "notify/MailText.h"
#include "notify/MessageWindow.h"
#include "notify/Notifier.h"
#include "support/AppFixture.h"

#include <gtest/gtest.h>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

using namespace kestrova;
using kestrova::test::AppFixture;

namespace {

std::string field(const std::string& logLine, int index) {
    size_t pos = 0;
    for (int i = 0; i < index; ++i)
        pos = logLine.find('\t', pos) + 1;
    size_t end = index == 4 ? std::string::npos : logLine.find('\t', pos);
    return logLine.substr(pos, end == std::string::npos ? end : end - pos);
}

std::vector<std::string> entries(const AppFixture& f, int level) {
    std::vector<std::string> out;
    for (const std::string& line : f.logLines())
        if (field(line, 3) == OperationLog::levelLabel(level)) {
            EXPECT_EQ(field(line, 1), "MsgForm");
            out.push_back(field(line, 2) + "|" + field(line, 4));
        }
    return out;
}

} // namespace

TEST(SendFileUpdMsg, MessageWindowPath) {
    for (bool interactive : {true, false}) {
        for (const std::string& to : {std::string(kMessageDisplay), std::string()}) {
            AppFixture f(interactive);
            int windowCalls = 0;
            f.app.showMessageWindow = [&] { ++windowCalls; };
            f.app.settings.MailTitle = "更新通知";
            const std::string text = "本文\r\n＜更新一覧＞\r\n更新 host /d/a.txt\tx\n";
            PassState pass;
            DateTime before = nowDateTime();
            EXPECT_TRUE(SendFileUpdMsg(f.app, pass, to, text, ""));
            DateTime after = nowDateTime();
            const std::string& caption = f.app.message.caption;
            ASSERT_TRUE(caption == "更新通知 (" + formatDateTime(before) + ")" ||
                        caption == "更新通知 (" + formatDateTime(after) + ")")
                << caption;
            EXPECT_EQ(f.app.message.text, text);
            EXPECT_EQ(f.app.message.shown, interactive ? 1 : 0);
            EXPECT_EQ(windowCalls, f.app.message.shown);
            EXPECT_EQ(entries(f, LogTrace),
                      std::vector<std::string>{
                          "SendFileUpdMsg|Msg 表示:本文  ＜更新一覧＞  更新 host /d/a.txt x "});
            EXPECT_TRUE(f.boxes.empty());
        }
    }
}

TEST(MailText, TraceLineWidthsAndBlanks) {
    EXPECT_EQ(mailTraceLine(0, "ops@example.com", "", "a\r\nb\rc\nd\te"),
              "Mail送信:ops@example.com" + std::string(14, ' ') + ":添付=無し" +
                  std::string(10, ' ') + ":a  b c d e");
    // Double-byte characters count two bytes in both widths.
    EXPECT_EQ(mailTraceLine(2, "山田@example.jp,b@x.jp", "/tmp/d/報告.txt", "t"),
              "Mail送信(3):山田@example.jp,b@x.jp" + std::string(7, ' ') + ":添付=報告.txt" +
                  std::string(6, ' ') + ":t");
    // Fields wider than their width get no blanks.
    const std::string longTo(40, 'a');
    EXPECT_EQ(mailTraceLine(4, longTo, "/x/" + std::string(20, 'f'), "t"),
              "Mail送信(5):" + longTo + ":添付=" + std::string(20, 'f') + ":t");
}

TEST(MailText, TraceLineCutAt794Bytes) {
    // 59 bytes precede the text: an odd 735 bytes remain, so the 368th
    // double-byte character no longer fits and is dropped whole.
    std::string text;
    for (int i = 0; i < 400; ++i)
        text += "あ";
    std::string line = mailTraceLine(0, "ops@example.com", "", text);
    ASSERT_EQ(line.substr(line.size() - 6), "あ...");
    EXPECT_EQ(text::width(line.substr(0, line.size() - 3)), 793);

    // Exactly 794 bytes: nothing cut, no mark.
    std::string fits = "x";
    for (int i = 0; i < 367; ++i)
        fits += "あ";
    line = mailTraceLine(0, "ops@example.com", "", fits);
    EXPECT_EQ(text::width(line), 794);
    EXPECT_NE(line.substr(line.size() - 3), "...");

    // The message-window line marks a cut only when it came out shorter
    // than the text itself ("Msg 表示:" is 9 bytes, 7 characters).
    EXPECT_EQ(messageTraceLine(std::string(785, 'x')), "Msg 表示:" + std::string(785, 'x'));
    EXPECT_EQ(messageTraceLine(std::string(790, 'x')), "Msg 表示:" + std::string(785, 'x'));
    EXPECT_EQ(messageTraceLine(std::string(800, 'x')), "Msg 表示:" + std::string(785, 'x') + "...");
}

TEST(MailText, SenderString) {
    AppSettings s;
    s.MailFromName = "監視";
    s.MailFromAddr = "w@example.com";
    EXPECT_EQ(senderString(s), "監視<w@example.com>");
    s.Interactive = false;
    EXPECT_EQ(senderString(s), "監視*<w@example.com>");
    s.MailFromName.clear();
    EXPECT_EQ(senderString(s), "*<w@example.com>");
    s.Interactive = true;
    EXPECT_EQ(senderString(s), "w@example.com");
    s.MailFromUser = "u";
    s.MailFromPass = "p:w";
    s.AuthMode = "SMTP AUTH CRAM-MD5";
    EXPECT_EQ(senderString(s), "w@example.com\tu:p:w\tCRAM-MD5");
    s.AuthMode = "POP before SMTP";
    EXPECT_EQ(senderString(s), "w@example.com");
    s.AuthMode = "SMTP AUTH LOGIN";
    s.MailFromUser.clear();
    EXPECT_EQ(senderString(s), "w@example.com");
    EXPECT_EQ(maskedPassword("秘密pw"), "****");
    EXPECT_EQ(maskedPassword(""), "");
}

TEST(SendFileUpdMsg, MissingSettingsMakeNoAttempt) {
    // An empty server, or an empty sender string (no name, address or
    // credentials); an empty recipient field goes to the window instead.
    for (bool noServer : {true, false}) {
        AppFixture f(true);
        AppSettings& s = f.app.settings;
        s.SmtpServer = noServer ? "" : "127.0.0.1:1";
        s.AuthMode = "SMTP AUTH LOGIN";
        s.PopServer = "pop.example.com";
        s.MailFromUser = noServer ? "user" : "";
        s.MailFromPass = "secret";
        s.MailFromAddr = noServer ? "w@example.com" : "";
        PassState pass;
        EXPECT_FALSE(SendFileUpdMsg(f.app, pass, "a@example.com,b@example.com", "text", ""));
        EXPECT_EQ(f.app.message.caption, "メール送信エラー");
        EXPECT_EQ(f.app.message.text,
                  "メール送信エラーが発生しました。\r\n"
                  "送信先メールアドレスと共通設定を確認してください。\r\n"
                  "SMTP AUTH   :SMTP AUTH LOGIN\r\n"
                  "POP  SERVER :pop.example.com\r\n"
                  "SMTP SERVER :" +
                      s.SmtpServer + "\r\nUSER        :" + s.MailFromUser +
                      "\r\nPASSWORD    :******\r\n"
                      "FROM ADDRESS:" +
                      s.MailFromAddr +
                      "\r\nTO   ADDRESS:a@example.com,b@example.com\r\n"
                      "ERR  MESSAGE:メール送信に必要な項目が設定されていません。");
        EXPECT_EQ(f.app.message.shown, 1);
        EXPECT_EQ(
            entries(f, LogWarning),
            std::vector<std::string>{"SendFileUpdMsg|メール送信に必要項目が設定されていません。"});
        EXPECT_TRUE(entries(f, LogTrace).empty());
        EXPECT_TRUE(f.boxes.empty());
    }
}

class MailBody : public ::testing::Test {
protected:
    AppFixture f{true};
    std::string file(const std::string& bytes) {
        std::string path = f.dir / "watched.txt";
        test::writeFile(path, bytes);
        return path;
    }
};

TEST_F(MailBody, FirstAndLastLines) {
    std::string p = file("\r\n\r\nl3\r\nl4\r\nl5\r\nl6\r\n");
    EXPECT_EQ(GetMailMessage(f.app, p, 3), "l3\r\nl4\r\nl5\r\n");
    EXPECT_EQ(GetMailMessage(f.app, p, 10), "l3\r\nl4\r\nl5\r\nl6\r\n");
    EXPECT_EQ(GetMailMessage(f.app, p, 0), "");

    p = file("a\r\nb\r\nc\r\nd\r\n\r\n\r\n");
    EXPECT_EQ(GetMailMessage(f.app, p, -2), "c\r\nd\r\n\r\n\r\n");
    EXPECT_EQ(GetMailMessage(f.app, p, -10), "a\r\nb\r\nc\r\nd\r\n\r\n\r\n");
    EXPECT_EQ(GetMailMessage(f.app, p, INT32_MIN), "a\r\nb\r\nc\r\nd\r\n\r\n\r\n");

    // Line ends of any kind; no final line break.
    p = file("x\ny\rz\r\nlast");
    EXPECT_EQ(GetMailMessage(f.app, p, 9), "x\r\ny\r\nz\r\nlast\r\n");
    EXPECT_EQ(GetMailMessage(f.app, p, -1), "last\r\n");

    // Nothing but empty lines.
    p = file("\r\n\r\n");
    EXPECT_EQ(GetMailMessage(f.app, p, 3), "");
    EXPECT_EQ(GetMailMessage(f.app, p, -1), "\r\n\r\n");
    EXPECT_EQ(GetMailMessage(f.app, file(""), 3), "");

    EXPECT_EQ(GetMailMessage(f.app, f.dir / "missing.txt", 3), "");
    EXPECT_EQ(GetMailMessage(f.app, f.dir.path(), 3), "");
    EXPECT_TRUE(f.logLines().empty());
}

TEST_F(MailBody, Encodings) {
    const std::string expected = "監視テキスト\r\n二行目\r\n";
    std::string cp932;
    ASSERT_TRUE(text::toCp932("監視テキスト\r\n二行目", cp932));
    EXPECT_EQ(GetMailMessage(f.app, file(cp932), 5), expected);
    EXPECT_EQ(GetMailMessage(f.app, file("監視テキスト\n二行目"), 5), expected);
    EXPECT_EQ(GetMailMessage(f.app, file("\xEF\xBB\xBF監視テキスト\r\n二行目"), 5), expected);

    auto utf16 = [](const std::u16string& s, bool bigEndian) {
        std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
        for (char16_t c : s) {
            char hi = static_cast<char>(c >> 8), lo = static_cast<char>(c & 0xFF);
            out += bigEndian ? hi : lo;
            out += bigEndian ? lo : hi;
        }
        return out;
    };
    EXPECT_EQ(GetMailMessage(f.app, file(utf16(u"監視テキスト\r\n二行目", false)), 5), expected);
    EXPECT_EQ(GetMailMessage(f.app, file(utf16(u"監視テキスト\n二行目", true)), -5), expected);
}

TEST_F(MailBody, UnreadableFileIsAnErrorEntry) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "permissions do not stop root";
    std::string p = file("secret\r\n");
    ::chmod(p.c_str(), 0);
    EXPECT_EQ(GetMailMessage(f.app, p, 3), "");
    auto errors = entries(f, LogError);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].substr(0, 15), "GetMailMessage|");
    EXPECT_EQ(f.boxes.size(), 1u);
}
