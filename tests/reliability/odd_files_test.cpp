// Whole passes over what Linux allows and a Windows folder never holds:
// paths deeper than the INI value limit, named pipes and devices. Each
// change is mailed once, nothing blocks, nothing is read without bound.
#include "reliability/PassHarness.h"

#include "TestServers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace kestrova {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::PassHarness;
using test::SmtpServer;

const std::string kWarning = "\tワーニング  \t";

std::string mailBody(const fs::path& eml) {
    return test::crlf(test::parseEml(eml).body);
}

// A folder below base whose full path is at least width CP932 bytes long.
std::string deepFolder(const std::string& base, int width) {
    std::string p = base;
    for (int i = 0; text::width(p) < width; ++i)
        p += "/階層" + std::to_string(i) + std::string(20, 'd');
    fs::create_directories(p);
    return p + "/";
}

TEST(OddFiles, PathsPastTheValueLimitAreMailedOnce) {
    PassHarness h;
    SmtpServer smtp;
    h.writeSettings(smtp.address());
    // Entry a stays below the limit but its items do not; entry b is past
    // it itself.
    WatchEntry a, b;
    a.CheckFolder = deepFolder(h.path("w/a"), 990);
    ASSERT_LT(text::width(a.CheckFolder), 1023);
    a.SendMailTo = "a@example.com";
    a.FileChkMode = NotifyDelete | NotifyUpdate | NotifyNew;
    b = a;
    b.CheckFolder = deepFolder(h.path("w/b"), 2000);
    b.SendMailTo = "b@example.com";
    ASSERT_LT(text::width(b.CheckFolder), 4000);
    const std::string itemA = a.CheckFolder + std::string(60, 'n') + ".txt";
    const std::string itemB = b.CheckFolder + "深い.txt";
    for (const std::string& item : {itemA, itemB}) {
        test::writeFile(item, "x");
        test::setMtime(item, test::kT0);
    }
    ASSERT_GT(text::width(itemA), 1023);
    h.writeList({a, b});

    for (int i = 0; i < 3; ++i)
        h.pass();
    auto got = smtp.waitForMessages(2);
    std::this_thread::sleep_for(300ms);
    got = smtp.messages();
    ASSERT_EQ(got.size(), 2u) << h.log();
    EXPECT_NE(
        mailBody(got[0]).find("追加 testhost " + itemA + " " + test::when(test::kT0) + "\r\n"),
        std::string::npos)
        << mailBody(got[0]);
    EXPECT_NE(
        mailBody(got[1]).find("追加 testhost " + itemB + " " + test::when(test::kT0) + "\r\n"),
        std::string::npos)
        << mailBody(got[1]);

    // Changed later, such an item is an update like any other.
    test::setMtime(itemA, test::kT0 + 60);
    h.pass();
    h.pass();
    got = smtp.waitForMessages(3);
    std::this_thread::sleep_for(300ms);
    got = smtp.messages();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_NE(mailBody(got[2]).find("更新 testhost " + itemA + " " + test::when(test::kT0 + 60)),
              std::string::npos)
        << mailBody(got[2]);
    EXPECT_EQ(mailBody(got[2]).find("削除"), std::string::npos);
}

// Opens the pipe for writing whenever a reader waits on it, for a while,
// so that a pass blocked on it is let go and the test can report it.
void feedPipe(const std::string& fifo, std::chrono::seconds forHowLong,
              const std::atomic<bool>& stop) {
    auto end = std::chrono::steady_clock::now() + forHowLong;
    while (!stop && std::chrono::steady_clock::now() < end) {
        int w = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (w >= 0) {
            ssize_t r = ::write(w, "piped\n", 6);
            (void)r;
            ::close(w);
        }
        std::this_thread::sleep_for(50ms);
    }
}

TEST(OddFiles, PipesAndDevicesAreMailedWithoutTextOrAttachment) {
    PassHarness h;
    SmtpServer smtp;
    h.writeSettings(smtp.address());
    const std::string fifo = h.path("w/pipe");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // A file entry on the pipe asking for its text and the file itself, one
    // on /dev/zero asking for its text and an archive of it, and a folder
    // holding a pipe beside a file, archived.
    WatchEntry pipe, zero, folder;
    pipe.CheckFolder = fifo;
    pipe.SendMailTo = "pipe@example.com";
    pipe.FileChkMode = NotifyUpdate | BodyFromFile | AttachFiles;
    pipe.MailBdLines = "-3";
    pipe.CheckFiles = {{fifo, "2000/01/01 0:00:00"}};
    zero = pipe;
    zero.CheckFolder = "/dev/zero";
    zero.SendMailTo = "zero@example.com";
    zero.FileChkMode = NotifyUpdate | BodyFromFile | AttachFiles | LhaArchive;
    zero.MailBdLines = "3";
    zero.CheckFiles = {{"/dev/zero", "2000/01/01 0:00:00"}};
    folder = h.folderEntry("f", "folder@example.com",
                           NotifyDelete | NotifyUpdate | NotifyNew | AttachFiles);
    test::writeFile(folder.CheckFolder + "plain.txt", "plain");
    ASSERT_EQ(::mkfifo((folder.CheckFolder + "fifo").c_str(), 0600), 0);
    h.writeList({pipe, zero, folder});

    std::atomic<bool> passed{false};
    std::thread feeder(feedPipe, fifo, 30s, std::cref(passed));
    auto start = std::chrono::steady_clock::now();
    h.pass();
    const auto took = std::chrono::steady_clock::now() - start;
    passed = true;
    feeder.join();
    // Three settling waits of 3 s and three mails: nothing waited on the
    // pipe (which is fed for 30 s).
    EXPECT_LT(took, 20s);

    auto got = smtp.waitForMessages(3);
    ASSERT_EQ(got.size(), 3u);
    for (int i = 0; i < 2; ++i) {
        const test::ParsedMail m = test::parseEml(got[static_cast<size_t>(i)]);
        EXPECT_EQ(m.attachmentCount, 0) << m.to[0];
        EXPECT_EQ(
            test::crlf(m.body).rfind("変更がありました。\r\n＜更新一覧＞\r\n更新 testhost ", 0), 0u)
            << m.body;
    }
    const test::ParsedMail archived = test::parseEml(got[2]);
    EXPECT_EQ(archived.attachmentName, "f.lzh");
    EXPECT_EQ(archived.attachmentCount, 1);

    // One warning per path for the run; a second pass adds none.
    test::setMtime(folder.CheckFolder + "plain.txt", test::kT0);
    h.pass();
    EXPECT_EQ(h.logCount(fifo + ": 通常のファイルではありません"), 1u) << h.log();
    EXPECT_EQ(h.logCount("/dev/zero: 通常のファイルではありません"), 1u) << h.log();
    EXPECT_EQ(h.logCount("シス・エラー"), 0u) << h.log();
    EXPECT_TRUE(h.fx.boxes.empty());
}

} // namespace
} // namespace kestrova
