// SIGKILL at random moments while a child process runs pass after pass over
// a folder of thousands of files whose times change between passes: after
// every kill both files parse, and the watch list holds one whole record
// (every item of one generation, none missing), never a mix or nothing.
#include "reliability/PassHarness.h"

#include "core/Settings.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace kestrova {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int kFiles = 3000;
constexpr int kKills = 30;
constexpr long long kStep = 20; // seconds between the times of two generations

std::string fileName(int i) {
    return "f" + std::to_string(i);
}

App childApp(const std::string& dir) {
    App app;
    AppSettings& s = app.settings;
    s.Interactive = true; // message-window entries are scanned too
    app.programDir = dir;
    app.baseName = "kestrova";
    s.SettingsFile = dir + "/kestrova.ini";
    s.WatchListFile = dir + "/kestrovaD.ini";
    s.TempFolder = dir + "/Temp";
    s.ComputerName = "testhost";
    app.log.setBasePath(dir + "/kestrova");
    app.log.interactive = false;
    return app;
}

void setTimes(const std::string& folder, long long t) {
    struct timespec times[2] = {{t, 0}, {t, 0}};
    for (int i = 0; i < kFiles; ++i)
        ::utimensat(AT_FDCWD, (folder + fileName(i)).c_str(), times, 0);
}

// The child: generation after generation, set every file's time, run a
// pass, note the generation. Runs until killed.
TEST(DISABLED_KillChild, Passes) {
    const char* dir = std::getenv("KESTROVA_KILL_DIR");
    const char* gen = std::getenv("KESTROVA_KILL_GEN");
    ASSERT_TRUE(dir && gen);
    App app = childApp(dir);
    CheckCycle cycle(app);
    const std::string folder = std::string(dir) + "/w/big/";
    const std::string progress = std::string(dir) + "/progress";
    for (long long g = std::atoll(gen);; ++g) {
        setTimes(folder, test::kT0 + g * kStep);
        cycle.FolderCheckSub();
        int fd = ::open(progress.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0600);
        std::string line = std::to_string(g) + "\n";
        ssize_t ignored = ::write(fd, line.data(), line.size());
        (void)ignored;
        ::close(fd);
    }
}

size_t lineCount(const std::string& file) {
    std::string t = test::readFile(file);
    return static_cast<size_t>(std::count(t.begin(), t.end(), '\n'));
}

pid_t spawnChild(const std::string& dir, long long generation) {
    std::string self = fs::read_symlink("/proc/self/exe").string();
    std::vector<std::string> args = {self, "--gtest_also_run_disabled_tests",
                                     "--gtest_filter=DISABLED_KillChild.Passes"};
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        env.emplace_back(*e);
    env.push_back("KESTROVA_KILL_DIR=" + dir);
    env.push_back("KESTROVA_KILL_GEN=" + std::to_string(generation));
    std::vector<char*> argv, envp;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, self.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

TEST(KillFaults, RandomKillsDuringPassesNeverLeaveAMixedOrMissingRecord) {
    test::PassHarness h(true);
    App& app = h.app();
    const std::string dir = h.fx.dir.path().string();
    WatchEntry big = h.folderEntry("big", kMessageDisplay);
    for (int i = 0; i < kFiles; ++i)
        test::writeFile(big.CheckFolder + fileName(i), "x");
    setTimes(big.CheckFolder, test::kT0);
    WatchEntry single;
    single.CheckFolder = h.path("w/single.txt");
    test::writeFile(single.CheckFolder, "one");
    single.SendMailTo = kMessageDisplay;
    single.FileChkMode = 7;
    single.CheckFiles = {{single.CheckFolder, test::when(test::kT0)}};
    h.writeSettings("127.0.0.1:1", "MailFromPass=\r\n");
    h.writeList({big, single});
    h.pass(); // the first record: every item of generation 0
    const std::string settings = test::readFile(h.fx.settingsFile());

    std::mt19937 random(12345);
    long long lastGeneration = 0;
    int passesSeen = 0;
    int midWrite = 0;
    std::chrono::milliseconds passTime = 300ms;
    for (int kill = 0; kill < kKills; ++kill) {
        const std::string progress = dir + "/progress";
        fs::remove(progress);
        const long long start = (kill + 1) * 100000LL;
        auto begun = std::chrono::steady_clock::now();
        pid_t pid = spawnChild(dir, start);
        ASSERT_GT(pid, 0);
        // Wait for one pass of this child (so its start-up is not all that
        // gets killed), then kill it somewhere within the next two passes.
        while (lineCount(progress) < 1 && std::chrono::steady_clock::now() - begun < 60s)
            std::this_thread::sleep_for(5ms);
        ASSERT_GE(lineCount(progress), 1u) << "the child made no pass";
        if (kill == 0)
            passTime = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - begun);
        std::uniform_int_distribution<int> delay(0, static_cast<int>(2 * passTime.count()));
        std::this_thread::sleep_for(std::chrono::milliseconds(delay(random)));
        ASSERT_EQ(::kill(pid, SIGKILL), 0);
        int status = 0;
        ::waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status));
        passesSeen += static_cast<int>(lineCount(progress));

        // Both files parse; the settings are untouched in content.
        EXPECT_EQ(test::readFile(h.fx.settingsFile()), settings);
        app.watchList.clear();
        ASSERT_TRUE(ReadIni(app)) << "after kill " << kill;
        ASSERT_EQ(app.watchList.size(), 2u) << "after kill " << kill;
        const auto& items = app.watchList[0].CheckFiles;
        ASSERT_EQ(items.size(), static_cast<size_t>(kFiles)) << "after kill " << kill;
        const std::string date = items.front().Date;
        for (const CheckFile& f : items)
            ASSERT_EQ(f.Date, date) << "mixed record after kill " << kill;
        ASSERT_EQ(app.watchList[1].CheckFiles.size(), 1u);
        const auto parsed = parseRecordDate(date);
        ASSERT_TRUE(parsed.has_value()) << date;
        const long long generation =
            static_cast<long long>(*parsed - utcFromUnix(test::kT0)) / kStep;
        EXPECT_GE(generation, lastGeneration) << "an older record came back";
        EXPECT_GE(generation, start) << "the record of a finished pass was lost";
        lastGeneration = generation;

        // A temporary file left behind means the kill hit a write.
        for (const auto& d : fs::directory_iterator(dir))
            if (d.path().filename().string().rfind(".kestrova", 0) == 0) {
                ++midWrite;
                fs::remove(d.path());
            }
    }
    std::printf("kills %d, passes completed by the children %d, kills inside a write %d, "
                "pass time %lld ms\n",
                kKills, passesSeen, midWrite, static_cast<long long>(passTime.count()));
    RecordProperty("passes", passesSeen);
    RecordProperty("killsInsideAWrite", midWrite);
}

} // namespace
} // namespace kestrova
