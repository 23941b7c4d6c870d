// The program folder turns read-only or its disk fills up: WriteIni fails,
// the failure is reported, and the settings and watch-list files stay the
// complete previous versions. Needs mount(2) (root in a container); skipped
// where it is not permitted.
#include "reliability/PassHarness.h"

#include "TestServers.h"
#include "core/FileIo.h"
#include "core/Settings.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace kestrova {
namespace {

namespace fs = std::filesystem;
using test::PassHarness;
using namespace std::chrono_literals;

// A mount made by the test, detached again at the end.
class TestMount {
public:
    ~TestMount() {
        if (!target_.empty())
            ::umount2(target_.c_str(), MNT_DETACH);
    }
    // The folder mounted over itself, read-only.
    bool bindReadOnly(const std::string& folder, std::string& why) {
        if (::mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) != 0) {
            why = "bind mount: " + errnoText(errno);
            return false;
        }
        target_ = folder;
        if (::mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) !=
            0) {
            why = "read-only remount: " + errnoText(errno);
            return false;
        }
        return true;
    }
    bool tmpfs(const std::string& folder, const std::string& size, std::string& why) {
        std::string options = "size=" + size + ",mode=0755";
        if (::mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str()) != 0) {
            why = "tmpfs: " + errnoText(errno);
            return false;
        }
        target_ = folder;
        return true;
    }
    void release() {
        if (!target_.empty())
            ::umount2(target_.c_str(), MNT_DETACH);
        target_.clear();
    }

private:
    std::string target_;
};

// Standard error redirected to a file for the life of the object.
class StderrCapture {
public:
    explicit StderrCapture(const std::string& file) : file_(file) {
        ::fflush(stderr);
        saved_ = ::dup(STDERR_FILENO);
        int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ::dup2(fd, STDERR_FILENO);
        ::close(fd);
    }
    ~StderrCapture() { restore(); }
    std::string text() {
        restore();
        return test::readFile(file_);
    }

private:
    void restore() {
        if (saved_ >= 0) {
            ::fflush(stderr);
            ::dup2(saved_, STDERR_FILENO);
            ::close(saved_);
            saved_ = -1;
        }
    }
    std::string file_;
    int saved_ = -1;
};

// A settings record and a watch list with enough items to make the file
// large; generation marks every value so versions cannot be confused.
void fillMemory(App& app, const std::string& folder, int generation, int items) {
    AppSettings& s = app.settings;
    s.SmtpServer = "smtp" + std::to_string(generation) + ".example.com";
    s.MailFromUser = "user";
    s.MailFromPass = "pass-" + std::to_string(generation);
    s.MailTitle = "件名" + std::to_string(generation);
    s.CheckSec = "10";
    app.watchList.clear();
    for (int e = 0; e < 3; ++e) {
        WatchEntry w;
        w.CheckFolder = folder + "/e" + std::to_string(e) + "/";
        w.SendMailTo = "ops@example.com";
        w.FileChkMode = 7;
        CheckFileList::Builder record;
        for (int i = 0; i < items; ++i)
            record.emplace_back(w.CheckFolder + "g" + std::to_string(generation) + "_" +
                                    std::to_string(i),
                                test::when(test::kT0 + generation));
        w.CheckFiles = record.build();
        app.watchList.push_back(std::move(w));
    }
}

// The files hold generation's record completely.
void expectGeneration(App& app, int generation, int items) {
    app.watchList.clear();
    ASSERT_TRUE(ReadIni(app));
    EXPECT_EQ(app.settings.MailTitle, "件名" + std::to_string(generation));
    EXPECT_EQ(app.settings.MailFromPass, "pass-" + std::to_string(generation));
    ASSERT_EQ(app.watchList.size(), 3u);
    for (const WatchEntry& w : app.watchList) {
        ASSERT_EQ(w.CheckFiles.size(), static_cast<size_t>(items));
        EXPECT_EQ(w.CheckFiles.back().Path(), w.CheckFolder + "g" + std::to_string(generation) +
                                                  "_" + std::to_string(items - 1));
    }
}

std::vector<std::string> strayTempFiles(const std::string& folder) {
    std::vector<std::string> out;
    for (const auto& d : fs::directory_iterator(folder))
        if (d.path().filename().string().rfind(".kestrova", 0) == 0)
            out.push_back(d.path().filename().string());
    return out;
}

