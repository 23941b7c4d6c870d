// The set-up commands and the one-shot check, driven through the real
// binary without a display, against a loopback SMTP server: what an
// administrator on a server types, and what ends up in the files.
#include "TestServers.h"
#include "cipher/CryptString.h"
#include "core/Text.h"

#include <QCoreApplication>
#include <QProcess>
#include <QProcessEnvironment>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <sys/stat.h>
#include <thread>

namespace kestrova {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::readFile;
using test::writeFile;

struct Ran {
    int status = -1;
    std::string out, err;
};

class Cli : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "cli_test";
        static char* argv[] = {name, nullptr};
        if (!QCoreApplication::instance())
            static QCoreApplication app(argc, argv);
    }
    test::TempDir dir;
    std::string folder = dir / "prog";
    std::map<std::string, std::string> env;

    Ran run(std::vector<std::string> args, const std::string& input = "") {
        QProcess p;
        p.setProgram(
            QString::fromStdString(std::string(std::getenv("KESTROVA_APP_DIR")) + "/kestrova"));
        QStringList list;
        for (const std::string& a : args)
            list << QString::fromStdString(a);
        list << "--folder" << QString::fromStdString(folder);
        p.setArguments(list);
        auto e = QProcessEnvironment::systemEnvironment();
        e.remove("DISPLAY");
        e.remove("WAYLAND_DISPLAY");
        e.insert("XDG_RUNTIME_DIR", QString::fromStdString(dir.path()));
        for (const auto& [k, v] : env)
            e.insert(QString::fromStdString(k), QString::fromStdString(v));
        p.setProcessEnvironment(e);
        p.start();
        p.write(input.data(), static_cast<qint64>(input.size()));
        p.closeWriteChannel();
        EXPECT_TRUE(p.waitForFinished(60000));
        return {p.exitCode(), p.readAllStandardOutput().toStdString(),
                p.readAllStandardError().toStdString()};
    }
    std::string settings() { return text::decodeFile(readFile(folder + "/kestrova.ini")); }
    std::string list() { return text::decodeFile(readFile(folder + "/kestrovaD.ini")); }
    void mailSettings(const test::SmtpServer& smtp) {
        ASSERT_EQ(run({"config", "set", "MailFromAddr", "watch@example.com"}).status, 0);
        ASSERT_EQ(run({"config", "set", "SmtpServer", smtp.address()}).status, 0);
        ASSERT_EQ(run({"config", "set", "AuthMode", "SMTP AUTH LOGIN"}).status, 0);
        ASSERT_EQ(run({"config", "set", "MailFromUser", "sender"}).status, 0);
    }
};

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST_F(Cli, ConfigAndUsageRefusals) {
    Ran r = run({"config", "list"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(has(r.out, "AuthMode=POP before SMTP\n")) << r.out;
    EXPECT_TRUE(has(r.out, "MailFromPass=\n"));
    // Refused with the allowed values, and nothing written.
    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{"config", "set", "AuthMode", "LOGIN"},
          {"config", "set", "CheckSec", "0"},
          {"config", "set", "CheckSec", "abc"},
          {"config", "set", "TlsRequired", "yes"},
          {"config", "set", "MailFromPass", "x"},
          {"config", "set", "NoSuchKey", "1"},
          {"config", "get"},
          {"watch", "frobnicate"},
          {"--check"},
          {"b", "x"}}) {
        r = run(bad);
        EXPECT_EQ(r.status, 2) << bad[0] << " " << (bad.size() > 1 ? bad[1] : "");
        EXPECT_FALSE(r.err.empty());
    }
    EXPECT_TRUE(has(run({"config", "set", "AuthMode", "x"}).err, "SMTP AUTH CRAM-MD5"));
    EXPECT_EQ(run({"config", "set", "MailTitle", " "}).status, 0); // the dialog's default
    EXPECT_EQ(run({"config", "get", "mailtitle"}).out, "ファイル更新通知\n");
    EXPECT_EQ(run({"config", "set", "MailFromUser", "ops@example.com"}).status, 0);
    EXPECT_EQ(run({"config", "get", "MailFromAddr"}).out, "ops@example.com\n");
    EXPECT_EQ(run({"config", "set", "CheckSec", "2.5"}).status, 0);
    EXPECT_TRUE(has(settings(), "CheckSec=2.5\r\n"));
}

