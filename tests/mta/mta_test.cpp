// Mail against a real Postfix (with SASL through Dovecot) and Dovecot POP3
// on loopback, with certificates from a CA made for the run: the library's
// sentences for each refusal, and `kestrova b` end to end with the TLS
// settings, partial delivery and POP before SMTP.
#include "bsmtp.h"
#include "cipher/CryptString.h"
#include "core/Text.h"

#include "TestServers.h"

#include <QCoreApplication>
#include <QProcess>
#include <QProcessEnvironment>
#include <gtest/gtest.h>

#include <ctime>
#include <fcntl.h>
#include <regex>
#include <sys/stat.h>
#include <thread>

namespace kestrova {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::MailSystem;

std::string lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

size_t count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t p = text.find(part); p != std::string::npos; p = text.find(part, p + 1))
        ++n;
    return n;
}

struct Sent {
    std::string result;
    std::string refused;
    bool passwordInClear = false;
    int failure = BSMTP_FAILURE_OTHER;
};

Sent send(const std::string& server, const std::string& to, const std::string& from,
          const BsmtpTls& tls = {nullptr, nullptr, 0}) {
    BsmtpReport report{};
    char* result =
        SendMailEx(server.c_str(), to.c_str(), from.c_str(), "件名", "本文\r\n", "", &tls, &report);
    Sent sent{result, report.refused, report.passwordInClear != 0, report.failure};
    BsmtpFree(result);
    BsmtpFree(report.refused);
    return sent;
}

const std::string kCredentials = "\t" + MailSystem::kUser + ":" + MailSystem::kPassword;

// One Postfix and Dovecot for the whole program: starting them takes seconds.
class Mta : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!MailSystem::unavailable().empty())
            return;
        if (!QCoreApplication::instance()) {
            static int argc = 1;
            static char name[] = "mta_test";
            static char* argv[] = {name, nullptr};
            static QCoreApplication app(argc, argv);
        }
        mta = std::make_unique<MailSystem>();
    }
    static void TearDownTestSuite() { mta.reset(); }
    void SetUp() override {
        const std::string why = MailSystem::unavailable();
        if (!why.empty())
            GTEST_SKIP() << why;
        ASSERT_TRUE(mta);
    }

    static std::unique_ptr<MailSystem> mta;
};
std::unique_ptr<MailSystem> Mta::mta;

TEST_F(Mta, RefusalsNameTheStepAndCarryTheServersReply) {
    const std::string plain = MailSystem::address(mta->plainPort);
    struct Case {
        std::string server, to, from;
        std::vector<std::string> parts;
    } cases[] = {
        {plain,
         "ops@example.com",
         "blocked@example.org",
         {"差出人アドレスを受け付けませんでした", "一時的な拒否", "(MAIL FROM)",
          "451 4.7.1 <blocked@example.org>: Sender address rejected"}},
        {plain,
         "nobody@example.com",
         "watch@example.com",
         {"送信先アドレス nobody@example.com を受け付けませんでした",
          "(RCPT TO) <nobody@example.com>", "550 5.1.1 <nobody@example.com>"}},
        {plain,
         "nobody@example.com\tsomeone@elsewhere.test",
         "watch@example.com",
         {"どの送信先アドレスも受け付けませんでした: nobody@example.com (550 5.1.1",
          "someone@elsewhere.test (554 5.7.1 <someone@elsewhere.test>: Relay access denied)"}},
        {plain,
         "ops@example.com",
         "nodata@example.org",
         {"メールを受け付けませんでした", "(DATA)", "554 5.7.1 <nodata@example.org>"}},
        {MailSystem::address(mta->heloRefusedPort),
         "ops@example.com",
         "watch@example.com",
         {"挨拶 (EHLO) で名乗ったホスト名", "Helo command rejected"}},
    };
    for (const Case& c : cases) {
        const std::string error = send(c.server, c.to, c.from).result;
        for (const std::string& part : c.parts)
            EXPECT_NE(error.find(part), std::string::npos) << part << "\n" << error;
        EXPECT_EQ(error.find("QUIT"), std::string::npos) << error;
        EXPECT_EQ(error.find("途中で切れました"), std::string::npos) << error;
    }
    // The greeting names this machine fully qualified, or by address.
    const std::string error =
        send(MailSystem::address(mta->heloRefusedPort), "ops@example.com", "watch@example.com")
            .result;
    EXPECT_TRUE(std::regex_search(error, std::regex("ホスト名 (\\[127\\.0\\.0\\.1\\]|[-A-Za-z0-9]+"
                                                    "(\\.[-A-Za-z0-9]+)+) を")))
        << error;
    EXPECT_TRUE(mta->waitForEmptyQueue());
    EXPECT_TRUE(mta->mailbox("ops").empty());
}

