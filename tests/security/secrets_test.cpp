// Secrets and private files: the mail password never shows in a log line or
// an error window, the settings file is private to its owner, and the lock
// file cannot be turned into a write to somebody else's file.
#include "reliability/PassHarness.h"

#include "TestServers.h"
#include "core/NamedLock.h"
#include "core/Settings.h"
#include "notify/Notifier.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace kestrova {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
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

    // Without XDG_RUNTIME_DIR the lock lives in a folder of this user only.
    ::unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(NamedLock::lockPath("Kestrova3333"),
              "/tmp/kestrova-" + std::to_string(::getuid()) + "/Kestrova3333.lock");
}

// Without XDG_RUNTIME_DIR (cron, su, a system unit): a lock folder another
// user made or opened to all is refused with one warning, and a file
// planted under the name /tmp once used stops nothing.
TEST(LockFolder, APlantedFolderIsRefusedAndAPlantedOldLockIsIgnored) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "planting another user's folder needs root";
    const std::string uid = std::to_string(::getuid());
    const std::string folder = "/tmp/kestrova-" + uid, old = "/tmp/Kestrova3333-" + uid + ".lock";
    ::mkdir(folder.c_str(), 0700);
    ASSERT_EQ(::chmod(folder.c_str(), 0777), 0);
    const bool planted = !fs::exists(old);
    if (planted) {
        test::writeFile(old, "");
        ASSERT_EQ(::chown(old.c_str(), 65534, 65534), 0);
    }
    test::SmtpServer smtp;
    test::TempDir dir;
    test::RealProgram program(dir / "app");
    const std::string watched = test::watchFolder(program, dir, smtp.address());
    test::writeFile(watched + "a", "a");
    program.start("");
    std::this_thread::sleep_for(1500ms); // a pass or more
    EXPECT_TRUE(smtp.messages().empty());
    ASSERT_EQ(::chmod(folder.c_str(), 0700), 0);
    ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
    std::this_thread::sleep_for(1500ms); // a pass or more
    EXPECT_TRUE(smtp.messages().empty());
    ASSERT_EQ(::chown(folder.c_str(), ::getuid(), ::getgid()), 0);
    EXPECT_EQ(smtp.waitForMessages(1).size(), 1u);
    program.stop();
    if (planted)
        fs::remove(old);
    EXPECT_EQ(test::PassHarness::countIn(program.log(), folder + ": "), 1u) << program.log();
    EXPECT_EQ(modeOf(folder), 0700u);
}

// The log is private from its first line; a rewrite keeps the mode (and the
// owner) the file has, and a link to an INI file stays a link.
TEST(PrivateFiles, LogsStartPrivateAndRewritesKeepModeOwnerAndLinks) {
    PassHarness h;
    App& app = h.app();
    const std::string log = app.log.logFile();
    app.log.WriteLog(0, LogWarning, "MsgForm", "FolderCheckSub", "first");
    EXPECT_EQ(modeOf(log), 0600u);
    ASSERT_EQ(::chmod(log.c_str(), 0640), 0);
    // A line CP932 cannot hold turns the whole file to UTF-8: a rewrite.
    app.log.WriteLog(0, LogWarning, "MsgForm", "FolderCheckSub", "絵文字 😀");
    EXPECT_NE(test::readFile(log).find("😀"), std::string::npos);
    EXPECT_EQ(modeOf(log), 0640u);

    WatchEntry e = h.folderEntry("a", "x@example.com");
    app.watchList = {e};
    ASSERT_TRUE(WriteIni(app));
    const std::string list = h.fx.watchListFile(), settings = h.fx.settingsFile();
    ASSERT_EQ(::chmod(list.c_str(), 0600), 0);
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(list.c_str(), 65534, 65534), 0);
    }
    app.watchList[0].SendMailTo = "y@example.com";
    ASSERT_TRUE(WriteIni(app));
    struct stat st {};
    ASSERT_EQ(::stat(list.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    if (::geteuid() == 0) {
        EXPECT_EQ(st.st_uid, 65534u);
    }
    ASSERT_EQ(::chown(list.c_str(), ::getuid(), ::getgid()), 0);

    // Dotfiles: both files are links into another folder, one relative.
    test::TempDir dots;
    fs::rename(list, dots / "list.ini");
    fs::rename(settings, dots / "settings.ini");
    fs::create_symlink(dots / "list.ini", list);
    fs::create_symlink(fs::relative(dots / "settings.ini", fs::path(settings).parent_path()),
                       settings);
    app.watchList[0].SendMailTo = "z@example.com";
    app.settings.MailTitle = "リンク先";
    ASSERT_TRUE(WriteIni(app));
    EXPECT_TRUE(fs::is_symlink(list));
    EXPECT_TRUE(fs::is_symlink(settings));
    EXPECT_EQ(modeOf(dots / "list.ini"), 0600u);
    EXPECT_EQ(modeOf(dots / "settings.ini"), 0600u);
    app.watchList.clear();
    ASSERT_TRUE(ReadIni(app));
    ASSERT_EQ(app.watchList.size(), 1u);
    EXPECT_EQ(app.watchList[0].SendMailTo, "z@example.com");
    EXPECT_EQ(app.settings.MailTitle, "リンク先");
    size_t files = 0;
    for ([[maybe_unused]] const auto& f : fs::directory_iterator(dots.path()))
        ++files;
    EXPECT_EQ(files, 2u); // no temporary file left beside the targets
}

} // namespace
} // namespace kestrova