TEST_F(Cli, WatchListEditsAndPassword) {
    const std::string upload = dir / "upload";
    fs::create_directories(upload + "/sub");
    writeFile(upload + "/a.txt", "a");
    writeFile(dir / "report.txt", "r\n");
    Ran r = run({"watch", "add", upload});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(has(r.err, upload + "/")) << r.err;
    EXPECT_EQ(run({"watch", "add", upload + "/", "--to", "ops@example.com"}).status, 0);
    r = run({"watch", "add", dir / "report.txt", "--to", "ops@example.com", "--body", "-20",
             "--subfolders"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(has(r.err, "--subfolders")); // said, and left out
    EXPECT_EQ(run({"watch", "add", dir / "gone.txt", "--message", "--on", "delete"}).status, 0);
    r = run({"watch", "list", "--json"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(has(r.out, "\"path\": \"" + upload +
                               "/\", \"sendMailTo\": \"ops@example.com\", "
                               "\"fileChkMode\": 7, \"mailBdLines\": 99999, \"items\": 2}"))
        << r.out;
    // A file takes its text as body; subfolders are for folders only.
    EXPECT_TRUE(has(r.out, "\"fileChkMode\": 23, \"mailBdLines\": -20, \"items\": 1}")) << r.out;
    EXPECT_TRUE(has(r.out, "\"sendMailTo\": \"メッセージ表示\", \"fileChkMode\": 1,")) << r.out;
    // set keeps what is not given; --attach on a folder is an archive.
    EXPECT_EQ(run({"watch", "set", "0", "--on", "new", "--attach", "--body", "5"}).status, 0);
    EXPECT_TRUE(has(list(), "[FileChkMode]\r\n0=292\r\n"));
    EXPECT_TRUE(has(list(), "[MailBdLines]\r\n0=5\r\n"));
    EXPECT_EQ(run({"watch", "set", "0", "--no-attach"}).status, 0);
    EXPECT_TRUE(has(list(), "[FileChkMode]\r\n0=4\r\n"));
    EXPECT_EQ(run({"watch", "remove", "7"}).status, 2);
    EXPECT_EQ(run({"watch", "remove", "2"}).status, 0);
    EXPECT_EQ(run({"watch", "list"}).out.find("gone.txt"), std::string::npos);

    // The password is stored only in its enciphered form.
    EXPECT_EQ(run({"password", "--stdin"}, "秘密-pw1\n").status, 0);
    const std::string stored = settings();
    EXPECT_FALSE(has(stored, "秘密"));
    const size_t at = stored.find("MailFromPass=") + 13;
    EXPECT_EQ(CryptString(stored.substr(at, stored.find('\r', at) - at), 0, kCipherKey1,
                          kCipherKey2, kCipherKey3),
              "秘密-pw1");
    EXPECT_EQ(run({"config", "get", "MailFromPass"}).out, "********\n");
    EXPECT_EQ(run({"password"}).status, 2); // no terminal
}

TEST_F(Cli, CheckMailsOnceAndTellsByExitStatus) {
    test::SmtpServer smtp({.auth = "LOGIN", .password = "secret"});
    mailSettings(smtp);
    EXPECT_EQ(run({"password", "--stdin"}, "secret\n").status, 0);
    const std::string upload = dir / "upload";
    fs::create_directories(upload);
    ASSERT_EQ(run({"watch", "add", upload + "/", "--to", "ops@example.com"}).status, 0);
    EXPECT_EQ(run({"check"}).status, 0); // nothing changed
    writeFile(upload + "/new.txt", "n");
    EXPECT_EQ(run({"check"}).status, 0);
    EXPECT_EQ(smtp.waitForMessages(1).size(), 1u);
    EXPECT_EQ(run({"check"}).status, 0);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(smtp.messages().size(), 1u); // notified once
    EXPECT_EQ(run({"test-mail", "ops@example.com"}).status, 0);
    // A server that is gone: the change stays unnotified, and says so.
    ASSERT_EQ(run({"config", "set", "SmtpServer", "127.0.0.1:" + std::to_string(test::freePort())})
                  .status,
              0);
    env["BSMTP_CONNECT_TIMEOUT"] = "1";
    writeFile(upload + "/second.txt", "s");
    EXPECT_EQ(run({"test-mail", "ops@example.com"}).status, 1);
    EXPECT_EQ(run({"check"}).status, 1);
    ASSERT_EQ(run({"config", "set", "SmtpServer", smtp.address()}).status, 0);
    EXPECT_EQ(run({"check"}).status, 0);
    const auto mails = smtp.waitForMessages(3);
    ASSERT_EQ(mails.size(), 3u);
    EXPECT_TRUE(has(test::parseEml(mails[2]).body, "second.txt"));
}

// A file written by a Linux editor (UTF-8, no mark), a password typed in by
// hand, and a file entry without its record.
TEST_F(Cli, HandWrittenFiles) {
    test::SmtpServer smtp({.auth = "LOGIN", .password = "secret"});
    const std::string inbox = dir / "受付";
    fs::create_directories(inbox);
    writeFile(dir / "r.txt", "x");
    fs::create_directories(folder);
    const std::string ini = "[InitSetting]\nSmtpServer=" + smtp.address() +
                            "\nAuthMode=SMTP AUTH LOGIN\nMailFromUser=sender\nMailFromPass=secret\n"
                            "MailFromAddr=watch@example.com\nMailTitle=受付の更新\n";
    writeFile(folder + "/kestrova.ini", ini);
    // Keys that do not start at 0: warned, and the file is left alone.
    const std::string gap = "[CheckFolders]\n1=" + inbox + "/\n";
    writeFile(folder + "/kestrovaD.ini", gap);
    EXPECT_EQ(run({"check"}).status, 0);
    EXPECT_EQ(readFile(folder + "/kestrovaD.ini"), gap);
    EXPECT_TRUE(has(text::decodeFile(readFile(folder + "/kestrova.log")), "キー 1"));
    const std::string watch = "[CheckFolders]\n0=" + inbox + "/\n1=" + (dir / "r.txt") +
                              "\n[SendMailTo]\n0=ops@example.com\n1=ops@example.com\n"
                              "[FileChkMode]\n0=7\n1=7\n";
    writeFile(folder + "/kestrovaD.ini", watch);
    writeFile(inbox + "/届.txt", "1");
    Ran r = run({"check"});
    // The typed password is never sent, and never overwritten.
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.err, "MailFromPass")) << r.err;
    EXPECT_TRUE(has(r.err, "kestrova password")) << r.err;
    EXPECT_FALSE(fs::exists(smtp.mailDir() / "auth_attempts"));
    EXPECT_TRUE(has(readFile(folder + "/kestrova.ini"), "MailFromPass=secret"));
    EXPECT_EQ(run({"password", "--stdin"}, "secret\n").status, 0);
    // Still UTF-8 without a mark, nothing replaced.
    const std::string bytes = readFile(folder + "/kestrova.ini");
    EXPECT_TRUE(has(bytes, "MailTitle=受付の更新"));
    EXPECT_FALSE(bytes.starts_with("\xEF\xBB\xBF"));
    EXPECT_EQ(run({"check"}).status, 0);
    const auto mails = smtp.waitForMessages(1);
    ASSERT_EQ(mails.size(), 1u);
    const test::ParsedMail m = test::parseEml(mails[0]);
    EXPECT_EQ(m.subject, "受付の更新");
    EXPECT_TRUE(has(m.body, inbox + "/届.txt")) << m.body;
    EXPECT_FALSE(has(m.body, "r.txt")); // the file entry got its record silently
    EXPECT_TRUE(has(readFile(folder + "/kestrovaD.ini"), "1_0_path=" + (dir / "r.txt")));
    EXPECT_TRUE(has(readFile(folder + "/kestrovaD.ini"), "0=" + inbox + "/"));
}

TEST_F(Cli, CredentialsFolderAndRefusedLoginsBackOff) {
    test::SmtpServer smtp({.auth = "LOGIN", .password = "secret"});
    mailSettings(smtp);
    test::TempDir credentials;
    writeFile(credentials / "mail-password", "secret\n");
    env["CREDENTIALS_DIRECTORY"] = credentials.path();
    EXPECT_EQ(run({"test-mail", "ops@example.com"}).status, 0);
    EXPECT_EQ(run({"password", "--stdin"}, "x\n").status, 2);
    EXPECT_TRUE(has(settings(), "MailFromPass=\r\n"));

    // A wrong password: one login per interval (1 s, 2 s, 4 s...), not five
    // per pass: in 5 s at most three tries, where five per second would be
    // dozens.
    writeFile(credentials / "mail-password", "wrong\n");
    ASSERT_EQ(run({"config", "set", "CheckSec", "1"}).status, 0);
    const std::string upload = dir / "upload";
    fs::create_directories(upload);
    ASSERT_EQ(run({"watch", "add", upload + "/", "--to", "ops@example.com"}).status, 0);
    writeFile(upload + "/a.txt", "a");
    QProcess b;
    b.setProgram(
        QString::fromStdString(std::string(std::getenv("KESTROVA_APP_DIR")) + "/kestrova"));
    b.setArguments({"b", "--folder", QString::fromStdString(folder)});
    auto e = QProcessEnvironment::systemEnvironment();
    e.insert("CREDENTIALS_DIRECTORY", QString::fromStdString(credentials.path()));
    e.insert("XDG_RUNTIME_DIR", QString::fromStdString(dir.path()));
    b.setProcessEnvironment(e);
    b.start();
    std::this_thread::sleep_for(5s);
    const std::string attempts = readFile((smtp.mailDir() / "auth_attempts").string());
    const size_t logins = static_cast<size_t>(std::count(attempts.begin(), attempts.end(), '\n'));
    EXPECT_GE(logins, 3u); // the test-mail's and at least two tries
    EXPECT_LE(logins, 5u) << attempts;
    const std::string log = text::decodeFile(readFile(folder + "/kestrova.log"));
    size_t warnings = 0;
    for (size_t p = log.find("同じ設定ではすぐには再試行しません"); p != std::string::npos;
         p = log.find("同じ設定ではすぐには再試行しません", p + 1))
        ++warnings;
    EXPECT_EQ(warnings, 1u);
    ::kill(static_cast<pid_t>(b.processId()), SIGTERM);
    ASSERT_TRUE(b.waitForFinished(15000));
    EXPECT_EQ(b.exitCode(), 0);
    EXPECT_TRUE(smtp.messages().size() == 1); // only the test mail
}

} // namespace
} // namespace kestrova