TEST_F(Mta, CertificateTrustPinningAndRequiredTls) {
    const std::string ca = mta->caFile().string();
    const std::string startTls = MailSystem::address(mta->startTlsPort);
    const std::string self = MailSystem::address(mta->selfSignedPort);
    const std::string serverPin = mta->serverFingerprint();
    const std::string selfPin = lower(text::replaceAll(mta->selfSignedFingerprint(), ":", ""));

    // Not trusted by the system: refused, with the fingerprint to check.
    std::string error = send(startTls, "other@example.com", "watch@example.com").result;
    EXPECT_NE(error.find("サーバー証明書を検証できませんでした"), std::string::npos) << error;
    EXPECT_NE(error.find("SHA-256 フィンガープリントは " + serverPin + " です"), std::string::npos)
        << error;
    EXPECT_NE(error.find("TlsTrustFile"), std::string::npos) << error;
    EXPECT_NE(error.find("TlsFingerprint"), std::string::npos) << error;

    // The CA in the trust file, on STARTTLS with authentication and on 465.
    EXPECT_EQ(send(startTls, "other@example.com", "watch@example.com" + kCredentials + "\tLOGIN",
                   {ca.c_str(), "", 1})
                  .result,
              "");
    if (mta->smtpsPort) {
        EXPECT_EQ(send(MailSystem::address(mta->smtpsPort), "other@example.com",
                       "watch@example.com", {ca.c_str(), "", 1})
                      .result,
                  "");
    }
    // A pin accepts the self-signed host (lower case, no colons) and refuses
    // a certificate that verifies but is another one.
    EXPECT_EQ(send(self, "other@example.com", "watch@example.com", {"", selfPin.c_str(), 1}).result,
              "");
    error =
        send(startTls, "other@example.com", "watch@example.com", {ca.c_str(), selfPin.c_str(), 0})
            .result;
    EXPECT_NE(error.find(serverPin + " が TlsFingerprint の値と一致しない"), std::string::npos)
        << error;
    error = send(self, "other@example.com", "watch@example.com", {"", "12:34", 0}).result;
    EXPECT_NE(error.find("TlsFingerprint の値 \"12:34\""), std::string::npos) << error;
    error = send(startTls, "other@example.com", "watch@example.com", {"/nonexistent/ca.pem", "", 0})
                .result;
    EXPECT_NE(error.find("TlsTrustFile の証明書ファイル /nonexistent/ca.pem が見つかりません"),
              std::string::npos)
        << error;
    const std::string notPem = (mta->caFile().parent_path() / "ca.key").string();
    error =
        send(startTls, "other@example.com", "watch@example.com", {notPem.c_str(), "", 0}).result;
    EXPECT_NE(error.find("TlsTrustFile の証明書ファイル " + notPem +
                         " を読み込めません。PEM 形式の証明書か確認してください。"),
              std::string::npos)
        << error;
    // A self-signed certificate says why it does not verify.
    error = send(self, "other@example.com", "watch@example.com").result;
    EXPECT_NE(error.find("サーバー証明書を検証できませんでした (self-signed certificate)。"
                         "サーバー証明書の SHA-256 フィンガープリントは " +
                         mta->selfSignedFingerprint()),
              std::string::npos)
        << error;

    // A password in clear is reported unless it never leaves in clear.
    const std::string plain = MailSystem::address(mta->plainPort);
    Sent sent = send(plain, "other@example.com", "watch@example.com" + kCredentials + "\tPLAIN");
    EXPECT_EQ(sent.result, "");
    EXPECT_TRUE(sent.passwordInClear);
    sent = send(plain, "other@example.com", "watch@example.com" + kCredentials + "\tCRAM-MD5");
    EXPECT_EQ(sent.result, "");
    EXPECT_FALSE(sent.passwordInClear);
    sent = send(startTls, "other@example.com", "watch@example.com" + kCredentials + "\tPLAIN",
                {ca.c_str(), "", 0});
    EXPECT_EQ(sent.result, "");
    EXPECT_FALSE(sent.passwordInClear);
    // Postfix logs a session's end after its reply: let the earlier
    // sessions' lines arrive before marking where this one begins.
    size_t before = mta->postfixLog().size();
    for (int quiet = 0; quiet < 5;) {
        std::this_thread::sleep_for(100ms);
        const size_t now = mta->postfixLog().size();
        quiet = now == before ? quiet + 1 : 0;
        before = now;
    }
    sent = send(plain, "other@example.com", "watch@example.com" + kCredentials + "\tPLAIN",
                {"", "", 1});
    EXPECT_NE(sent.result.find("TlsRequired の設定により送信しませんでした"), std::string::npos)
        << sent.result;
    EXPECT_FALSE(sent.passwordInClear);

    const size_t delivered = 5 + (mta->smtpsPort ? 1 : 0);
    EXPECT_EQ(mta->waitForMail("other", delivered).size(), delivered);
    EXPECT_TRUE(mta->waitForEmptyQueue());
    std::this_thread::sleep_for(200ms); // the disconnect line follows the reply
    const std::string log = mta->postfixLog().substr(before);
    EXPECT_NE(log.find("disconnect from"), std::string::npos) << log;
    EXPECT_EQ(log.find("auth="), std::string::npos) << log;
    EXPECT_EQ(mta->mailbox("other").size(), delivered);
}

