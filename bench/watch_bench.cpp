// Check-pass benchmark: one whole FolderCheckSub (reload, scan, commit) on a
// folder entry of N files, against the limit (find with one readdir and one
// stat per file) and two polling watchers (fswatch's poll monitor, Python
// watchdog's DirectorySnapshot), with nothing changed and with 1 % of the
// files changed; ReadIni + WriteIni alone; per-item cost at each size.
//
// Usage: watch_bench [--sizes 1000,10000,100000] [--runs N] [--watchdog FILE]
// Folders are made under $TMPDIR (or /tmp) and removed at the end. Every
// Kestrova figure comes from a fresh child process (this program started
// again with "pass" or "ini"), whose peak memory is the kernel's maximum
// resident set size reported by wait4.
#include "core/App.h"
#include "core/FileIo.h"
#include "core/Settings.h"
#include "core/Text.h"
#include "cycle/CheckCycle.h"
#include "watch/InotifySource.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;
namespace fs = std::filesystem;
using namespace kestrova;

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

double cpuNow() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

double median(std::vector<double> v) {
    if (v.empty())
        return -1;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// ---- the child side: one measurement per process -------------------------

void setupApp(App& app, const std::string& programDir) {
    AppSettings& s = app.settings;
    s.Interactive = true; // every entry is scanned; the message window is a record only
    app.programDir = programDir;
    app.baseName = "kestrova";
    s.SettingsFile = programDir + "/kestrova.ini";
    s.WatchListFile = programDir + "/kestrovaD.ini";
    s.TempFolder = programDir + "/Temp";
    s.AppTitle = "ケストロバ(bench)";
    s.MainCaption = s.AppTitle;
    s.ComputerName = "benchhost";
    app.log.setBasePath(programDir + "/kestrova");
    app.log.interactive = false;
    app.log.title = s.AppTitle;
}

long peakKiB() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

// Prints: wall cpu hwm-before-pass(KiB) change-lines shown.
// Change lines in the message window's text: MailMsg, the list heading,
// then one line per change.
size_t changeLines(const std::string& text) {
    size_t lines = 0;
    for (size_t p = 0; (p = text.find("\r\n", p)) != std::string::npos; p += 2)
        ++lines;
    return lines >= 2 ? lines - 2 : 0;
}

int childPass(const std::string& programDir) {
    App app;
    setupApp(app, programDir);
    CheckCycle cycle(app);
    const long before = peakKiB();
    const double c0 = cpuNow();
    const auto t0 = Clock::now();
    cycle.FolderCheckSub();
    const auto t1 = Clock::now();
    const double c1 = cpuNow();
    const size_t lines = changeLines(app.message.text);
    std::printf("%.9f %.9f %ld %zu %d\n", seconds(t0, t1), c1 - c0, before, lines,
                app.message.shown);
    return 0;
}

size_t shiftOnePercent(const fs::path& dir, size_t n, long delta);

void writeScanMode(const std::string& programDir, const std::string& mode) {
    std::string err;
    writeFileAtomic(programDir + "/kestrova.ini", "[InitSetting]\r\nScanMode=" + mode + "\r\n",
                    0600, err);
}

// One long-lived process, as a running Kestrova is: passes until the
// entry settles (watches in place, parse cache filled), then timed passes
// with nothing changed, then one with 1 % of the files moved 60 s forward
// (and one more that moves them back, untimed).
// Prints: same-wall same-cpu changed-wall changed-cpu lines entries-scanned-when-idle.
int childSteady(const std::string& programDir, const std::string& mode, const std::string& dir,
                size_t n, int runs) {
    writeScanMode(programDir, mode);
    // Old enough for the parse cache to trust its identity.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    App app;
    setupApp(app, programDir);
    CheckCycle cycle(app);
    for (int i = 0; i < 4; ++i) {
        cycle.FolderCheckSub();
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
    std::vector<double> wall, cpu;
    for (int i = 0; i < runs; ++i) {
        const double c0 = cpuNow();
        const auto t0 = Clock::now();
        cycle.FolderCheckSub();
        const auto t1 = Clock::now();
        cpu.push_back(cpuNow() - c0);
        wall.push_back(seconds(t0, t1));
    }
    const size_t idleScanned = cycle.events() ? cycle.events()->lastPlanned : 1;
    shiftOnePercent(dir, n, 60);
    app.message.text.clear();
    const double c0 = cpuNow();
    const auto t0 = Clock::now();
    cycle.FolderCheckSub();
    const auto t1 = Clock::now();
    const double c1 = cpuNow();
    const size_t lines = changeLines(app.message.text);
    shiftOnePercent(dir, n, -60);
    // Passes are CheckSec apart in a running Kestrova.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    cycle.FolderCheckSub();
    std::printf("%.9f %.9f %.9f %.9f %zu %zu\n", median(wall), median(cpu), seconds(t0, t1),
                c1 - c0, lines, idleScanned);
    return 0;
}

// Prints: ReadIni seconds, WriteIni seconds with the record as read (the
// file already holds it), WriteIni seconds after one date changed (the
// whole file written and flushed), items read.
int childIni(const std::string& programDir) {
    App app;
    setupApp(app, programDir);
    const auto t0 = Clock::now();
    const bool r = ReadIni(app);
    const auto t1 = Clock::now();
    const bool w = WriteIni(app);
    const auto t2 = Clock::now();
    size_t items = 0;
    for (auto& e : app.watchList) {
        items += e.CheckFiles.size();
        if (e.CheckFiles.empty())
            continue;
        CheckFileList::Builder changed(e.CheckFiles);
        changed.setDate(0, formatDateTime(nowDateTime() + 1));
        e.CheckFiles = changed.build();
    }
    const auto t3 = Clock::now();
    const bool w2 = WriteIni(app);
    const auto t4 = Clock::now();
    std::printf("%.9f %.9f %.9f %zu\n", seconds(t0, t1), seconds(t1, t2), seconds(t3, t4), items);
    return r && w && w2 ? 0 : 1;
}

// ---- the parent side ------------------------------------------------------

struct Run {
    bool ok = false;
    double wall = 0; // seen from the parent, process start included
    double cpu = 0;  // user + system of the child
    long maxRssKiB = 0;
    std::string out;
};

double tv(const timeval& t) {
    return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6;
}

pid_t spawn(const std::vector<std::string>& argv, const std::string& outFile) {
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

Run runChild(const std::vector<std::string>& argv, const std::string& scratch,
             bool keepOutput = true) {
    Run r;
    const std::string outFile = keepOutput ? scratch + "/child.out" : "/dev/null";
    const auto t0 = Clock::now();
    pid_t pid = spawn(argv, outFile);
    if (pid < 0)
        return r;
    int status = 0;
    rusage ru{};
    if (wait4(pid, &status, 0, &ru) != pid)
        return r;
    r.wall = seconds(t0, Clock::now());
    r.cpu = tv(ru.ru_utime) + tv(ru.ru_stime);
    r.maxRssKiB = ru.ru_maxrss;
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (keepOutput)
        r.out = slurp(outFile);
    return r;
}

// CPU time used so far by every thread of a running process, from the
// scheduler's nanosecond counters.
double schedCpu(pid_t pid) {
    double total = 0;
    std::error_code ec;
    for (const auto& t : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        std::ifstream in(t.path() / "schedstat");
        double ns = 0;
        if (in >> ns)
            total += ns / 1e9;
    }
    return total;
}

struct Options {
    std::vector<size_t> sizes{1000, 10000, 100000};
    int runs = 5;
    std::string watchdogScript;
    std::string self;
    std::string kestrova; // the program's folder, for the idle measurement
    double idleSeconds = 60;
    double fswatchLatency = 1.0;
    int fswatchScans = 3;
};

bool haveProgram(const char* name) {
    const char* path = std::getenv("PATH");
    std::stringstream ss(path ? path : "");
    std::string dir;
    while (std::getline(ss, dir, ':'))
        if (::access((dir + "/" + name).c_str(), X_OK) == 0)
            return true;
    return false;
}

void makeFiles(const fs::path& dir, size_t n, std::time_t stamp) {
    fs::create_directories(dir);
    char name[32];
    const timespec times[2] = {{stamp, 0}, {stamp, 0}};
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(name, sizeof name, "file%07zu.dat", i);
        const std::string p = (dir / name).string();
        int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0)
            continue;
        if (::write(fd, name, std::strlen(name)) < 0) {
            // contents do not matter
        }
        ::futimens(fd, times);
        ::close(fd);
    }
}

// Moves the mtime of every 100th file by delta seconds.
size_t shiftOnePercent(const fs::path& dir, size_t n, long delta) {
    char name[32];
    size_t count = 0;
    for (size_t i = 0; i < n; i += 100) {
        std::snprintf(name, sizeof name, "file%07zu.dat", i);
        const std::string p = (dir / name).string();
        struct stat st {};
        if (::stat(p.c_str(), &st) != 0)
            continue;
        const timespec times[2] = {{st.st_mtim.tv_sec + delta, 0}, {st.st_mtim.tv_sec + delta, 0}};
        if (::utimensat(AT_FDCWD, p.c_str(), times, 0) == 0)
            ++count;
    }
    return count;
}

struct PassFigures {
    double wall = -1, cpu = -1, rssMiB = -1, baseMiB = -1;
    size_t lines = 0;
    bool ok = false;
};

PassFigures measurePass(const Options& o, const std::string& prog, const std::string& baseline,
                        const std::string& scratch) {
    std::vector<double> wall, cpu, rss, base;
    PassFigures f;
    f.ok = true;
    for (int i = 0; i < o.runs; ++i) {
        fs::copy_file(baseline, prog + "/kestrovaD.ini", fs::copy_options::overwrite_existing);
        Run r = runChild({o.self, "pass", prog}, scratch);
        double w = 0, c = 0;
        long before = 0;
        size_t lines = 0;
        int shown = 0;
        if (!r.ok || std::sscanf(r.out.c_str(), "%lf %lf %ld %zu %d", &w, &c, &before, &lines,
                                 &shown) != 5) {
            f.ok = false;
            continue;
        }
        wall.push_back(w);
        cpu.push_back(c);
        rss.push_back(r.maxRssKiB / 1024.0);
        base.push_back(before / 1024.0);
        f.lines = lines;
    }
    f.wall = median(wall);
    f.cpu = median(cpu);
    f.rssMiB = median(rss);
    f.baseMiB = median(base);
    return f;
}

double measureFind(const Options& o, const std::string& dir, const std::string& scratch) {
    std::vector<double> wall;
    for (int i = 0; i < o.runs; ++i) {
        Run r = runChild({"find", dir, "-maxdepth", "1", "-printf", "%T@ %p\n"}, scratch, false);
        if (r.ok)
            wall.push_back(r.wall);
    }
    return median(wall);
}

struct SteadyFigures {
    double sameWall = -1, sameCpu = -1, changedWall = -1, changedCpu = -1, rssMiB = -1;
    size_t lines = 0, idleScanned = 0;
};

SteadyFigures measureSteady(const Options& o, const std::string& prog, const std::string& baseline,
                            const std::string& dir, size_t n, const char* mode,
                            const std::string& scratch) {
    SteadyFigures f;
    fs::copy_file(baseline, prog + "/kestrovaD.ini", fs::copy_options::overwrite_existing);
    Run r = runChild({o.self, "steady", prog, mode, dir, std::to_string(n), std::to_string(o.runs)},
                     scratch);
    writeScanMode(prog, "poll");
    if (!r.ok || std::sscanf(r.out.c_str(), "%lf %lf %lf %lf %zu %zu", &f.sameWall, &f.sameCpu,
                             &f.changedWall, &f.changedCpu, &f.lines, &f.idleScanned) != 6)
        return SteadyFigures{};
    f.rssMiB = r.maxRssKiB / 1024.0;
    return f;
}

struct PeerFigures {
    double wall = -1, cpu = -1;
    long events = -1;
};

// watchdog: DirectorySnapshot(dir, recursive=False) timed inside Python.
PeerFigures measureWatchdog(const Options& o, const std::string& dir, const char* mode,
                            const std::string& scratch) {
    PeerFigures p;
    if (o.watchdogScript.empty() || ::access("/usr/bin/python3", X_OK) != 0)
        return p;
    Run r = runChild({"/usr/bin/python3", o.watchdogScript, mode, dir, std::to_string(o.runs)},
                     scratch);
    if (r.ok)
        std::sscanf(r.out.c_str(), "%lf %lf %ld", &p.wall, &p.cpu, &p.events);
    return p;
}

// Waits until the process used no CPU for quietSec; returns its CPU then,
// or a negative value on timeout or exit.
double waitQuiet(pid_t pid, double quietSec, double timeoutSec, double* burstStart = nullptr,
                 double startCpu = -1) {
    const auto t0 = Clock::now();
    double last = schedCpu(pid);
    auto lastChange = Clock::now();
    bool sawBurst = startCpu < 0;
    while (seconds(t0, Clock::now()) < timeoutSec) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (::kill(pid, 0) != 0)
            return -1;
        double c = schedCpu(pid);
        if (c != last) {
            if (!sawBurst && burstStart)
                *burstStart = seconds(t0, Clock::now());
            sawBurst = true;
            last = c;
            lastChange = Clock::now();
            continue;
        }
        if (sawBurst && seconds(lastChange, Clock::now()) >= quietSec)
            return c;
    }
    return -1;
}