TEST(DiskFaults, ReadOnlyProgramFolderKeepsThePreviousFilesAndReportsTheFailure) {
    PassHarness h;
    App& app = h.app();
    const std::string folder = h.fx.dir.path().string();
    fillMemory(app, folder, 1, 200);
    ASSERT_TRUE(WriteIni(app));
    const std::string settingsBefore = test::readFile(h.fx.settingsFile());
    const std::string listBefore = test::readFile(h.fx.watchListFile());

    TestMount ro;
    std::string why;
    if (!ro.bindReadOnly(folder, why))
        GTEST_SKIP() << "no read-only mount here (" << why << ")";

    // The log lives in the read-only folder too: the report goes to
    // standard error rather than nowhere.
    test::TempDir out;
    fillMemory(app, folder, 2, 300);
    std::string err;
    {
        StderrCapture capture(out / "stderr");
        EXPECT_FALSE(WriteIni(app));
        err = capture.text();
    }
    EXPECT_NE(err.find("\tCommonModule\tWriteIni\t"), std::string::npos) << err;
    EXPECT_NE(err.find("kestrova.ini"), std::string::npos) << err;
    EXPECT_EQ(test::readFile(h.fx.settingsFile()), settingsBefore);
    EXPECT_EQ(test::readFile(h.fx.watchListFile()), listBefore);
    expectGeneration(app, 1, 200);

    // With the log elsewhere the failure is an ordinary error line.
    app.log.setBasePath(out / "kestrova");
    fillMemory(app, folder, 3, 300);
    EXPECT_FALSE(WriteIni(app));
    std::string log = text::decodeFile(test::readFile(out / "kestrova.log"));
    EXPECT_NE(log.find("\tCommonModule\tWriteIni\tシス・エラー\t" + h.fx.settingsFile()),
              std::string::npos)
        << log;

    // A whole pass over the read-only folder: scanned, nothing stored.
    app.watchList.clear();
    h.pass();
    EXPECT_EQ(test::readFile(h.fx.watchListFile()), listBefore);

    ro.release();
    fillMemory(app, folder, 4, 300);
    EXPECT_TRUE(WriteIni(app));
    expectGeneration(app, 4, 300);
    EXPECT_TRUE(strayTempFiles(folder).empty());
}

