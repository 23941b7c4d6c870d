// Secrets and private files: the mail password never shows in a log line or
// an error window, the settings file is private to its owner, and the lock
// file cannot be turned into a write to somebody else's file.
#include "reliability/PassHarness.h"

#include "TestServers.h"
#include "core/NamedLock.h"
#include "core/Settings.h"
#include "notify/Notifier.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrova {
namespace {

namespace fs = std::filesystem;
using test::PassHarness;

const std::string kPassword = "Pw-s3cr3t-ﾊﾟｽ";

mode_t modeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

// Every way a login can fail: wrong password (SMTP AUTH), an unusable
// sender address next to the credentials, and a POP login refused.
TEST(Secrets, PasswordNeverInTheLogOrTheErrorWindow) {
    test::SmtpServer smtp({.auth = "LOGIN", .password = "other"});
    test::Pop3Server pop;
    PassHarness h(true);
    AppSettings& s = h.app().settings;
    s.SmtpServer = smtp.address();
    s.AuthMode = "SMTP AUTH LOGIN";
    s.MailFromUser = "sender";
    s.MailFromPass = kPassword;
    s.MailFromName = "監視";
    s.MailFromAddr = "watch@example.com";
    s.MailTitle = "通知";
    PassState pass;
    EXPECT_FALSE(SendFileUpdMsg(h.app(), pass, "x@example.com", "本文", ""));

    // (A refused login holds later mails back: each case starts afresh.)
    h.app().loginBackoff = {};
    s.MailFromAddr = "not an address";
    EXPECT_FALSE(SendFileUpdMsg(h.app(), pass, "x@example.com", "本文", ""));
    s.MailFromAddr = "watch@example.com";

    s.AuthMode = "POP before SMTP";
    s.PopServer = pop.address();
    s.MailFromUser = pop.user();
    s.APopMode = true;
    PassState popPass;
    h.app().loginBackoff = {};
    EXPECT_FALSE(SendFileUpdMsg(h.app(), popPass, "x@example.com", "本文", ""));

    // A refused login is tried once; the bad address five times.
    const std::string log = h.log();
    EXPECT_GE(h.logCount("\tワーニング  \t"), 8u) << log;
    EXPECT_EQ(log.find(kPassword), std::string::npos) << log;
    EXPECT_EQ(log.find("s3cr3t"), std::string::npos) << log;
    const std::string& window = h.app().message.text;
    EXPECT_NE(window.find("PASSWORD    :" + std::string(13, '*') + "\r\n"), std::string::npos)
        << window;
    EXPECT_EQ(window.find("s3cr3t"), std::string::npos) << window;
    for (const MessageBoxRequest& box : h.fx.boxes)
        EXPECT_EQ(box.text.find("s3cr3t"), std::string::npos) << box.text;

    // Stored enciphered, never in plain text.
    ASSERT_TRUE(WriteIni(h.app()));
    EXPECT_EQ(test::readFile(h.fx.settingsFile()).find("s3cr3t"), std::string::npos);
}

TEST(Secrets, SettingsFileIsPrivateWhoeverMadeIt) {
    PassHarness h(true);
    App& app = h.app();
    app.settings.MailFromPass = kPassword;
    ASSERT_TRUE(WriteIni(app));
    EXPECT_EQ(modeOf(h.fx.settingsFile()), 0600u);

    // A file copied in with open permissions is made private by the next
    // write, and by a window-position write alone.
    ::chmod(h.fx.settingsFile().c_str(), 0644);
    ASSERT_TRUE(WriteIni(app));
    EXPECT_EQ(modeOf(h.fx.settingsFile()), 0600u);
    ::chmod(h.fx.settingsFile().c_str(), 0666);
    ASSERT_TRUE(WriteIniValue(app, "MainForm", "Left", "100", h.fx.settingsFile()));
    EXPECT_EQ(modeOf(h.fx.settingsFile()), 0600u);
    fs::remove(h.fx.settingsFile());
    ASSERT_TRUE(WriteIniValue(app, "MainForm", "Left", "100", h.fx.settingsFile()));
    EXPECT_EQ(modeOf(h.fx.settingsFile()), 0600u);
}

class LockFile : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = std::getenv("XDG_RUNTIME_DIR") ? std::getenv("XDG_RUNTIME_DIR") : "";
        ::setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
        lock = NamedLock::lockPath("Kestrova3333");
        ASSERT_EQ(lock, runtime / "Kestrova3333.lock");
    }
    void TearDown() override { ::setenv("XDG_RUNTIME_DIR", saved_.c_str(), 1); }

    test::TempDir runtime;
    test::TempDir elsewhere;
    std::string lock;
    std::string saved_;
};

TEST_F(LockFile, ASymbolicLinkAtTheLockPathIsNotFollowed) {
    const std::string victim = elsewhere / "victim";
    test::writeFile(victim, "precious");
    ::chmod(victim.c_str(), 0644);
    fs::create_symlink(victim, lock);
    NamedLock l;
    std::string error;
    EXPECT_FALSE(l.tryAcquire("Kestrova3333", error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(test::readFile(victim), "precious");
    EXPECT_EQ(modeOf(victim), 0644u);

    // A link to a file that does not exist yet must not create it.
    fs::remove(lock);
    const std::string planted = elsewhere / "planted";
    fs::create_symlink(planted, lock);
    EXPECT_FALSE(l.tryAcquire("Kestrova3333", error));
    EXPECT_FALSE(fs::exists(planted));
    EXPECT_FALSE(l.held());
}

TEST_F(LockFile, OnlyAPrivateRegularFileOfThisUserServes) {
    // A fifo or a file of another user at the lock path is refused.
    ASSERT_EQ(::mkfifo(lock.c_str(), 0600), 0);
    NamedLock l;
    std::string error;
    EXPECT_FALSE(l.tryAcquire("Kestrova3333", error));
    fs::remove(lock);
    if (::geteuid() == 0) {
        test::writeFile(lock, "");
        ASSERT_EQ(::chown(lock.c_str(), 12345, 12345), 0);
        EXPECT_FALSE(l.tryAcquire("Kestrova3333", error));
        EXPECT_FALSE(error.empty());
        fs::remove(lock);
    }
    // Made fresh: mode 0600, and it works.
    ASSERT_TRUE(l.tryAcquire("Kestrova3333", error)) << error;
    EXPECT_EQ(modeOf(lock), 0600u);

    // Without XDG_RUNTIME_DIR the shared /tmp name carries the user id.
    ::unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(NamedLock::lockPath("Kestrova3333"),
              "/tmp/Kestrova3333-" + std::to_string(::getuid()) + ".lock");
}

} // namespace
} // namespace kestrova