// fswatch's poll monitor sleeps for the latency, then scans: its CPU shows
// one burst per scan. After the first scan (taken at start) we count
// fswatchScans further bursts and divide their CPU time by their number.
PeerFigures measureFswatchUnchanged(const Options& o, const std::string& dir) {
    PeerFigures p;
    if (!haveProgram("fswatch"))
        return p;
    char lat[32];
    std::snprintf(lat, sizeof lat, "%.2f", o.fswatchLatency);
    pid_t pid = spawn({"fswatch", "-m", "poll_monitor", "-r", "-l", lat, dir}, "/dev/null");
    if (pid < 0)
        return p;
    const double quiet = o.fswatchLatency * 0.5;
    double c0 = waitQuiet(pid, quiet, 120);
    double c = c0;
    int scans = 0;
    std::vector<double> walls;
    while (c0 >= 0 && scans < o.fswatchScans) {
        double before = c;
        c = waitQuiet(pid, quiet, 120 + o.fswatchLatency * 2, nullptr, before);
        if (c < 0)
            break;
        ++scans;
    }
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (scans > 0 && c0 >= 0 && c >= 0)
        p.cpu = (c - c0) / scans;
    return p;
}

// fswatch -1 ends after the first batch of events: start it, let its first
// scan finish, move 1 % of the files forward, and take the CPU it used from
// then to its exit (one scan finding the changes and printing them).
PeerFigures measureFswatchChanged(const Options& o, const fs::path& dir, size_t n,
                                  const std::string& scratch,
                                  const char* monitor = "poll_monitor") {
    PeerFigures p;
    if (!haveProgram("fswatch"))
        return p;
    char lat[32];
    std::snprintf(lat, sizeof lat, "%.2f", o.fswatchLatency);
    const std::string outFile = scratch + "/fswatch.out";
    pid_t pid = spawn({"fswatch", "-1", "-m", monitor, "-r", "-l", lat, dir.string()}, outFile);
    if (pid < 0)
        return p;
    double c0 = waitQuiet(pid, o.fswatchLatency * 0.5, 120);
    if (c0 < 0) {
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
        return p;
    }
    c0 = schedCpu(pid);
    shiftOnePercent(dir, n, 60);
    int status = 0;
    rusage ru{};
    // Bounded: a watcher that never reports is killed after two minutes.
    const auto t0 = Clock::now();
    pid_t got = 0;
    while ((got = wait4(pid, &status, WNOHANG, &ru)) == 0 && seconds(t0, Clock::now()) < 120)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (got == 0) {
        ::kill(pid, SIGTERM);
        wait4(pid, &status, 0, &ru);
        shiftOnePercent(dir, n, -60);
        return p;
    }
    p.cpu = tv(ru.ru_utime) + tv(ru.ru_stime) - c0;
    const std::string out = slurp(outFile);
    p.events = static_cast<long>(std::count(out.begin(), out.end(), '\n'));
    shiftOnePercent(dir, n, -60);
    return p;
}