TEST_F(Mta, PopLoginWithApopOverStls) {
    const std::string ca = mta->caFile().string();
    const BsmtpTls tls{ca.c_str(), "", 1};
    char* error = nullptr;
    BsmtpReport report{nullptr, -1, -1};
    EXPECT_EQ(RcvMailEx(MailSystem::address(mta->popPort).c_str(), MailSystem::kUser.c_str(),
                        ("a " + MailSystem::kPassword).c_str(), "STAT", "/", &tls, &error, &report),
              1)
        << error;
    BsmtpFree(error);
    BsmtpFree(report.refused);
    EXPECT_EQ(report.passwordInClear, 0);
    const std::string log = mta->dovecotLog();
    EXPECT_NE(log.find("Login: user=<" + MailSystem::kUser + ">, method=APOP"), std::string::npos)
        << log;
    EXPECT_NE(log.find(", TLS,"), std::string::npos) << log;
}

// `kestrova b` in a portable folder of its own, watching one or more folders.
class Program {
public:
    Program() {
        const char* appDir = std::getenv("KESTROVA_APP_DIR");
        if (!appDir || !*appDir)
            throw std::runtime_error("KESTROVA_APP_DIR is not set");
        fs::create_directories(app_);
        for (const char* f : {"kestrova", "libbsmtp.so", "libunlha32.so"})
            fs::copy_file(fs::path(appDir) / f, app_ / f);
        fs::create_directories(dir_.path() / "run");
    }
    ~Program() { stop(); }

    const fs::path& folder() const { return app_; }
    // The settings: SmtpServer and then any other lines.
    void settings(const std::string& smtp, const std::string& extra) {
        test::writeFile(app_ / "kestrova.ini",
                        text::encodeFile("[InitSetting]\r\nSmtpServer=" + smtp +
                                         "\r\nMailFromAddr=watch@example.com\r\n"
                                         "MailTitle=監視\r\nCheckSec=1\r\n" +
                                         extra));
    }
    // Watched folders, each with one file, mailed to the given recipients.
    void watch(const std::vector<std::string>& recipients) {
        std::string folders = "[CheckFolders]\r\n", mailTo = "[SendMailTo]\r\n",
                    modes = "[FileChkMode]\r\n";
        for (size_t i = 0; i < recipients.size(); ++i) {
            const fs::path f = dir_.path() / ("w" + std::to_string(i));
            fs::create_directories(f);
            test::writeFile(f / "new.txt", "x");
            const std::string key = std::to_string(i);
            folders += key + "=" + f.string() + "/\r\n";
            mailTo += key + "=" + recipients[i] + "\r\n";
            modes += key + "=7\r\n";
        }
        test::writeFile(app_ / "kestrovaD.ini", text::encodeFile(folders + mailTo + modes));
    }
    fs::path watched(size_t i) const { return dir_.path() / ("w" + std::to_string(i)); }

