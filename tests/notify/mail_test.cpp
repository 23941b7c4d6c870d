// Mail delivery through the real libbsmtp.so against loopback SMTP and POP3
// servers: attempts, trace and warning entries, the error window, the sender
// string and POP before SMTP.
#include "TestServers.h"
#include "core/App.h"
#include "core/Text.h"
#include "notify/MailLibrary.h"
#include "notify/Notifier.h"
#include "support/TestClock.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <atomic>
#include <cstdlib>
#include <gtest/gtest.h>

using namespace kestrova;
namespace t = kestrova::test;

namespace {

// An App in a temporary folder that loads the real libraries from the
// portable folder and records the log's message boxes; its waits return at
// once (realClock: the system's clock).
struct MailApp {
    explicit MailApp(bool interactive = true, bool realClock = false) {
        if (!realClock) {
            auto testClock = std::make_unique<t::TestClock>();
            clock = testClock.get();
            app.clock = std::move(testClock);
        }
        const char* appDir = std::getenv("KESTROVA_APP_DIR");
        app.programDir = appDir ? appDir : "";
        app.settings.Interactive = interactive;
        app.settings.TempFolder = (dir.path() / "Temp").string();
        app.log.setBasePath((dir.path() / "kestrova").string());
        app.log.interactive = interactive;
        app.log.messageBox = [this](const MessageBoxRequest& r) {
            boxes.push_back(r);
            return 1;
        };
        AppSettings& s = app.settings;
        s.MailFromName = "監視 太郎";
        s.MailFromAddr = "watch@example.com";
        s.MailTitle = "更新通知";
    }
    void useServer(const t::SmtpServer& smtp) { app.settings.SmtpServer = smtp.address(); }

    // Messages of the log entries at one level, in order.
    std::vector<std::string> entries(int level) const {
        std::vector<std::string> out;
        const std::string marker =
            "\tMsgForm\tSendFileUpdMsg\t" + OperationLog::levelLabel(level) + "\t";
        std::string all = text::decodeFile(t::readFile(app.log.logFile()));
        size_t pos = 0;
        while (pos < all.size()) {
            size_t end = all.find("\r\n", pos);
            std::string line = all.substr(pos, end - pos);
            size_t at = line.find(marker);
            if (at != std::string::npos)
                out.push_back(line.substr(at + marker.size()));
            if (end == std::string::npos)
                break;
            pos = end + 2;
        }
        return out;
    }
    std::string logText() const { return t::readFile(app.log.logFile()); }

    t::TempDir dir;
    App app;
    t::TestClock* clock = nullptr;
    std::vector<MessageBoxRequest> boxes;
};

constexpr const char* kBody =
    "本文です。\r\n＜更新一覧＞\r\n更新 host /d/a.txt 2026/12/07 6:05:09\r\n";
const std::string kBodyInTrace =
    "本文です。  ＜更新一覧＞  更新 host /d/a.txt 2026/12/07 6:05:09  ";
const std::string kTo = "ops@example.com";
const std::string kToPad = kTo + std::string(14, ' ');

struct ScopedEnv {
    ScopedEnv(const char* n, const char* v) : name(n) { ::setenv(n, v, 1); }
    ~ScopedEnv() { ::unsetenv(name); }
    const char* name;
};

} // namespace

// On the system's clock: a second between attempts, half a second after
// the mail that went out.
TEST(Mail, ThreeFailuresThenSuccess) {
    t::SmtpServer smtp({.refuseFirst = 3});
    MailApp m(true, true);
    m.useServer(smtp);
    PassState pass;
    QElapsedTimer timer;
    timer.start();
    EXPECT_TRUE(SendFileUpdMsg(m.app, pass, kTo, kBody, ""));
    EXPECT_GE(timer.elapsed(), 3 * 1000 + 500);

    const std::string rest = ":添付=無し" + std::string(10, ' ') + ":" + kBodyInTrace;
    EXPECT_EQ(
        m.entries(LogTrace),
        (std::vector<std::string>{"Mail送信:" + kToPad + rest, "Mail送信(2):" + kToPad + rest,
                                  "Mail送信(3):" + kToPad + rest, "Mail送信(4):" + kToPad + rest}));
    auto warnings = m.entries(LogWarning);
    ASSERT_EQ(warnings.size(), 3u);
    EXPECT_NE(warnings[0].find("451"), std::string::npos) << warnings[0];
    EXPECT_EQ(m.app.message.shown, 0);
    EXPECT_EQ(m.app.message.caption, "監視ファイル更新通知");
    EXPECT_TRUE(m.boxes.empty());

    auto files = smtp.waitForMessages(1);
    t::ParsedMail mail = t::parseEml(files.at(0));
    EXPECT_EQ(mail.subject, "更新通知");
    EXPECT_EQ(mail.body, std::string(kBody));
    EXPECT_EQ(m.app.settings.MailTitle, "更新通知");
    EXPECT_EQ(m.app.settings.SmtpServer, smtp.address());
}