// fswatch's inotify monitor has no scans: its CPU over fswatchScans
// latencies of quiet, divided by that number, stands beside a pass.
PeerFigures measureFswatchInotifyIdle(const Options& o, const std::string& dir) {
    PeerFigures p;
    if (!haveProgram("fswatch"))
        return p;
    char lat[32];
    std::snprintf(lat, sizeof lat, "%.2f", o.fswatchLatency);
    pid_t pid = spawn({"fswatch", "-m", "inotify_monitor", "-r", "-l", lat, dir}, "/dev/null");
    if (pid < 0)
        return p;
    double c0 = waitQuiet(pid, o.fswatchLatency, 120);
    if (c0 >= 0) {
        std::this_thread::sleep_for(
            std::chrono::duration<double>(o.fswatchLatency * o.fswatchScans));
        p.cpu = (schedCpu(pid) - c0) / o.fswatchScans;
    }
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    return p;
}

// CPU per hour of an idle "kestrova b" (CheckSec 10) watching dir: the
// program folder copied beside the watch list, utime + stime from
// /proc/<pid>/stat over idleSeconds after it settled, scaled to an hour.

struct IniFigures {
    double read = -1, write = -1, writeChanged = -1, rssMiB = -1;
    size_t items = 0;
};

IniFigures measureIni(const Options& o, const std::string& prog, const std::string& baseline,
                      const std::string& scratch) {
    std::vector<double> rd, wr, wc, rss;
    IniFigures f;
    for (int i = 0; i < o.runs; ++i) {
        fs::copy_file(baseline, prog + "/kestrovaD.ini", fs::copy_options::overwrite_existing);
        Run r = runChild({o.self, "ini", prog}, scratch);
        double a = 0, b = 0, c = 0;
        size_t items = 0;
        if (!r.ok || std::sscanf(r.out.c_str(), "%lf %lf %lf %zu", &a, &b, &c, &items) != 4)
            continue;
        rd.push_back(a);
        wr.push_back(b);
        wc.push_back(c);
        rss.push_back(r.maxRssKiB / 1024.0);
        f.items = items;
    }
    f.read = median(rd);
    f.write = median(wr);
    f.writeChanged = median(wc);
    f.rssMiB = median(rss);
    return f;
}