    void start() {
        process_ = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* v : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(v);
        env.insert("XDG_RUNTIME_DIR", QString::fromStdString((dir_.path() / "run").string()));
        process_->setProcessEnvironment(env);
        process_->setProcessChannelMode(QProcess::MergedChannels);
        process_->start(QString::fromStdString((app_ / "kestrova").string()), {"b"});
        if (!process_->waitForStarted(5000))
            throw std::runtime_error("kestrova b did not start");
    }
    void stop() {
        if (!process_)
            return;
        process_->terminate();
        if (!process_->waitForFinished(5000))
            process_->kill();
        process_->waitForFinished(2000);
        process_.reset();
    }
    std::string log() const { return text::decodeFile(test::readFile(app_ / "kestrova.log")); }
    size_t logCount(const std::string& part) const { return count(log(), part); }
    bool waitForLog(const std::string& part, size_t n, std::chrono::seconds timeout) const {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (logCount(part) < n) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            std::this_thread::sleep_for(100ms);
        }
        return true;
    }

private:
    test::TempDir dir_;
    fs::path app_ = dir_.path() / "app";
    std::unique_ptr<QProcess> process_;
};

const std::string kWarning = "\tMsgForm\tSendFileUpdMsg\tワーニング  \t";
const std::string kFirstTrace = "Mail送信:";

std::string password(const std::string& plain) {
    return "MailFromPass=" + CryptString(plain, -1, kCipherKey1, kCipherKey2, kCipherKey3) + "\r\n";
}

const std::string kLogin = "AuthMode=SMTP AUTH LOGIN\r\nMailFromUser=" + MailSystem::kUser +
                           "\r\n" + password(MailSystem::kPassword);

TEST_F(Mta, ProgramTrustsTheFileBesideItAndOtherwiseShowsTheFingerprint) {
    {
        Program p;
        fs::create_directories(p.folder() / "certs");
        fs::copy_file(mta->caFile(), p.folder() / "certs/社内CA.pem");
        p.settings(MailSystem::address(mta->startTlsPort),
                   kLogin + "TlsTrustFile=certs/社内CA.pem\r\n");
        p.watch({"trust@example.com"});
        p.start();
        EXPECT_EQ(mta->waitForMail("trust", 1).size(), 1u) << p.log();
        p.stop();
        EXPECT_EQ(p.logCount(kWarning), 0u) << p.log();
    }
    Program p;
    p.settings(MailSystem::address(mta->startTlsPort), kLogin);
    p.watch({"trust@example.com"});
    p.start();
    // A certificate that does not verify is not tried again at once: one
    // warning, then tries at a growing interval (1 s, 2 s, 4 s...).
    ASSERT_TRUE(p.waitForLog(kWarning, 1, 40s)) << p.log();
    std::this_thread::sleep_for(4s);
    p.stop();
    const std::string log = p.log();
    EXPECT_EQ(count(log, "サーバー証明書を検証できませんでした"), 1u) << log;
    EXPECT_EQ(count(log, "SHA-256 フィンガープリントは " + mta->serverFingerprint()), 1u) << log;
    EXPECT_LE(count(log, "Mail送信"), 4u) << log;
    EXPECT_NE(
        log.find("発行元の証明書を TlsTrustFile に指定するか、フィンガープリントを確かめてから "
                 "TlsFingerprint に設定してください。"),
        std::string::npos)
        << log;
    EXPECT_EQ(mta->mailbox("trust").size(), 1u);
}

TEST_F(Mta, ProgramDeliversToAPinnedSelfSignedHost) {
    Program p;
    p.settings(MailSystem::address(mta->selfSignedPort),
               "TlsFingerprint=" + mta->selfSignedFingerprint() + "\r\nTlsRequired=True\r\n");
    p.watch({"pin@example.com"});
    p.start();
    EXPECT_EQ(mta->waitForMail("pin", 1).size(), 1u) << p.log();
    p.stop();
    EXPECT_EQ(p.logCount(kWarning), 0u) << p.log();
}

