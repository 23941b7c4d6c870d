// Shared by the fault and security tests: an App in a temporary portable
// folder whose passes are driven directly, with mail going to the loopback
// servers and the libraries taken from the built portable folder.
#pragma once

#include "core/App.h"
#include "core/DateTime.h"
#include "core/Text.h"
#include "cycle/CheckCycle.h"
#include "support/AppFixture.h"

#include <QCoreApplication>
#include <QProcess>
#include <QProcessEnvironment>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace kestrova::test {

// One event-loop object per process and a lock folder of our own, so test
// programs running side by side never share "Kestrova3333". Both go before
// exit handlers run, as Qt wants.
class CoreAppEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "kestrova_fault_test";
        static char* argv[] = {name, nullptr};
        if (!QCoreApplication::instance())
            app_ = std::make_unique<QCoreApplication>(argc, argv);
        runtime_ = std::make_unique<TempDir>();
        ::setenv("XDG_RUNTIME_DIR", runtime_->path().c_str(), 1);
    }
    void TearDown() override {
        runtime_.reset();
        app_.reset();
    }

private:
    std::unique_ptr<QCoreApplication> app_;
    std::unique_ptr<TempDir> runtime_;
};
inline ::testing::Environment* const kCoreAppEnvironment =
    ::testing::AddGlobalTestEnvironment(new CoreAppEnvironment);

inline std::string appDir() {
    const char* d = std::getenv("KESTROVA_APP_DIR");
    return d ? d : "";
}

inline const long long kT0 = static_cast<long long>(std::time(nullptr)) - 7200;

inline std::string when(long long unixSeconds) {
    return formatDateTime(fromUnix(unixSeconds));
}

// A non-interactive App (only mail entries are scanned unless interactive is
// asked for) that loads the libraries of the built program.
class PassHarness {
public:
    explicit PassHarness(bool interactive = false) : fx(interactive) {
        fx.app.programDir = appDir();
        ::mkdir(path("w").c_str(), 0755);
    }

    App& app() { return fx.app; }
    std::string path(const std::string& name) const { return fx.dir / name; }

    void writeSettings(const std::string& smtp, const std::string& extra = "") {
        writeFile(fx.settingsFile(),
                  text::encodeFile("[InitSetting]\r\nSmtpServer=" + smtp +
                                   "\r\nMailFromAddr=watch@example.com\r\nMailTitle=更新通知\r\n"
                                   "MailMsg=変更がありました。\r\nCheckSec=1\r\n" +
                                   extra));
    }
    void writeList(const std::vector<WatchEntry>& list) {
        writeFile(fx.watchListFile(), text::encodeFile(watchListText(list)));
    }
    // A folder below w/ and its entry.
    WatchEntry folderEntry(const std::string& name, const std::string& mailTo,
                           std::int32_t mode = NotifyDelete | NotifyUpdate | NotifyNew) {
        std::string folder = path("w/" + name) + "/";
        ::mkdir(folder.c_str(), 0755);
        WatchEntry e;
        e.CheckFolder = folder;
        e.SendMailTo = mailTo;
        e.FileChkMode = mode;
        return e;
    }
    CheckCycle& cycle() {
        if (!cycle_)
            cycle_ = std::make_unique<CheckCycle>(fx.app);
        return *cycle_;
    }
    void pass() { cycle().FolderCheckSub(); }

    std::string log() const { return text::decodeFile(readFile(fx.app.log.logFile())); }
    bool logHas(const std::string& part) const { return log().find(part) != std::string::npos; }
    size_t logCount(const std::string& part) const { return countIn(log(), part); }
    static size_t countIn(const std::string& text, const std::string& part) {
        size_t n = 0;
        for (size_t p = text.find(part); p != std::string::npos; p = text.find(part, p + 1))
            ++n;
        return n;
    }

    AppFixture fx;

private:
    std::unique_ptr<CheckCycle> cycle_;
};

// The real program on a folder of its own: `kestrova b` in the background,
// or one `kestrova check`.
class Watcher {
public:
    explicit Watcher(std::string folder) : folder_(std::move(folder)) {}
    ~Watcher() { stop(); }
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();