TEST(DiskFaults, FullDiskKeepsThePreviousFilesAndLeavesNoTemporaryFiles) {
    PassHarness h;
    test::TempDir outside;
    const std::string folder = h.path("prog");
    ASSERT_TRUE(fs::create_directory(folder));
    TestMount disk;
    std::string why;
    if (!disk.tmpfs(folder, "1m", why))
        GTEST_SKIP() << "no tmpfs mount here (" << why << ")";

    App& app = h.app();
    app.settings.SettingsFile = folder + "/kestrova.ini";
    app.settings.WatchListFile = folder + "/kestrovaD.ini";
    app.log.setBasePath(outside / "kestrova");
    fillMemory(app, folder, 1, 500);
    ASSERT_TRUE(WriteIni(app));
    const std::string settingsBefore = test::readFile(app.settings.SettingsFile);
    const std::string listBefore = test::readFile(app.settings.WatchListFile);
    ASSERT_GT(listBefore.size(), 64u * 1024);

    // Fill the disk to the last byte.
    auto fill = [&](size_t leave) {
        fs::remove(folder + "/filler");
        int fd = ::open((folder + "/filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        std::string block(4096, 'x');
        while (::write(fd, block.data(), block.size()) > 0) {
        }
        ::close(fd);
        if (leave > 0) {
            auto size = fs::file_size(folder + "/filler");
            fs::resize_file(folder + "/filler", size > leave ? size - leave : 0);
        }
    };
    fill(0);

    fillMemory(app, folder, 2, 500);
    EXPECT_FALSE(WriteIni(app));
    EXPECT_EQ(test::readFile(app.settings.SettingsFile), settingsBefore);
    EXPECT_EQ(test::readFile(app.settings.WatchListFile), listBefore);
    EXPECT_TRUE(strayTempFiles(folder).empty());

    // Room for the small settings file but not for the list: the settings
    // are stored, the list stays the old one whole.
    fill(16 * 1024);
    fillMemory(app, folder, 3, 500);
    EXPECT_FALSE(WriteIni(app));
    EXPECT_EQ(test::readFile(app.settings.WatchListFile), listBefore);
    EXPECT_TRUE(strayTempFiles(folder).empty());
    std::string log = text::decodeFile(test::readFile(outside / "kestrova.log"));
    EXPECT_EQ(test::PassHarness::countIn(log, "\tCommonModule\tWriteIni\tシス・エラー\t"), 2u)
        << log;
    EXPECT_NE(log.find(app.settings.WatchListFile + ": "), std::string::npos) << log;
    app.watchList.clear();
    ASSERT_TRUE(ReadIni(app));
    EXPECT_EQ(app.settings.MailTitle, "件名3");
    ASSERT_EQ(app.watchList.size(), 3u);
    EXPECT_EQ(app.watchList[0].CheckFiles.size(), 500u);
    EXPECT_EQ(app.watchList[0].CheckFiles[0].Path(), app.watchList[0].CheckFolder + "g1_0");

    fs::remove(folder + "/filler");
    fillMemory(app, folder, 4, 500);
    EXPECT_TRUE(WriteIni(app));
    expectGeneration(app, 4, 500);
}

// The real watcher with its folder on a full disk: the delivered change is
// kept in memory instead of being mailed at every pass, said once, and
// written as soon as there is room.
TEST(DiskFaults, FullDiskDoesNotMailTheSameChangeAgain) {
    test::TempDir dir;
    const std::string prog = dir / "prog";
    ASSERT_TRUE(fs::create_directory(prog));
    ASSERT_TRUE(fs::create_directory(dir / "w"));
    TestMount disk;
    std::string why;
    if (!disk.tmpfs(prog, "256k", why))
        GTEST_SKIP() << "no tmpfs mount here (" << why << ")";
    test::SmtpServer smtp;
    test::writeFile(prog + "/kestrova.ini", "[InitSetting]\r\nSmtpServer=" + smtp.address() +
                                                "\r\nMailFromAddr=w@example.com\r\nCheckSec=1\r\n");
    test::writeFile(prog + "/kestrovaD.ini", "[CheckFolders]\r\n0=" + (dir / "w") +
                                                 "/\r\n[SendMailTo]\r\n0=x@example.com\r\n"
                                                 "[FileChkMode]\r\n0=7\r\n");
    test::Watcher w(prog);
    w.env.insert("XDG_RUNTIME_DIR", QString::fromStdString(dir.path()));
    w.start();
    std::this_thread::sleep_for(2s); // the first pass has run
    // Nothing fits any more, not even the log.
    int fd = ::open((prog + "/filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    const std::string block(4096, 'x');
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    ::close(fd);
    const std::string listBefore = test::readFile(prog + "/kestrovaD.ini");
    test::writeFile(dir / "w/new.txt", "n");
    ASSERT_EQ(smtp.waitForMessages(1).size(), 1u);
    std::this_thread::sleep_for(3s);
    EXPECT_EQ(smtp.messages().size(), 1u); // not again at every pass
    EXPECT_EQ(test::readFile(prog + "/kestrovaD.ini"), listBefore);
    fs::remove(prog + "/filler");
    auto stored = [&] {
        return test::readFile(prog + "/kestrovaD.ini").find(dir / "w/new.txt") != std::string::npos;
    };
    for (int i = 0; i < 100 && !stored(); ++i)
        std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(stored());
    EXPECT_EQ(w.terminate(), 0);
    EXPECT_EQ(smtp.messages().size(), 1u);
    const std::string log = text::decodeFile(test::readFile(prog + "/kestrova.log"));
    EXPECT_NE(log.find("書き込めるようになり"), std::string::npos) << log;
}

// The system calls this process makes while traced by strace, as strace
// writes them (file descriptors with their paths).
class SyscallTrace {
public:
    bool start(const std::string& log, std::string& why) {
        log_ = log;
        const std::string self = std::to_string(::getpid());
        std::vector<std::string> args = {
            "strace", "-qq", "-f", "-y", "-e", "trace=fsync,rename,renameat,renameat2",
            "-o",     log,   "-p", self};
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (::posix_spawnp(&pid_, "strace", nullptr, nullptr, argv.data(), environ) != 0) {
            why = "no strace";
            return false;
        }
        for (int i = 0; i < 500 && !traced(); ++i)
            ::usleep(10000);
        if (!traced())
            why = "strace cannot attach here";
        return traced();
    }
    std::string stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGINT);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
        return test::readFile(log_);
    }
    ~SyscallTrace() { stop(); }

private:
    static bool traced() {
        std::string status = test::readFile("/proc/self/status");
        size_t at = status.find("TracerPid:\t");
        return at != std::string::npos && status.compare(at + 11, 2, "0\n") != 0;
    }
    std::string log_;
    pid_t pid_ = -1;
};

TEST(DiskFaults, ReplacedFilesAreFollowedByASyncOfTheirFolder) {
    PassHarness h;
    App& app = h.app();
    const std::string folder = h.fx.dir.path().string();
    fillMemory(app, folder, 1, 5);
    test::TempDir out;
    SyscallTrace trace;
    std::string why;
    if (!trace.start(out / "strace", why))
        GTEST_SKIP() << why;
    ASSERT_TRUE(WriteIni(app));
    const std::string calls = trace.stop();
    // Each rename onto a watch file is followed by an fsync of the folder.
    for (const std::string& file : {h.fx.settingsFile(), h.fx.watchListFile()}) {
        const size_t renamed = calls.find(file + "\"");
        ASSERT_NE(renamed, std::string::npos) << calls;
        const size_t synced = calls.find("fsync(", renamed);
        ASSERT_NE(synced, std::string::npos) << calls;
        const std::string call = calls.substr(synced, calls.find('\n', synced) - synced);
        EXPECT_NE(call.find("<" + folder + ">"), std::string::npos) << calls;
    }
}

} // namespace
} // namespace kestrova