TEST_F(Mta, ProgramWithTlsRequiredSendsNothingInClearAndWarnsOnceWithout) {
    const std::string plain = MailSystem::address(mta->plainPort);
    const std::string auth = "AuthMode=SMTP AUTH PLAIN\r\nMailFromUser=" + MailSystem::kUser +
                             "\r\n" + password(MailSystem::kPassword);
    {
        const size_t before = mta->postfixLog().size();
        Program p;
        p.settings(plain, auth + "TlsRequired=True\r\n");
        p.watch({"clear@example.com"});
        p.start();
        ASSERT_TRUE(p.waitForLog(kWarning, 5, 40s)) << p.log();
        p.stop();
        EXPECT_GE(
            p.logCount("TlsRequired の設定により送信しませんでした。パスワードは送っていません。"),
            5u)
            << p.log();
        std::this_thread::sleep_for(300ms);
        const std::string log = mta->postfixLog().substr(before);
        EXPECT_GE(count(log, "disconnect from"), 5u) << log;
        EXPECT_EQ(log.find("auth="), std::string::npos) << log;
        EXPECT_TRUE(mta->mailbox("clear").empty());
    }
    // Without it two mails of one run go out, with one warning for the run.
    Program p;
    p.settings(plain, auth);
    p.watch({"clear@example.com", "team@example.com"});
    p.start();
    EXPECT_EQ(mta->waitForMail("clear", 1).size(), 1u) << p.log();
    EXPECT_EQ(mta->waitForMail("team", 1).size(), 1u) << p.log();
    std::this_thread::sleep_for(1500ms);
    p.stop();
    EXPECT_EQ(p.logCount(kWarning), 1u) << p.log();
    EXPECT_EQ(p.logCount("パスワードが暗号化されない接続で SMTP サーバー " + plain +
                         " に送られました。TlsRequired を True にすると"),
              1u)
        << p.log();
}

TEST_F(Mta, ProgramDeliversToTheAcceptedRecipientsOnceAndWarnsPerPass) {
    Program p;
    p.settings(MailSystem::address(mta->plainPort), "");
    // Two mails of the first pass share a refused address: one warning.
    p.watch({"part@example.com,nobody@example.com,someone@elsewhere.test",
             "part2@example.com,nobody@example.com"});
    p.start();
    ASSERT_EQ(mta->waitForMail("part", 1).size(), 1u) << p.log();
    ASSERT_EQ(mta->waitForMail("part2", 1).size(), 1u) << p.log();
    // Later passes find nothing new: no second mail, no retry.
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(mta->mailbox("part").size(), 1u);
    EXPECT_EQ(mta->mailbox("part2").size(), 1u);
    EXPECT_EQ(p.logCount(kFirstTrace), 2u) << p.log();
    EXPECT_EQ(p.logCount("Mail送信(2):"), 0u) << p.log();
    const std::string nobody =
        "送信先 nobody@example.com はサーバーに受け付けられませんでした (550 "
        "5.1.1 <nobody@example.com>: Recipient address rejected";
    const std::string relay = "送信先 someone@elsewhere.test はサーバーに受け付けられませんでした "
                              "(554 5.7.1 <someone@elsewhere.test>: Relay access denied)。ほかの"
                              "送信先には送信しました。";
    EXPECT_EQ(p.logCount(nobody), 1u) << p.log();
    EXPECT_EQ(p.logCount(relay), 1u) << p.log();

    // The next change is a new pass: mailed once more, warned once more.
    test::writeFile(p.watched(0) / "second.txt", "y");
    EXPECT_EQ(mta->waitForMail("part", 2).size(), 2u) << p.log();
    ASSERT_TRUE(p.waitForLog(nobody, 2, 10s)) << p.log();
    std::this_thread::sleep_for(1500ms);
    p.stop();
    EXPECT_EQ(mta->mailbox("part").size(), 2u);
    EXPECT_EQ(mta->mailbox("part2").size(), 1u);
    EXPECT_EQ(p.logCount(nobody), 2u) << p.log();
    EXPECT_EQ(p.logCount(kWarning), 4u) << p.log();
}

TEST_F(Mta, ProgramLogsInToPopWithApopOverStlsBeforeSending) {
    Program p;
    p.settings(MailSystem::address(mta->startTlsPort),
               "AuthMode=POP before SMTP\r\nPopServer=127.0.0.1:" + std::to_string(mta->popPort) +
                   "\r\nAPopMode=True\r\nMailFromUser=" + MailSystem::kUser + "\r\n" +
                   password(MailSystem::kPassword) + "TlsTrustFile=" + mta->caFile().string() +
                   "\r\nTlsRequired=True\r\n");
    p.watch({"pop@example.com"});
    const size_t before = mta->dovecotLog().size();
    p.start();
    EXPECT_EQ(mta->waitForMail("pop", 1).size(), 1u) << p.log();
    p.stop();
    EXPECT_EQ(p.logCount(kWarning), 0u) << p.log();
    const std::string log = mta->dovecotLog().substr(before);
    EXPECT_NE(log.find("Login: user=<" + MailSystem::kUser + ">, method=APOP"), std::string::npos)
        << log;
    EXPECT_NE(log.find(", TLS,"), std::string::npos) << log;
}

} // namespace
} // namespace kestrova