    void start() {
        process_.setProgram(QString::fromStdString(appDir() + "/kestrova"));
        process_.setArguments({"b", "--folder", QString::fromStdString(folder_)});
        process_.setProcessEnvironment(env);
        process_.start();
        process_.waitForStarted();
    }
    // SIGTERM; the exit status, or -1 when it took longer than limitMs.
    int terminate(int limitMs = 10000) {
        if (process_.state() == QProcess::NotRunning)
            return process_.exitCode();
        ::kill(static_cast<pid_t>(process_.processId()), SIGTERM);
        if (!process_.waitForFinished(limitMs))
            return -1;
        return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : 128 + SIGTERM;
    }
    void stop() {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }
    int check() {
        QProcess p;
        p.setProgram(QString::fromStdString(appDir() + "/kestrova"));
        p.setArguments({"check", "--folder", QString::fromStdString(folder_)});
        p.setProcessEnvironment(env);
        p.start();
        p.waitForFinished(120000);
        return p.exitCode();
    }

private:
    std::string folder_;
    QProcess process_;
};

// The built program copied to a portable folder of its own (settings and
// watch list beside it) and run as `kestrova b`.
class RealProgram {
public:
    explicit RealProgram(const std::string& folder) : folder_(folder) {
        std::filesystem::create_directories(folder);
        for (const char* f : {"kestrova", "libbsmtp.so", "libunlha32.so"})
            std::filesystem::copy_file(std::filesystem::path(appDir()) / f,
                                       std::filesystem::path(folder) / f);
    }
    ~RealProgram() { stop(); }
    RealProgram(const RealProgram&) = delete;
    RealProgram& operator=(const RealProgram&) = delete;
    std::string path(const std::string& name) const { return folder_ + "/" + name; }
    // Starts one more run. runtime "" starts it without XDG_RUNTIME_DIR;
    // extra is NAME=VALUE.
    void start(const std::string& runtime, const std::vector<std::string>& extra = {}) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* v : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_RUNTIME_DIR"})
            env.remove(v);
        if (!runtime.empty())
            env.insert("XDG_RUNTIME_DIR", QString::fromStdString(runtime));
        for (const std::string& e : extra)
            env.insert(QString::fromStdString(e.substr(0, e.find('='))),
                       QString::fromStdString(e.substr(e.find('=') + 1)));
        auto& p = *runs_.emplace_back(std::make_unique<QProcess>());
        p.setProcessEnvironment(env);
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(QString::fromStdString(path("kestrova")), {"b"});
        EXPECT_TRUE(p.waitForStarted(5000));
    }
    // Ends every run as a service manager would; returns what they printed.
    std::string stop() {
        std::string out;
        for (auto& p : runs_) {
            p->terminate();
            if (!p->waitForFinished(15000))
                p->kill();
            p->waitForFinished(2000);
            out += p->readAll().toStdString();
        }
        runs_.clear();
        return out;
    }
    std::string log() const { return text::decodeFile(readFile(path("kestrova.log"))); }

private:
    std::string folder_;
    std::vector<std::unique_ptr<QProcess>> runs_;
};

// A program folder watching dir/w/ with mail to ops@example.com.
inline std::string watchFolder(RealProgram& program, const TempDir& dir,
                               const std::string& smtpAddress) {
    const std::string watched = dir / "w/";
    std::filesystem::create_directories(watched);
    writeFile(program.path("kestrova.ini"),
              text::encodeFile("[InitSetting]\r\nSmtpServer=" + smtpAddress +
                               "\r\nMailFromAddr=watch@example.com\r\nCheckSec=1\r\n"));
    writeFile(program.path("kestrovaD.ini"),
              text::encodeFile("[CheckFolders]\r\n0=" + watched +
                               "\r\n[SendMailTo]\r\n0=ops@example.com\r\n"
                               "[FileChkMode]\r\n0=7\r\n"));
    return watched;
}

// Mail body with CR LF line ends whatever the parser gave back.
inline std::string crlf(const std::string& s) {
    return text::replaceAll(text::replaceAll(s, "\r\n", "\n"), "\n", "\r\n");
}

} // namespace kestrova::test