TEST(Mail, FiveFailuresShowTheErrorWindowOnce) {
    t::SmtpServer smtp({.refuseFirst = 5});
    MailApp m;
    m.useServer(smtp);
    AppSettings& s = m.app.settings;
    s.AuthMode = "POP before SMTP"; // no POP server: no login, no credentials
    s.MailFromUser = "user1";
    s.MailFromPass = "秘密pass";
    const std::string to = "a@example.com,b@example.com";
    const std::string attachment = (m.dir.path() / "報告.lzh").string();
    t::writeFile(attachment, "lzh");
    PassState pass;
    EXPECT_FALSE(SendFileUpdMsg(m.app, pass, to, "t", attachment));
    EXPECT_EQ(m.clock->waits, std::vector<int>(5, 1000));

    auto traces = m.entries(LogTrace);
    ASSERT_EQ(traces.size(), 5u);
    EXPECT_EQ(traces[4], "Mail送信(5):" + to + std::string(2, ' ') + ":添付=報告.lzh" +
                             std::string(6, ' ') + ":t");
    auto warnings = m.entries(LogWarning);
    ASSERT_EQ(warnings.size(), 5u);
    EXPECT_NE(warnings[4].find("451"), std::string::npos) << warnings[4];

    EXPECT_EQ(m.app.message.shown, 1);
    EXPECT_EQ(m.app.message.caption, "メール送信エラー");
    const std::string head = "メール送信エラーが発生しました。\r\n"
                             "送信先メールアドレスと共通設定を確認してください。\r\n"
                             "SMTP AUTH   :POP before SMTP\r\n"
                             "POP  SERVER :\r\n"
                             "SMTP SERVER :" +
                             smtp.address() +
                             "\r\n"
                             "USER        :user1\r\n"
                             "PASSWORD    :******\r\n"
                             "FROM ADDRESS:watch@example.com\r\n"
                             "TO   ADDRESS:a@example.com,b@example.com\r\n"
                             "ERR  MESSAGE:";
    EXPECT_EQ(m.app.message.text, head + warnings[4]);
    EXPECT_EQ(m.logText().find("秘密pass"), std::string::npos);
    EXPECT_TRUE(m.boxes.empty());
}

TEST(Mail, RecipientsAndSenderString) {
    t::SmtpServer smtp;
    for (bool interactive : {true, false}) {
        MailApp m(interactive);
        m.useServer(smtp);
        PassState pass;
        EXPECT_TRUE(SendFileUpdMsg(m.app, pass, "a@example.com,b@example.com", "t", ""));
        auto traces = m.entries(LogTrace);
        ASSERT_EQ(traces.size(), 1u);
        EXPECT_EQ(traces[0].rfind("Mail送信:a@example.com,b@example.com  :", 0), 0u);
        EXPECT_EQ(m.app.message.shown, 0);
    }
    auto files = smtp.waitForMessages(2);
    for (size_t i = 0; i < 2; ++i) {
        t::Envelope e = t::readEnvelope(files[i]);
        EXPECT_EQ(e.rcptTo, (std::vector<std::string>{"a@example.com", "b@example.com"}));
        EXPECT_EQ(e.mailFrom, "watch@example.com");
        t::ParsedMail mail = t::parseEml(files[i]);
        EXPECT_EQ(mail.fromAddress, "watch@example.com");
        EXPECT_EQ(mail.fromName, i == 0 ? "監視 太郎" : "監視 太郎*");
    }
}

