// The check cycle and one whole pass: dispatch by recipient, commit or
// reload, the Temp folder, the due test and the lock, with mail going to a
// real SMTP server on loopback.
#include "core/App.h"
#include "core/NamedLock.h"
#include "core/Text.h"
#include "cycle/CheckCycle.h"

#include "TestServers.h"
#include "support/TestClock.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>

namespace kestrova {
namespace {

namespace fs = std::filesystem;
using test::ParsedMail;
using test::SmtpServer;

constexpr std::int32_t kAll = NotifyDelete | NotifyUpdate | NotifyNew;
const long long T0 = static_cast<long long>(std::time(nullptr)) - 7200;

void setMtime(const std::string& path, long long unixSeconds) {
    struct timespec times[2] = {{unixSeconds, 0}, {unixSeconds, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

std::string when(long long unixSeconds) {
    return formatDateTime(fromUnix(unixSeconds));
}

// One process-wide event loop object and a lock folder of our own, so that
// tests running side by side never share "Kestrova3333".
class Environment : public ::testing::Environment {
public:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "watch_cycle_test";
        static char* argv[] = {name, nullptr};
        if (!QCoreApplication::instance()) // one per program
            app_ = std::make_unique<QCoreApplication>(argc, argv);
        lockDir_ = std::make_unique<test::TempDir>();
        ::setenv("XDG_RUNTIME_DIR", lockDir_->path().c_str(), 1);
    }
    void TearDown() override {
        lockDir_.reset();
        app_.reset();
    }

private:
    std::unique_ptr<QCoreApplication> app_;
    std::unique_ptr<test::TempDir> lockDir_;
};
[[maybe_unused]] const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new Environment);

class Cycle : public ::testing::Test {
protected:
    Cycle() {
        const char* appDir = std::getenv("KESTROVA_APP_DIR");
        AppSettings& s = app.settings;
        s.Interactive = false;
        app.programDir = appDir ? appDir : "";
        app.baseName = "kestrova";
        s.SettingsFile = path("kestrova.ini");
        s.WatchListFile = path("kestrovaD.ini");
        s.TempFolder = path("Temp");
        ::mkdir(s.TempFolder.c_str(), 0700);
        s.AppTitle = "ケストロバ(Ver.1.00)";
        s.ComputerName = "testhost";
        app.log.setBasePath(path("kestrova"));
        app.log.interactive = false;
        app.log.title = s.AppTitle;
        app.log.messageBox = [this](const MessageBoxRequest& r) {
            boxes.push_back(r);
            return 1;
        };
        ::mkdir(path("w").c_str(), 0755);
        auto testClock = std::make_unique<test::TestClock>();
        clock = testClock.get();
        app.clock = std::move(testClock);
    }

    std::string path(const std::string& name) const { return (dir.path() / name).string(); }

    void writeSettings(const std::string& smtp, const std::string& extra = "") {
        test::writeFile(
            path("kestrova.ini"),
            text::encodeFile("[InitSetting]\r\nSmtpServer=" + smtp +
                             "\r\nMailFromAddr=watch@example.com\r\nMailTitle="
                             "更新通知\r\nMailMsg=変更がありました。\r\nCheckSec=1\r\n" +
                             extra));
    }
    // A folder below w/ with one file, and its entry.
    WatchEntry folderEntry(const std::string& name, const std::string& mailTo,
                           std::int32_t mode = kAll) {
        std::string folder = path("w/" + name) + "/";
        ::mkdir(folder.c_str(), 0755);
        test::writeFile(folder + "f", name);
        setMtime(folder + "f", T0);
        WatchEntry e;
        e.CheckFolder = folder;
        e.SendMailTo = mailTo;
        e.FileChkMode = mode;
        return e;
    }
    void writeList(const std::vector<WatchEntry>& list) {
        test::writeFile(path("kestrovaD.ini"), text::encodeFile(watchListText(list)));
    }
    std::string listFile() const { return test::readFile(path("kestrovaD.ini")); }
    std::string addLine(const WatchEntry& e) const {
        return "追加 testhost " + e.CheckFolder + "f " + when(T0) + "\r\n";
    }
    void pass(CheckCycle& cycle) {
        int before = finished;
        cycle.FolderCheckSub();
        EXPECT_EQ(finished, before + 1);
    }
    std::unique_ptr<CheckCycle> makeCycle() {
        auto cycle = std::make_unique<CheckCycle>(app);
        QObject::connect(cycle.get(), &CheckCycle::passFinished, [this] { ++finished; });
        return cycle;
    }
    std::vector<ParsedMail> mails(const SmtpServer& smtp, size_t count) {
        std::vector<ParsedMail> out;
        for (const fs::path& p : smtp.waitForMessages(count))
            out.push_back(test::parseEml(p));
        EXPECT_EQ(out.size(), count);
        return out;
    }
    bool logHas(const std::string& part) const {
        return test::readFile(app.log.logFile()).find(part) != std::string::npos;
    }

    test::TempDir dir;
    App app;
    test::TestClock* clock = nullptr; // app's: waits return at once
    std::vector<MessageBoxRequest> boxes;
    int finished = 0;
};

const std::string kHead = "変更がありました。\r\n＜更新一覧＞\r\n";

std::string crlf(std::string s) {
    return text::replaceAll(text::replaceAll(s, "\r\n", "\n"), "\n", "\r\n");
}

TEST_F(Cycle, PlainEntriesGroupPerRecipientAndAttachmentsGoAlone) {
    SmtpServer smtp;
    writeSettings(smtp.address());
    WatchEntry a = folderEntry("a", "x@example.com");
    WatchEntry b = folderEntry("b", "y@example.com");
    WatchEntry c = folderEntry("c", "x@example.com");
    WatchEntry d = folderEntry("d", "x@example.com", kAll | AttachFiles);
    WatchEntry e = folderEntry("e", "x@example.com");
    writeList({a, b, c, d, e});
    test::writeFile(path("Temp/left-over"), "x");
    ::mkdir(path("Temp/sub").c_str(), 0700);

    auto cycle = makeCycle();
    pass(*cycle);
    // A pause after each mail that went out; the attachment waits for its
    // writer to finish first.
    EXPECT_EQ(clock->waits, (std::vector<int>{500, 500, 3000, 500}));
    auto got = mails(smtp, 3);
    ASSERT_EQ(got.size(), 3u);
    // Entry order: a with c and e (same recipient), then b, then d alone.
    EXPECT_EQ(got[0].to, std::vector<std::string>{"x@example.com"});
    EXPECT_EQ(got[0].subject, "更新通知");
    EXPECT_EQ(crlf(got[0].body), kHead + addLine(a) + addLine(c) + addLine(e));
    EXPECT_EQ(got[0].attachmentCount, 0);
    EXPECT_EQ(got[1].to, std::vector<std::string>{"y@example.com"});
    EXPECT_EQ(crlf(got[1].body), kHead + addLine(b));
    EXPECT_EQ(crlf(got[2].body), kHead + addLine(d));
    EXPECT_EQ(got[2].attachmentCount, 1);
    EXPECT_EQ(got[2].attachmentName, "d.lzh");

    // Committed: the records are in the file; the Temp folder's files are
    // gone, its subfolder stays.
    std::string stored = text::decodeFile(listFile());
    EXPECT_NE(stored.find(c.CheckFolder + "f"), std::string::npos);
    EXPECT_NE(stored.find(when(T0)), std::string::npos);
    EXPECT_FALSE(fs::exists(path("Temp/left-over")));
    EXPECT_FALSE(fs::exists(path("Temp/d.lzh")));
    EXPECT_TRUE(fs::is_directory(path("Temp/sub")));

    // Nothing new: no mail.
    pass(*cycle);
    EXPECT_EQ(smtp.messages().size(), 3u);
}

TEST_F(Cycle, MessageOnlyOrBodyFromFileAndItsFallback) {
    SmtpServer smtp;
    writeSettings(smtp.address(), "MailFListAdd=False\r\n");
    std::string full = path("w/full.txt"), empty = path("w/empty.txt");
    test::writeFile(full, "\r\nfirst\r\nsecond\r\nthird\r\n");
    test::writeFile(empty, "");
    WatchEntry f, g;
    f.CheckFolder = full;
    g.CheckFolder = empty;
    f.SendMailTo = g.SendMailTo = "z@example.com";
    f.FileChkMode = g.FileChkMode = kAll | BodyFromFile;
    f.MailBdLines = "2";
    g.MailBdLines = "2";
    f.CheckFiles = {{full, when(T0)}};
    g.CheckFiles = {{empty, when(T0)}};
    WatchEntry plain = folderEntry("p", "z@example.com");
    writeList({f, g, plain});

    auto cycle = makeCycle();
    pass(*cycle);
    auto got = mails(smtp, 3);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(crlf(got[0].body), "first\r\nsecond\r\n");
    // The empty file falls back to the standard message, which without the
    // list is the message text alone.
    EXPECT_EQ(crlf(got[1].body), "変更がありました。");
    EXPECT_EQ(crlf(got[2].body), "変更がありました。");
}

TEST_F(Cycle, EveryMailFailedIsNotCommittedAndComesAgain) {
    SmtpServer smtp({.refuseFirst = 5});
    writeSettings(smtp.address());
    WatchEntry a = folderEntry("a", "x@example.com");
    writeList({a});
    const std::string before = listFile();

    auto cycle = makeCycle();
    pass(*cycle);
    EXPECT_TRUE(smtp.messages().empty());
    EXPECT_EQ(listFile(), before);
    EXPECT_TRUE(app.watchList[0].CheckFiles.empty()); // memory reloaded too

    pass(*cycle);
    auto got = mails(smtp, 1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(crlf(got[0].body), kHead + addLine(a));
    EXPECT_NE(listFile(), before);
    pass(*cycle);
    EXPECT_EQ(smtp.messages().size(), 1u);
    EXPECT_TRUE(boxes.empty());
}

TEST_F(Cycle, OneMailSentCommitsItsEntryTheFailedOneComesAgain) {
    SmtpServer smtp({.refuseFirst = 5});
    writeSettings(smtp.address());
    WatchEntry a = folderEntry("a", "x@example.com");
    WatchEntry b = folderEntry("b", "y@example.com");
    writeList({a, b});

    auto cycle = makeCycle();
    pass(*cycle);
    auto got = mails(smtp, 1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].to, std::vector<std::string>{"y@example.com"});
    std::string stored = text::decodeFile(listFile());
    EXPECT_EQ(stored.find(a.CheckFolder + "f"), std::string::npos);
    EXPECT_NE(stored.find(b.CheckFolder + "f"), std::string::npos);
    // The failed mail's changes are not lost: they go out at the next pass,
    // and the delivered ones not again.
    pass(*cycle);
    got = mails(smtp, 2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].to, std::vector<std::string>{"x@example.com"});
    pass(*cycle);
    EXPECT_EQ(smtp.messages().size(), 2u);
}

TEST_F(Cycle, FailedPassWritesNothingAndKeepsTemp) {
    writeSettings("127.0.0.1:1");
    WatchEntry a = folderEntry("a", "x@example.com");
    a.CheckFiles = {{a.CheckFolder + "f", "someday"}};
    writeList({a});
    const std::string before = listFile();
    const std::string settingsBefore = test::readFile(path("kestrova.ini"));
    test::writeFile(path("Temp/keep"), "x");

    auto cycle = makeCycle();
    pass(*cycle);
    EXPECT_EQ(listFile(), before);
    EXPECT_EQ(test::readFile(path("kestrova.ini")), settingsBefore);
    EXPECT_TRUE(fs::exists(path("Temp/keep")));
    EXPECT_TRUE(logHas("\tMsgForm\tFolderCheckSub\t"));
    EXPECT_TRUE(boxes.empty());

    // A removed Temp folder is made again at the next pass, said once.
    a.CheckFiles.clear();
    a.SendMailTo = kMessageDisplay; // not scanned in this run: no mail
    writeList({a});
    fs::remove_all(path("Temp"));
    pass(*cycle);
    EXPECT_TRUE(fs::is_directory(path("Temp")));
    fs::remove_all(path("Temp"));
    pass(*cycle);
    EXPECT_TRUE(fs::is_directory(path("Temp")));
    std::string log = text::decodeFile(test::readFile(app.log.logFile()));
    size_t first = log.find(path("Temp") + ": ");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(log.find(path("Temp") + ": ", first + 1), std::string::npos);
}

TEST_F(Cycle, DueTestCheckSecRereadAndTheLock) {
    writeSettings("127.0.0.1:1", "");
    writeList({});
    auto cycle = makeCycle();
    EXPECT_EQ(cycle->LastCheckTime, 0); // a run without windows checks at once
    DateTime& clock = this->clock->wall;
    clock = fromUnix(T0);
    app.settings.CheckSec = "10";

    cycle->LastCheckTime = clock;
    cycle->LastCheckSecRead = clock;
    clock += 9;
    cycle->FolderCheckTimer_Timer();
    EXPECT_EQ(finished, 0);
    clock += 1;
    cycle->FolderCheckTimer_Timer();
    EXPECT_EQ(finished, 1);
    EXPECT_EQ(cycle->LastCheckTime, clock);
    EXPECT_EQ(cycle->FolderCheckTimer.interval(), 1000);

    // Another holder of the lock: poll every 300 ms, LastCheckTime kept.
    {
        NamedLock other;
        std::string error;
        ASSERT_TRUE(other.tryAcquire("Kestrova3333", error)) << error;
        clock += 10;
        cycle->FolderCheckTimer_Timer();
        EXPECT_EQ(finished, 1);
        EXPECT_EQ(cycle->FolderCheckTimer.interval(), 300);
        EXPECT_EQ(cycle->LastCheckTime, clock - 10);
    }
    cycle->FolderCheckTimer_Timer();
    EXPECT_EQ(finished, 2);
    EXPECT_EQ(cycle->FolderCheckTimer.interval(), 1000);
    EXPECT_FALSE(cycle->Checking);

    // A clock set back restarts the wait instead of stalling it.
    clock -= 3600;
    cycle->FolderCheckTimer_Timer();
    EXPECT_EQ(cycle->LastCheckTime, clock);
    clock += 10;
    cycle->FolderCheckTimer_Timer();
    EXPECT_EQ(finished, 3);

    // Without windows "CheckSec" is read again every 60 s while idle; a
    // value that is no positive number becomes "10".
    writeSettings("127.0.0.1:1", "");
    test::writeFile(path("kestrova.ini"), text::encodeFile("[InitSetting]\r\nCheckSec=abc\r\n"));
    app.settings.CheckSec = "30";
    cycle->LastCheckTime = clock;
    cycle->LastCheckSecRead = clock - 58;
    clock += 1;
    cycle->FolderCheckTimer_Timer();
    EXPECT_EQ(app.settings.CheckSec, "30");
    clock += 1;
    cycle->FolderCheckTimer_Timer();
    EXPECT_EQ(app.settings.CheckSec, "10");
    EXPECT_EQ(cycle->LastCheckSecRead, clock);
    test::writeFile(path("kestrova.ini"), "[InitSetting]\r\nCheckSec=7\r\n");
    clock += 60;
    cycle->LastCheckTime = clock;
    cycle->FolderCheckTimer_Timer();
    EXPECT_EQ(app.settings.CheckSec, "7");
    EXPECT_EQ(finished, 3);
}

TEST_F(Cycle, InteractiveRunWaitsAFullIntervalFirst) {
    app.settings.Interactive = true;
    DateTime before = nowDateTime();
    auto cycle = makeCycle();
    EXPECT_GE(cycle->LastCheckTime, before);
    EXPECT_LE(cycle->LastCheckTime, nowDateTime());
    // The constructor wired the timer to the tick.
    app.settings.CheckSec = "1";
    writeSettings("127.0.0.1:1", "");
    writeList({});
    cycle->FolderCheckTimer.start();
    for (int i = 0; i < 40 && finished == 0; ++i)
        My_Sleep(100);
    EXPECT_EQ(finished, 1);
}

// The 60-second re-read of a run without windows keeps very large and very
// small intervals as the numbers they are.
TEST_F(Cycle, CheckSecRereadKeepsLargeAndSmallValues) {
    writeList({});
    auto cycle = makeCycle();
    DateTime& clock = this->clock->wall;
    clock = fromUnix(T0);
    for (const char* stored : {"100000000000000000000", "0.0001"}) {
        test::writeFile(path("kestrova.ini"),
                        std::string("[InitSetting]\r\nCheckSec=") + stored + "\r\n");
        // Large enough that no pass comes due while the value is re-read.
        app.settings.CheckSec = "100000000000000000000";
        cycle->LastCheckTime = clock;
        cycle->LastCheckSecRead = clock - 60;
        cycle->FolderCheckTimer_Timer();
        EXPECT_EQ(app.settings.CheckSec, stored);
        EXPECT_EQ(cycle->LastCheckSecRead, clock);
        clock += 1;
    }
    EXPECT_EQ(finished, 0);
    cycle->FolderCheckTimer_Timer(); // 0.0001 s: due at the next tick
    EXPECT_EQ(finished, 1);
}

} // namespace
} // namespace kestrova
