// The file system changes under a running pass: thousands of files deleted
// and made again while the folder is scanned, files deleted or cut short
// while they are archived, a watched path replaced by a file or by a looping
// symbolic link, the Temp folder removed or replaced by a file. No crash,
// no lost record, nothing worse than a logged warning.
#include "reliability/PassHarness.h"

#include "TestServers.h"
#include "core/Settings.h"
#include "notify/Archiver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <set>
#include <thread>
#include <unistd.h>

namespace kestrova {
namespace {

namespace fs = std::filesystem;
using test::PassHarness;

const std::string kError = "\tシス・エラー\t";

std::set<std::string> recordOf(const WatchEntry& e) {
    std::set<std::string> paths;
    for (const CheckFile& f : e.CheckFiles)
        EXPECT_TRUE(paths.emplace(f.Path()).second) << "recorded twice: " << f.Path();
    return paths;
}

TEST(ChurnFaults, ThousandsOfFilesDeletedAndMadeAgainDuringPasses) {
    PassHarness h(true);
    WatchEntry e = h.folderEntry("many", kMessageDisplay);
    constexpr int kFiles = 3000;
    std::set<std::string> all;
    for (int i = 0; i < kFiles; ++i) {
        all.insert(e.CheckFolder + "f" + std::to_string(i));
        test::writeFile(e.CheckFolder + "f" + std::to_string(i), "x");
    }
    ::mkdir((e.CheckFolder + "sub").c_str(), 0755);
    all.insert(e.CheckFolder + "sub");
    h.writeSettings("127.0.0.1:1");
    h.writeList({e});
    h.pass();
    ASSERT_EQ(h.app().watchList.size(), 1u);
    EXPECT_EQ(recordOf(h.app().watchList[0]), all);

    std::atomic<bool> stop{false};
    std::atomic<int> rounds{0};
    std::thread churn([&] {
        while (!stop) {
            for (int i = 0; i < kFiles; ++i)
                ::unlink((e.CheckFolder + "f" + std::to_string(i)).c_str());
            ::rmdir((e.CheckFolder + "sub").c_str());
            for (int i = 0; i < kFiles; ++i)
                test::writeFile(e.CheckFolder + "f" + std::to_string(i), "y");
            ::mkdir((e.CheckFolder + "sub").c_str(), 0755);
            ++rounds;
        }
    });
    for (int i = 0; i < 5; ++i) {
        h.pass();
        ASSERT_EQ(h.app().watchList.size(), 1u);
        recordOf(h.app().watchList[0]); // no duplicates, whatever was seen
    }
    stop = true;
    churn.join();
    EXPECT_GT(rounds.load(), 0);

    // Quiet again: the record comes back to exactly the folder's contents.
    h.pass();
    h.pass();
    ASSERT_EQ(h.app().watchList.size(), 1u);
    EXPECT_EQ(recordOf(h.app().watchList[0]), all);
    h.app().watchList.clear();
    ASSERT_TRUE(ReadIni(h.app()));
    EXPECT_EQ(recordOf(h.app().watchList[0]), all);
    EXPECT_EQ(h.logCount(kError), 0u) << h.log();
    EXPECT_TRUE(h.fx.boxes.empty());
}

// Runs action on another thread while the archiver works on path.
std::string archiveWhile(PassHarness& h, const std::string& path, bool subfolders,
                         const std::function<void()>& action) {
    std::atomic<bool> started{false};
    std::thread t([&] {
        while (!started)
            std::this_thread::yield();
        action();
    });
    started = true;
    std::string archive = GetLhaFile(h.app(), path, subfolders);
    t.join();
    return archive;
}

// lhasa's own test of the archive: every member's CRC.
bool lhasaAccepts(const std::string& archive) {
    test::RunResult r = test::runProgram({"/usr/bin/lhasa", "t", archive});
    return r.exitCode == 0;
}

TEST(ChurnFaults, FilesDeletedOrCutShortWhileArchived) {
    PassHarness h(true);
    WatchEntry e = h.folderEntry("arch", kMessageDisplay);
    std::string big(8 << 20, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>((i * 2654435761u) >> 13);
    for (int round = 0; round < 6; ++round) {
        for (int i = 0; i < 200; ++i)
            test::writeFile(e.CheckFolder + "s" + std::to_string(i), std::string(100 + i, 'a'));
        test::writeFile(e.CheckFolder + "big.bin", big);
        std::function<void()> action;
        const int pause = round * 10;
        if (round % 2 == 0) // the small files go away one after another
            action = [&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(pause));
                for (int i = 0; i < 200; ++i)
                    ::unlink((e.CheckFolder + "s" + std::to_string(i)).c_str());
                ::unlink((e.CheckFolder + "big.bin").c_str());
            };
        else // the big file is cut short under the reader
            action = [&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(pause));
                EXPECT_EQ(::truncate((e.CheckFolder + "big.bin").c_str(), 1000), 0);
            };
        std::string archive = archiveWhile(h, e.CheckFolder, false, action);
        if (archive.empty()) {
            // Refused: said in the message window and the log.
            EXPECT_EQ(h.app().message.caption, "ファイル圧縮エラー");
            EXPECT_TRUE(h.logHas("\tMsgForm\tGetLhaFile\tワーニング  \t"));
        } else {
            EXPECT_TRUE(lhasaAccepts(archive)) << "round " << round << ": a damaged archive";
        }
    }
    EXPECT_EQ(h.logCount(kError), 0u) << h.log();
    EXPECT_TRUE(h.fx.boxes.empty());
}

TEST(ChurnFaults, WatchedPathReplacedByAFileOrALoopingLink) {
    PassHarness h(true);
    WatchEntry folder = h.folderEntry("rep", kMessageDisplay);
    test::writeFile(folder.CheckFolder + "a", "a");
    WatchEntry loop = h.folderEntry("loop", kMessageDisplay);
    test::writeFile(loop.CheckFolder + "b", "b");
    WatchEntry file;
    file.CheckFolder = h.path("w/file.txt");
    file.SendMailTo = kMessageDisplay;
    file.FileChkMode = 7;
    test::writeFile(file.CheckFolder, "f");
    file.CheckFiles = {{file.CheckFolder, test::when(test::kT0)}};
    h.writeSettings("127.0.0.1:1");
    h.writeList({folder, loop, file});
    h.pass();
    ASSERT_EQ(h.app().watchList.size(), 3u);
    ASSERT_EQ(h.app().watchList[0].CheckFiles.size(), 1u);

    // The folder becomes a file, the second folder a link to itself, the
    // watched file a link to itself.
    fs::remove_all(h.path("w/rep"));
    test::writeFile(h.path("w/rep"), "now a file");
    fs::remove_all(h.path("w/loop"));
    fs::create_symlink("loop", h.path("w/loop"));
    fs::remove(file.CheckFolder);
    fs::create_symlink("file.txt", file.CheckFolder);
    h.pass();
    h.pass();
    ASSERT_EQ(h.app().watchList.size(), 3u);
    // A folder that is not there (not a folder) keeps its record.
    EXPECT_EQ(h.app().watchList[0].CheckFiles.size(), 1u);
    EXPECT_EQ(h.app().watchList[1].CheckFiles.size(), 1u);
    // The looping link is a file with its own time: still there.
    ASSERT_EQ(h.app().watchList[2].CheckFiles.size(), 1u);
    EXPECT_NE(h.app().watchList[2].CheckFiles[0].Date(), "0:00:00");

    // Put back: the folder's deleted item is reported, the entry lives on.
    fs::remove(h.path("w/rep"));
    ::mkdir(h.path("w/rep").c_str(), 0755);
    h.pass();
    EXPECT_TRUE(h.app().watchList[0].CheckFiles.empty());
    EXPECT_NE(h.app().message.text.find("削除 testhost " + folder.CheckFolder + "a "),
              std::string::npos)
        << h.app().message.text;
    EXPECT_EQ(h.logCount(kError), 0u) << h.log();
    EXPECT_TRUE(h.fx.boxes.empty());
}

TEST(ChurnFaults, TempFolderRemovedOrReplacedByAFileWhileRunning) {
    test::SmtpServer smtp;
    PassHarness h;
    h.writeSettings(smtp.address());
    WatchEntry e =
        h.folderEntry("t", "x@example.com", NotifyDelete | NotifyUpdate | NotifyNew | AttachFiles);
    h.writeList({e});
    const std::string temp = h.app().settings.TempFolder;

    // Removed during the settling wait of the pass that archives.
    test::writeFile(e.CheckFolder + "one", "1");
    h.fx.clock->onWait = [&](int ms) {
        if (ms == 3000)
            fs::remove_all(temp);
    };
    h.pass();
    h.fx.clock->onWait = nullptr;
    auto got = smtp.waitForMessages(1);
    ASSERT_EQ(got.size(), 1u);
    test::ParsedMail first = test::parseEml(got[0]);
    EXPECT_NE(first.body.find(e.CheckFolder + "one"), std::string::npos);

    // Replaced by a file: the archive fails, the mail goes without it, and
    // the condition is logged once, not at every pass.
    fs::remove_all(temp);
    test::writeFile(temp, "in the way");
    test::writeFile(e.CheckFolder + "two", "2");
    h.pass();
    test::writeFile(e.CheckFolder + "three", "3");
    h.pass();
    got = smtp.waitForMessages(3);
    ASSERT_EQ(got.size(), 3u);
    for (size_t i = 1; i < 3; ++i)
        EXPECT_EQ(test::parseEml(got[i]).attachmentCount, 0);
    EXPECT_EQ(h.logCount(temp + ": フォルダではありません"), 1u) << h.log();
    EXPECT_EQ(test::readFile(temp), "in the way"); // the user's file is left alone

    // Back to a folder: the next change carries its archive again.
    fs::remove(temp);
    test::writeFile(e.CheckFolder + "four", "4");
    h.pass();
    got = smtp.waitForMessages(4);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(test::parseEml(got[3]).attachmentCount, 1);
    h.app().watchList.clear();
    ASSERT_TRUE(ReadIni(h.app()));
    EXPECT_EQ(h.app().watchList[0].CheckFiles.size(), 4u); // no record lost
    EXPECT_EQ(h.logCount(kError), 0u) << h.log();
}

} // namespace
} // namespace kestrova