TEST(Mail, Credentials) {
    // LOGIN with an empty user sends no credentials: a server without AUTH
    // takes the mail.
    {
        t::SmtpServer smtp;
        MailApp m;
        m.useServer(smtp);
        m.app.settings.AuthMode = "SMTP AUTH LOGIN";
        m.app.settings.MailFromPass = "unused";
        PassState pass;
        EXPECT_TRUE(SendFileUpdMsg(m.app, pass, kTo, "t", ""));
        EXPECT_FALSE(t::readEnvelope(smtp.waitForMessages(1).at(0)).authenticated);
    }
    // With a user the credentials and the method reach the server.
    for (const char* method : {"LOGIN", "PLAIN", "CRAM-MD5"}) {
        t::SmtpServer smtp({.auth = method});
        MailApp m;
        m.useServer(smtp);
        m.app.settings.AuthMode = std::string("SMTP AUTH ") + method;
        m.app.settings.MailFromUser = "sender";
        m.app.settings.MailFromPass = "secret";
        PassState pass;
        EXPECT_TRUE(SendFileUpdMsg(m.app, pass, kTo, "t", "")) << method;
        EXPECT_TRUE(t::readEnvelope(smtp.waitForMessages(1).at(0)).authenticated) << method;
        EXPECT_EQ(m.logText().find("secret"), std::string::npos);
    }
}

TEST(Mail, PopBeforeSmtpWithApop) {
    t::Pop3Server pop;
    t::SmtpServer smtp;
    MailApp m;
    m.useServer(smtp);
    AppSettings& s = m.app.settings;
    s.AuthMode = "POP before SMTP";
    s.APopMode = true;
    s.PopServer = pop.address(); // host:port, passed as host TAB port
    s.MailFromUser = pop.user();
    s.MailFromPass = pop.password();
    PassState pass;
    EXPECT_TRUE(SendFileUpdMsg(m.app, pass, kTo, "one", ""));
    EXPECT_TRUE(pass.PopDone);
    EXPECT_TRUE(SendFileUpdMsg(m.app, pass, kTo, "two", ""));
    EXPECT_TRUE(m.entries(LogWarning).empty());
    smtp.waitForMessages(2);

    // One login in the pass, made with APOP.
    const std::string log = t::readFile(pop.logFile());
    size_t logins = 0;
    for (size_t p = log.find("Login: user=<popuser>"); p != std::string::npos;
         p = log.find("Login: user=<popuser>", p + 1))
        ++logins;
    EXPECT_EQ(logins, 1u) << log;
    EXPECT_NE(log.find("method=APOP"), std::string::npos) << log;

    // A new pass logs in again.
    PassState next;
    EXPECT_TRUE(SendFileUpdMsg(m.app, next, kTo, "three", ""));
    EXPECT_TRUE(next.PopDone);
}

TEST(Mail, UnreachablePopServerStillSends) {
    t::SmtpServer smtp({.refuseFirst = 1});
    MailApp m;
    m.useServer(smtp);
    AppSettings& s = m.app.settings;
    s.AuthMode = "POP before SMTP";
    s.PopServer = "127.0.0.1:" + std::to_string(t::freePort());
    s.MailFromUser = "popuser";
    s.MailFromPass = "poppass";
    PassState pass;
    EXPECT_TRUE(SendFileUpdMsg(m.app, pass, kTo, "t", ""));
    // Attempt 1: POP warning, SMTP refusal; attempt 2: POP warning, then the
    // login is given up for the pass and the mail goes out.
    auto warnings = m.entries(LogWarning);
    ASSERT_EQ(warnings.size(), 3u);
    EXPECT_NE(warnings[1].find("451"), std::string::npos) << warnings[1];
    EXPECT_EQ(warnings[0].find("poppass"), std::string::npos);
    EXPECT_TRUE(pass.PopDone);
    smtp.waitForMessages(1);

    // Given up: a later mail of the same pass tries no POP login.
    EXPECT_TRUE(SendFileUpdMsg(m.app, pass, kTo, "t2", ""));
    EXPECT_EQ(m.entries(LogWarning).size(), 3u);
}

TEST(Mail, EventLoopRunsDuringALibraryCall) {
    int argc = 1;
    char name[] = "notify_mail_test";
    char* argv[] = {name, nullptr};
    QCoreApplication core(argc, argv);
    t::SmtpServer silent({.mode = "silent"});
    ScopedEnv timeout("BSMTP_TIMEOUT", "2");

    MailApp m;
    MailLibrary library;
    std::string error;
    ASSERT_TRUE(library.load(m.app.programDir, error)) << error;
    std::atomic<int> ticks{0};
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(50);
    std::string result = library.SendMail(silent.address(), kTo, "watch@example.com", "s", "b", "");
    EXPECT_FALSE(result.empty());
    EXPECT_GE(ticks.load(), 10);
}