struct SizeFigures {
    size_t n = 0;
    PassFigures same, changed;
    SteadyFigures poll, events;
    PeerFigures fswInotifySame, fswInotifyChanged;
    double idlePoll = -1, idleAuto = -1, idleFswPoll = -1, idleFswInotify = -1;
    double findSame = -1, findChanged = -1;
    PeerFigures wdSame, wdChanged, fswSame, fswChanged;
    IniFigures ini;
};

// CPU seconds so far of a running process, from /proc/<pid>/stat.
double procCpu(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return -1.0;
    std::stringstream ss(stat.substr(close + 2));
    std::string field;
    double utime = 0, stime = 0;
    for (int i = 3; i <= 15 && ss >> field; ++i) {
        if (i == 14)
            utime = std::atof(field.c_str());
        if (i == 15)
            stime = std::atof(field.c_str());
    }
    return (utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// An idle "kestrova b" (CheckSec 10) watching dir: the program folder
// copied beside the watch list. Returns its pid, or -1.
pid_t startIdleKestrova(const Options& o, const fs::path& root, const std::string& baseline,
                        const char* mode) {
    if (o.kestrova.empty() || !fs::exists(o.kestrova + "/kestrova"))
        return -1;
    const fs::path prog = root / (std::string("idle-") + mode);
    fs::remove_all(prog);
    fs::create_directories(prog);
    for (const auto& f : fs::directory_iterator(o.kestrova))
        if (f.is_regular_file())
            fs::copy_file(f.path(), prog / f.path().filename());
    // Mail is due only for changes, and nothing changes.
    std::string err;
    writeFileAtomic((prog / "kestrova.ini").string(),
                    std::string("[InitSetting]\r\nSmtpServer=127.0.0.1:9\r\nMailFromAddr="
                                "bench@example.invalid\r\nCheckSec=10\r\nScanMode=") +
                        mode + "\r\n",
                    0600, err);
    std::string list = slurp(baseline);
    const std::string from = "=メッセージ表示";
    std::string decoded = text::decodeFile(list);
    size_t at = decoded.find(from);
    if (at != std::string::npos)
        decoded.replace(at, from.size(), "=bench@example.invalid");
    writeFileAtomic((prog / "kestrovaD.ini").string(), text::encodeFile(decoded), 0644, err);
    return spawn({(prog / "kestrova").string(), "b"}, "/dev/null");
}

// CPU per hour of idle watchers of dir, all at once over the same
// idleSeconds (after they settled), from /proc, scaled to an hour: "kestrova
// b" in ScanMode auto and poll with CheckSec 10, and fswatch's poll monitor
// (latency 10 s, as CheckSec) and inotify monitor.
void measureIdleHours(const Options& o, const fs::path& root, const std::string& baseline,
                      const std::string& dir, SizeFigures& f) {
    struct Watcher {
        double* out;
        pid_t pid;
        double c0 = -1;
    };
    std::vector<Watcher> all;
    all.push_back({&f.idleAuto, startIdleKestrova(o, root, baseline, "auto")});
    all.push_back({&f.idlePoll, startIdleKestrova(o, root, baseline, "poll")});
    if (haveProgram("fswatch")) {
        all.push_back(
            {&f.idleFswPoll,
             spawn({"fswatch", "-m", "poll_monitor", "-r", "-l", "10", dir}, "/dev/null")});
        all.push_back(
            {&f.idleFswInotify,
             spawn({"fswatch", "-m", "inotify_monitor", "-r", "-l", "10", dir}, "/dev/null")});
    }
    // The first passes record the watches (and re-read the file once).
    std::this_thread::sleep_for(std::chrono::seconds(35));
    for (Watcher& w : all)
        if (w.pid > 0)
            w.c0 = procCpu(w.pid);
    std::this_thread::sleep_for(std::chrono::duration<double>(o.idleSeconds));
    for (Watcher& w : all) {
        if (w.pid <= 0)
            continue;
        const double c1 = procCpu(w.pid);
        ::kill(w.pid, SIGTERM);
        ::waitpid(w.pid, nullptr, 0);
        if (w.c0 >= 0 && c1 >= 0)
            *w.out = (c1 - w.c0) * 3600.0 / o.idleSeconds;
    }
    fs::remove_all(root / "idle-auto");
    fs::remove_all(root / "idle-poll");
}

std::string ms(double s) {
    char b[32];
    if (s < 0)
        return "n/a";
    std::snprintf(b, sizeof b, "%.2f", s * 1000);
    return b;
}

std::string ratio(double a, double b) {
    char buf[32];
    if (a < 0 || b <= 0)
        return "n/a";
    std::snprintf(buf, sizeof buf, "%.2fx", a / b);
    return buf;
}

std::string us(double s, size_t n) {
    char b[32];
    if (s < 0 || n == 0)
        return "n/a";
    std::snprintf(b, sizeof b, "%.3f", s * 1e6 / static_cast<double>(n));
    return b;
}

// Progress on stderr, with the seconds since the size began.
void phase(Clock::time_point start, size_t n, const char* what) {
    std::fprintf(stderr, "watch_bench: %zu files: %s (%.1f s)\n", n, what,
                 seconds(start, Clock::now()));
}

SizeFigures benchSize(const Options& o, const fs::path& root, size_t n) {
    const auto start = Clock::now();
    SizeFigures f;
    f.n = n;
    const fs::path dir = root / ("files-" + std::to_string(n));
    const fs::path prog = root / ("prog-" + std::to_string(n));
    const std::string scratch = root.string();
    fs::create_directories(prog / "Temp");
    // Fresh processes poll, as every pass of a new process is a full scan.
    writeScanMode(prog.string(), "poll");
    makeFiles(dir, n, std::time(nullptr) - 3600);

    // The watch list: one folder entry shown in the message window, all
    // three kinds of change reported.
    WatchEntry e;
    e.CheckFolder = dir.string() + "/";
    e.SendMailTo = kMessageDisplay;
    e.FileChkMode = NotifyDelete | NotifyUpdate | NotifyNew;
    e.MailBdLines = "99999";
    std::string err;
    writeFileAtomic((prog / "kestrovaD.ini").string(), text::encodeFile(watchListText({e})), 0644,
                    err);
    // The first pass records every file (all "added").
    Run rec = runChild({o.self, "pass", prog.string()}, scratch);
    const std::string baseline = (root / ("baseline-" + std::to_string(n) + ".ini")).string();
    fs::copy_file(prog / "kestrovaD.ini", baseline, fs::copy_options::overwrite_existing);

    // Warm the cache and the code paths once.
    runChild({"find", dir.string(), "-maxdepth", "1", "-printf", "%T@ %p\n"}, scratch, false);
    Options once = o;
    once.runs = 1;
    measurePass(once, prog.string(), baseline, scratch);

    phase(start, n, "recorded");
    f.same = measurePass(o, prog.string(), baseline, scratch);
    phase(start, n, "pass");
    f.findSame = measureFind(o, dir.string(), scratch);
    phase(start, n, "find");
    f.wdSame = measureWatchdog(o, dir.string(), "same", scratch);
    phase(start, n, "watchdog");
    f.fswSame = measureFswatchUnchanged(o, dir.string());
    phase(start, n, "fswatch");
    f.ini = measureIni(o, prog.string(), baseline, scratch);

    // Changed: watchdog moves the files itself (and back), fswatch sees
    // them moved while it runs (and back), then they stay moved for
    // Kestrova and find.
    phase(start, n, "ini");
    f.wdChanged = measureWatchdog(o, dir.string(), "changed", scratch);
    phase(start, n, "watchdog changed");
    f.fswChanged = measureFswatchChanged(o, dir, n, scratch);
    phase(start, n, "fswatch changed");
    shiftOnePercent(dir, n, 60);
    f.changed = measurePass(o, prog.string(), baseline, scratch);
    f.findChanged = measureFind(o, dir.string(), scratch);

    phase(start, n, "changed pass and find");
    shiftOnePercent(dir, n, -60);
    f.poll = measureSteady(o, prog.string(), baseline, dir.string(), n, "poll", scratch);
    phase(start, n, "steady poll");
    f.events = measureSteady(o, prog.string(), baseline, dir.string(), n, "auto", scratch);
    phase(start, n, "steady auto");
    f.fswInotifySame = measureFswatchInotifyIdle(o, dir.string());
    f.fswInotifyChanged = measureFswatchChanged(o, dir, n, scratch, "inotify_monitor");
    phase(start, n, "fswatch inotify");
    if (n == o.sizes.back() && !o.kestrova.empty()) {
        measureIdleHours(o, root, baseline, dir.string(), f);
        phase(start, n, "idle kestrova b");
    }
    fs::remove_all(dir);
    fs::remove_all(prog);
    fs::remove(baseline);
    (void)rec;
    return f;
}

void printTables(const std::vector<SizeFigures>& all, const Options& o) {
    auto verdict = [](bool ok) { return ok ? "met" : "MISSED"; };
    std::printf(
        "\nWall times in ms, median of %d runs, warm cache. Kestrova: one whole pass\n"
        "(FolderCheckSub: ReadIni, scan, WriteIni with fsync) timed inside a fresh\n"
        "process; find: 'find DIR -maxdepth 1 -printf \"%%T@ %%p\\n\"' >/dev/null, process\n"
        "start included; watchdog: DirectorySnapshot(dir, recursive=False) timed inside\n"
        "/usr/bin/python3 (changed: snapshot + DirectorySnapshotDiff); fswatch\n"
        "(poll_monitor -r, latency %.1f s, nothing else in the folder): CPU ms per\n"
        "scan from the scheduler's counters, %d scans after the first one (changed:\n"
        "fswatch -1, CPU from the change until it exits after printing the events).\n",
        o.runs, o.fswatchLatency, o.fswatchScans);

    auto section = [&](const char* title, bool changed) {
        std::printf("\n%s\n", title);
        std::printf("%8s | %9s %9s | %9s %7s | %12s %7s | %11s %11s %7s | %8s %8s | %6s\n", "files",
                    "pass", "pass cpu", "find", "/find", "fswatch cpu", "/pass", "watchdog",
                    "wd cpu", "/pass", "peak MiB", "start", "lines");
        for (const auto& f : all) {
            const PassFigures& p = changed ? f.changed : f.same;
            const double find = changed ? f.findChanged : f.findSame;
            const PeerFigures& fw = changed ? f.fswChanged : f.fswSame;
            const PeerFigures& wd = changed ? f.wdChanged : f.wdSame;
            std::printf(
                "%8zu | %9s %9s | %9s %7s | %12s %7s | %11s %11s %7s | %8.1f %8.1f | %6zu%s\n", f.n,
                ms(p.wall).c_str(), ms(p.cpu).c_str(), ms(find).c_str(),
                ratio(p.wall, find).c_str(), ms(fw.cpu).c_str(), ratio(fw.cpu, p.cpu).c_str(),
                ms(wd.wall).c_str(), ms(wd.cpu).c_str(), ratio(wd.wall, p.wall).c_str(), p.rssMiB,
                p.baseMiB, p.lines, p.ok ? "" : "  (a run failed)");
        }
    };
    section("1. Check pass, nothing changed (/find: pass over find; /pass: peer over pass)", false);
    section("2. Check pass, 1 % of the files moved 60 s forward (lines: changes reported)", true);
    for (const auto& f : all)
        if (f.fswChanged.events >= 0 || f.wdChanged.events >= 0)
            std::printf("   %zu files: fswatch reported %ld events, watchdog %ld modified\n", f.n,
                        f.fswChanged.events, f.wdChanged.events);
    std::printf("   ('peak MiB': maximum resident set of the whole pass process; 'start': the\n"
                "   same just before the pass, i.e. the program and its libraries)\n");

    std::printf("\n3. ReadIni + WriteIni alone (watch list of one entry with N items; WriteIni\n"
                "   'same': the file already holds the record, so it is compared, not written;\n"
                "   'changed': one date differs, the whole file is written and flushed)\n");
    std::printf("%8s | %10s %10s %10s %10s | %8s\n", "items", "ReadIni", "Write same", "Write chg",
                "read+chg", "peak MiB");
    for (const auto& f : all)
        std::printf(
            "%8zu | %10s %10s %10s %10s | %8.1f\n", f.ini.items, ms(f.ini.read).c_str(),
            ms(f.ini.write).c_str(), ms(f.ini.writeChanged).c_str(),
            ms(f.ini.read >= 0 && f.ini.writeChanged >= 0 ? f.ini.read + f.ini.writeChanged : -1)
                .c_str(),
            f.ini.rssMiB);

    std::printf("\n5. Growth: cost per item in microseconds (flat = linear; a quadratic step\n"
                "   shows as a column that grows with the size)\n");
    std::printf("%8s | %9s %9s %9s %9s | %9s %9s %9s\n", "files", "pass", "pass 1%", "ReadIni",
                "Write chg", "find", "fswatch", "watchdog");
    for (const auto& f : all)
        std::printf("%8zu | %9s %9s %9s %9s | %9s %9s %9s\n", f.n, us(f.same.wall, f.n).c_str(),
                    us(f.changed.wall, f.n).c_str(), us(f.ini.read, f.n).c_str(),
                    us(f.ini.writeChanged, f.n).c_str(), us(f.findSame, f.n).c_str(),
                    us(f.fswSame.cpu, f.n).c_str(), us(f.wdSame.wall, f.n).c_str());

    if (all.size() >= 2) {
        const auto& lo = all.front();
        const auto& hi = all.back();
        auto growth = [&](double a, double b) {
            return (a > 0 && b > 0) ? (b / hi.n) / (a / lo.n) : -1.0;
        };
        std::printf("   per-item cost at %zu over %zu: pass %.2f, pass 1%% %.2f, ReadIni %.2f, "
                    "WriteIni %.2f, find %.2f\n",
                    hi.n, lo.n, growth(lo.same.wall, hi.same.wall),
                    growth(lo.changed.wall, hi.changed.wall), growth(lo.ini.read, hi.ini.read),
                    growth(lo.ini.writeChanged, hi.ini.writeChanged),
                    growth(lo.findSame, hi.findSame));
    }

    std::printf("\n6. A running Kestrova: one process, passes repeated after the entry settled\n"
                "   (watches in place, parse cache filled), median of %d no-change passes, then\n"
                "   one pass with 1 %% moved; beside find and fswatch's poll and inotify monitors\n"
                "   (inotify, nothing changed: its CPU per %.1f s of quiet)\n",
                o.runs, o.fswatchLatency);
    std::printf("%8s | %9s %9s %6s | %9s %9s | %9s | %9s %9s | %9s %9s | %8s %8s\n", "files",
                "auto", "auto cpu", "/find", "poll", "poll cpu", "find", "fsw poll", "fsw ino",
                "auto 1%", "poll 1%", "auto MiB", "poll MiB");
    for (const auto& f : all)
        std::printf("%8zu | %9s %9s %6s | %9s %9s | %9s | %9s %9s | %9s %9s | %8.1f %8.1f\n", f.n,
                    ms(f.events.sameWall).c_str(), ms(f.events.sameCpu).c_str(),
                    ratio(f.events.sameWall, f.findSame).c_str(), ms(f.poll.sameWall).c_str(),
                    ms(f.poll.sameCpu).c_str(), ms(f.findSame).c_str(), ms(f.fswSame.cpu).c_str(),
                    ms(f.fswInotifySame.cpu).c_str(), ms(f.events.changedWall).c_str(),
                    ms(f.poll.changedWall).c_str(), f.events.rssMiB, f.poll.rssMiB);
    std::printf("   1 %% changed, over find (changed): auto / poll; fswatch CPU (changed): poll /"
                " inotify monitor\n");
    for (const auto& f : all)
        std::printf("   %zu files: auto %s, poll %s of find %s ms; fswatch poll %s ms, inotify %s "
                    "ms; lines auto %zu poll %zu; entries scanned when idle: auto %zu\n",
                    f.n, ratio(f.events.changedWall, f.findChanged).c_str(),
                    ratio(f.poll.changedWall, f.findChanged).c_str(), ms(f.findChanged).c_str(),
                    ms(f.fswChanged.cpu).c_str(), ms(f.fswInotifyChanged.cpu).c_str(),
                    f.events.lines, f.poll.lines, f.events.idleScanned);
    for (const auto& f : all)
        if (f.idlePoll >= 0 || f.idleAuto >= 0)
            std::printf("   idle, %zu files, CPU seconds per hour (measured together over %.0f s, "
                        "scaled to an hour):\n     'kestrova b' CheckSec 10: auto %.2f, poll "
                        "%.2f; fswatch latency 10 s: poll monitor %.2f, inotify monitor %.2f\n",
                        f.n, o.idleSeconds, f.idleAuto, f.idlePoll, f.idleFswPoll,
                        f.idleFswInotify);

    const SizeFigures& big = all.back();
    std::printf("\nGoals at %zu files:\n", big.n);
    std::printf("  auto, nothing changed, at most 5 ms:   %s (%s ms)\n",
                verdict(big.events.sameWall > 0 && big.events.sameWall <= 0.005),
                ms(big.events.sameWall).c_str());
    std::printf("  poll 20 %% faster than fswatch poll:     %s (pass CPU %s ms vs fswatch %s ms)\n",
                verdict(big.poll.sameCpu > 0 && big.fswSame.cpu > 0 &&
                        big.poll.sameCpu <= 0.8 * big.fswSame.cpu),
                ms(big.poll.sameCpu).c_str(), ms(big.fswSame.cpu).c_str());
    std::printf(
        "  auto, 1 %% changed, at most 0.5x find:   %s (%s)\n",
        verdict(big.events.changedWall > 0 && big.events.changedWall <= 0.5 * big.findChanged),
        ratio(big.events.changedWall, big.findChanged).c_str());
    std::printf("  peak at most 48 MiB, 1 %% changed:       %s (auto %.1f MiB, poll %.1f MiB)\n",
                verdict(big.events.rssMiB > 0 && big.events.rssMiB <= 48 && big.poll.rssMiB > 0 &&
                        big.poll.rssMiB <= 48),
                big.events.rssMiB, big.poll.rssMiB);
    std::printf("  pass within 3x find:            %s (%s)\n",
                verdict(big.same.wall > 0 && big.same.wall <= 3 * big.findSame),
                ratio(big.same.wall, big.findSame).c_str());
    std::printf("  faster per scan than fswatch:   %s (fswatch CPU %s ms vs pass CPU %s ms, "
                "wall %s ms)\n",
                verdict(big.fswSame.cpu > 0 && big.same.wall < big.fswSame.cpu),
                ms(big.fswSame.cpu).c_str(), ms(big.same.cpu).c_str(), ms(big.same.wall).c_str());
    std::printf("  faster per scan than watchdog:  %s (watchdog %s ms vs pass %s ms)\n",
                verdict(big.wdSame.wall > 0 && big.same.wall < big.wdSame.wall),
                ms(big.wdSame.wall).c_str(), ms(big.same.wall).c_str());
    std::printf("  peak memory under 64 MiB:       %s (%.1f MiB; %.1f MiB with 1 %% changed)\n",
                verdict(big.same.rssMiB > 0 && big.same.rssMiB < 64 && big.changed.rssMiB < 64),
                big.same.rssMiB, big.changed.rssMiB);
}

std::vector<size_t> parseSizes(const std::string& s) {
    std::vector<size_t> out;
    std::stringstream ss(s);
    std::string item;
    while (std::getline(ss, item, ','))
        out.push_back(std::stoul(item));
    return out;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "pass") == 0)
        return childPass(argv[2]);
    if (argc >= 3 && std::strcmp(argv[1], "ini") == 0)
        return childIni(argv[2]);
    if (argc >= 7 && std::strcmp(argv[1], "steady") == 0)
        return childSteady(argv[2], argv[3], argv[4], std::stoul(argv[5]), std::atoi(argv[6]));

    Options o;
    o.self = fs::read_symlink("/proc/self/exe").string();
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--sizes" && i + 1 < argc)
            o.sizes = parseSizes(argv[++i]);
        else if (a == "--runs" && i + 1 < argc)
            o.runs = std::max(1, std::atoi(argv[++i]));
        else if (a == "--watchdog" && i + 1 < argc)
            o.watchdogScript = argv[++i];
        else if (a == "--fswatch-latency" && i + 1 < argc)
            o.fswatchLatency = std::atof(argv[++i]);
        else if (a == "--kestrova" && i + 1 < argc)
            o.kestrova = argv[++i];
        else if (a == "--idle-seconds" && i + 1 < argc)
            o.idleSeconds = std::atof(argv[++i]);
        else {
            std::fprintf(stderr,
                         "usage: %s [--sizes 1000,10000,100000] [--runs N] [--watchdog FILE] "
                         "[--fswatch-latency S] [--kestrova PROGRAM-FOLDER] [--idle-seconds S]\n",
                         argv[0]);
            return 2;
        }
    }
    const char* tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/kestrova-watch-bench.XXXXXX";
    if (!::mkdtemp(tmpl.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path root = tmpl;
    std::vector<SizeFigures> all;
    for (size_t n : o.sizes) {
        all.push_back(benchSize(o, root, n));
    }
    fs::remove_all(root);
    printTables(all, o);
    return 0;
}
