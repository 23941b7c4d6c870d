#include "core/Startup.h"
#include "support/TempDir.h"

#include <QProcess>
#include <QThread>
#include <algorithm>
#include <arpa/inet.h>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kestrova;
namespace fs = std::filesystem;

TEST(Startup, CommandLineFirstWordOnly) {
    EXPECT_FALSE(parseCommandLine({"b"}).Interactive);
    EXPECT_FALSE(parseCommandLine({"B"}).Interactive);
    EXPECT_FALSE(parseCommandLine({"I"}).StartVisible);
    StartOptions ib = parseCommandLine({"i", "b"});
    EXPECT_TRUE(ib.Interactive);
    EXPECT_FALSE(ib.StartVisible);
    StartOptions none = parseCommandLine({});
    EXPECT_TRUE(none.Interactive);
    EXPECT_TRUE(none.StartVisible);
    // Any other word or option is a usage error, not a silent desktop start.
    for (const char* bad : {"bb", "-b", "b x", "--check", "x"})
        EXPECT_FALSE(parseCommandLine({bad}).Error.empty()) << bad;
    EXPECT_TRUE(parseCommandLine({"b B"}).Error.empty());
    // A command word takes what follows it, options and blanks included.
    StartOptions c = parseCommandLine({"--folder", "/k", "watch", "add", "/a b/", "--to", "x"});
    EXPECT_EQ(c.Command, "watch");
    EXPECT_EQ(c.CommandArgs, (std::vector<std::string>{"add", "/a b/", "--to", "x"}));
    EXPECT_EQ(c.Folder, "/k");
    EXPECT_EQ(parseCommandLine({"check", "--folder=/k"}).Folder, "/k");
}

TEST(Startup, TitleCaptionAndPath) {
    EXPECT_EQ(makeAppTitle(1, 2, 6), "ケストロバ(Ver.1.26)");
    EXPECT_EQ(makeAppTitle(1, 0, 0), "ケストロバ(Ver.1.00)");
    EXPECT_EQ(makeMainCaption("T", "/opt/k"), "T [起動フォルダ:/opt/k]");
    EXPECT_EQ(extendedPath("/usr/bin", "/opt/k"), "/usr/bin:/opt/k");
    EXPECT_EQ(extendedPath("/usr/bin:", "/opt/k"), "/usr/bin:/opt/k");
    EXPECT_EQ(computerName().find(' '), std::string::npos);
}

namespace {

// A portable copy of the program in a temporary folder.
struct PortableCopy {
    test::TempDir dir;
    explicit PortableCopy(bool withMailLibrary) {
        std::string app = std::getenv("KESTROVA_APP_DIR");
        fs::copy_file(app + "/kestrova", dir / "kestrova");
        fs::copy_file(app + "/libunlha32.so", dir / "libunlha32.so");
        if (withMailLibrary)
            fs::copy_file(app + "/libbsmtp.so", dir / "libbsmtp.so");
    }
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir.path()))
            names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
};

} // namespace

TEST(Startup, MissingMailLibraryStopsBeforeAnything) {
    PortableCopy copy(false);
    QProcess p;
    p.setProgram(QString::fromStdString(copy.dir / "kestrova"));
    p.setArguments({"b"});
    p.start();
    ASSERT_TRUE(p.waitForFinished(20000));
    EXPECT_EQ(p.exitCode(), 1);
    EXPECT_EQ(p.readAllStandardError().toStdString(),
              "libbsmtp.so を kestrova と同じフォルダに置いてください。\n");
    EXPECT_EQ(copy.entries(), (std::vector<std::string>{"kestrova", "libunlha32.so"}));
}

TEST(Startup, HeadlessRunCreatesTempWritesNothingAndStopsOnSigterm) {
    PortableCopy copy(true);
    test::writeFile(copy.dir / "kestrova.ini", "[InitSetting]\r\nCheckSec=3600\r\n");
    std::string before = test::readFile(copy.dir / "kestrova.ini");
    QProcess p;
    p.setProgram(QString::fromStdString(copy.dir / "kestrova"));
    p.setArguments({"b"});
    auto env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    env.remove("QT_QPA_PLATFORM");
    p.setProcessEnvironment(env);
    p.start();
    ASSERT_TRUE(p.waitForStarted());
    for (int i = 0; i < 100 && !test::exists(copy.dir / "Temp"); ++i)
        QThread::msleep(50);
    EXPECT_TRUE(fs::is_directory(copy.dir / "Temp"));
    QThread::msleep(300);
    ::kill(static_cast<pid_t>(p.processId()), SIGTERM);
    ASSERT_TRUE(p.waitForFinished(10000));
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), 0);
    EXPECT_EQ(test::readFile(copy.dir / "kestrova.ini"), before);
    EXPECT_FALSE(test::exists(copy.dir / "kestrovaD.ini"));
}

TEST(Startup, CommandLineOptions) {
    StartOptions o = parseCommandLine({"--folder", "/srv/k", "b"});
    EXPECT_EQ(o.Folder, "/srv/k");
    EXPECT_FALSE(o.Interactive);
    o = parseCommandLine({"i", "--folder=rel/k"});
    EXPECT_EQ(o.Folder, "rel/k");
    EXPECT_FALSE(o.StartVisible);
    EXPECT_TRUE(o.Error.empty());
    EXPECT_FALSE(parseCommandLine({"b", "--folder"}).Error.empty());
    EXPECT_FALSE(parseCommandLine({"--folder="}).Error.empty());
    EXPECT_TRUE(parseCommandLine({"--help"}).ShowHelp);
    EXPECT_TRUE(parseCommandLine({"-h"}).ShowHelp);
    EXPECT_TRUE(parseCommandLine({"b", "--version"}).ShowVersion);
    // The first word is the first one that is no option.
    EXPECT_FALSE(parseCommandLine({"--version", "B"}).Interactive);
    EXPECT_FALSE(parseCommandLine({"--other", "b"}).Error.empty());
    EXPECT_EQ(versionText(), "kestrova " + std::to_string(KESTROVA_VERSION_MAJOR) + "." +
                                 std::to_string(KESTROVA_VERSION_MINOR) + "." +
                                 std::to_string(KESTROVA_VERSION_PATCH) + " (" +
                                 makeAppTitle(KESTROVA_VERSION_MAJOR, KESTROVA_VERSION_MINOR,
                                              KESTROVA_VERSION_PATCH) +
                                 ")\n");
}

TEST(Startup, ProgramFolderRules) {
    test::TempDir dir;
    std::string error;
    // A folder of its own, absolute or from the current folder.
    EXPECT_EQ(programFolder("/usr/lib/kestrova", "/srv/k//", error), "/srv/k");
    char cwd[PATH_MAX + 1] = {};
    ASSERT_TRUE(::getcwd(cwd, PATH_MAX));
    EXPECT_EQ(programFolder(dir.path(), "rel", error), std::string(cwd) + "/rel");
    // A writable executable folder is the portable copy.
    EXPECT_EQ(programFolder(dir.path(), "", error), dir.path().string());
    // The system's tree, even where this user may write (root), is not.
    const char* oldXdg = std::getenv("XDG_DATA_HOME");
    const char* oldHome = std::getenv("HOME");
    std::string savedXdg = oldXdg ? oldXdg : "", savedHome = oldHome ? oldHome : "";
    ::setenv("XDG_DATA_HOME", (dir / "data/").c_str(), 1);
    EXPECT_EQ(programFolder("/usr/lib/kestrova", "", error), dir / "data/kestrova");
    // A relative XDG_DATA_HOME is to be ignored.
    ::setenv("XDG_DATA_HOME", "data", 1);
    ::setenv("HOME", (dir / "home").c_str(), 1);
    EXPECT_EQ(programFolder("/usr/lib/kestrova", "", error), dir / "home/.local/share/kestrova");
    ::unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(programFolder("/usr/lib/kestrova", "", error), dir / "home/.local/share/kestrova");
    oldXdg ? ::setenv("XDG_DATA_HOME", savedXdg.c_str(), 1) : ::unsetenv("XDG_DATA_HOME");
    oldHome ? ::setenv("HOME", savedHome.c_str(), 1) : ::unsetenv("HOME");

    // Made with mode 0700, missing parents too; a file in the way fails.
    std::string made = dir / "home/.local/share/kestrova";
    ASSERT_TRUE(makeProgramFolder(made, error)) << error;
    struct stat st {};
    ASSERT_EQ(::stat(made.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    ASSERT_EQ(::stat((dir / "home/.local").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_TRUE(makeProgramFolder(made, error)); // already there
    test::writeFile(dir / "file", "x");
    EXPECT_FALSE(makeProgramFolder(dir / "file", error));
    EXPECT_NE(error.find(dir / "file"), std::string::npos);
    EXPECT_FALSE(makeProgramFolder(dir / "file/sub", error));
}

namespace {

// The environment of a start from a terminal without any display.
QProcessEnvironment noDisplay() {
    auto env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "WAYLAND_SOCKET", "QT_QPA_PLATFORM",
                             "XDG_DATA_HOME", "JOURNAL_STREAM"})
        env.remove(QString::fromLatin1(name));
    return env;
}

struct ProgramRun {
    int exitCode = -1;
    std::string out, err;
};

ProgramRun runProgram(const std::string& program, const QStringList& args,
                      const QProcessEnvironment& env, int timeoutMs = 20000) {
    QProcess p;
    p.setProgram(QString::fromStdString(program));
    p.setArguments(args);
    p.setProcessEnvironment(env);
    p.start();
    ProgramRun r;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : 128 + p.exitCode();
    r.out = p.readAllStandardOutput().toStdString();
    r.err = p.readAllStandardError().toStdString();
    return r;
}

std::vector<std::string> entriesOf(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec))
        names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// A display number nobody serves.
std::string unusedDisplay() {
    for (int n = 99;; ++n) {
        std::string number = std::to_string(n);
        if (!test::exists(std::string("/tmp/.X11-unix/X").append(number)) &&
            !test::exists(std::string("/tmp/.X").append(number).append("-lock")))
            return std::string(":").append(number);
    }
}

} // namespace

TEST(Startup, HelpAndVersionCreateNothing) {
    PortableCopy copy(true);
    test::TempDir home;
    auto env = noDisplay();
    env.insert("HOME", QString::fromStdString(home.path()));
    ProgramRun help = runProgram(copy.dir / "kestrova", {"--help"}, env);
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.out, usageText());
    for (const char* word : {"使い方", "Usage:", "--folder", "~/.local/share/kestrova", "kestrova@",
                             "systemctl --user enable --now kestrova", " b "})
        EXPECT_NE(help.out.find(word), std::string::npos) << word;
    EXPECT_EQ(help.err, "");
    ProgramRun version = runProgram(copy.dir / "kestrova", {"b", "--version"}, env);
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, versionText());
    EXPECT_EQ(copy.entries(),
              (std::vector<std::string>{"kestrova", "libbsmtp.so", "libunlha32.so"}));
    EXPECT_TRUE(entriesOf(home.path()).empty());
    ProgramRun wrong = runProgram(copy.dir / "kestrova", {"b", "--folder"}, env);
    EXPECT_EQ(wrong.exitCode, 2);
    EXPECT_NE(wrong.err.find("--folder"), std::string::npos);
}

TEST(Startup, NoDisplayRefusesTheDesktopProgram) {
    PortableCopy copy(true);
    auto env = noDisplay();
    for (const QStringList& args : {QStringList{}, QStringList{"i"}}) {
        ProgramRun r = runProgram(copy.dir / "kestrova", args, env);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err, "kestrova: 画面がありません（DISPLAY も WAYLAND_DISPLAY も設定されて"
                         "いません）。ウィンドウなしで動かすには kestrova b を使ってください。\n"
                         "kestrova: no display (neither DISPLAY nor WAYLAND_DISPLAY is set); "
                         "use \"kestrova b\" to run without windows.\n");
    }
    // An X server that is not there: the same refusal, not Qt's abort,
    // also when Qt is told to use X.
    const std::string display = unusedDisplay();
    env.insert("DISPLAY", QString::fromStdString(display));
    for (const char* platform : {"", "xcb"}) {
        if (*platform)
            env.insert("QT_QPA_PLATFORM", platform);
        ProgramRun r = runProgram(copy.dir / "kestrova", {}, env);
        EXPECT_EQ(r.exitCode, 1) << platform;
        EXPECT_NE(r.err.find("kestrova: 画面に接続できません（DISPLAY=" + display + "）。"),
                  std::string::npos)
            << r.err;
        EXPECT_NE(r.err.find("cannot connect to the display (DISPLAY=" + display +
                             "); use \"kestrova b\" to run without windows.\n"),
                  std::string::npos);
    }
    // A Wayland socket that nobody listens on.
    test::TempDir runtime;
    env.remove("DISPLAY");
    env.insert("QT_QPA_PLATFORM", "wayland");
    env.insert("XDG_RUNTIME_DIR", QString::fromStdString(runtime.path()));
    env.insert("WAYLAND_DISPLAY", "wayland-none");
    ProgramRun r = runProgram(copy.dir / "kestrova", {}, env);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("WAYLAND_DISPLAY=wayland-none"), std::string::npos) << r.err;
    EXPECT_EQ(copy.entries(),
              (std::vector<std::string>{"kestrova", "libbsmtp.so", "libunlha32.so"}));
}

namespace {

// Starts "b" and waits until its Temp folder exists in folder; stops it.
bool headlessRunMakes(const std::string& program, const QStringList& args,
                      const QProcessEnvironment& env, const std::string& folder,
                      const QString& asUser = {}) {
    QProcess p;
    if (asUser.isEmpty()) {
        p.setProgram(QString::fromStdString(program));
        p.setArguments(QStringList{"b"} + args);
    } else {
        p.setProgram("setpriv");
        p.setArguments(QStringList{"--reuid=" + asUser, "--regid=" + asUser, "--clear-groups",
                                   QString::fromStdString(program), "b"} +
                       args);
    }
    p.setProcessEnvironment(env);
    p.start();
    if (!p.waitForStarted())
        return false;
    bool made = false;
    for (int i = 0; i < 200 && !made && p.state() == QProcess::Running; ++i) {
        made = fs::is_directory(folder + "/Temp");
        if (!made)
            QThread::msleep(50);
    }
    ::kill(static_cast<pid_t>(p.processId()), SIGTERM);
    p.waitForFinished(10000);
    if (!made)
        ADD_FAILURE() << p.readAllStandardError().toStdString();
    return made;
}

} // namespace

TEST(Startup, FolderOptionAndUnwritableExecutableFolder) {
    PortableCopy copy(true);
    test::TempDir home;
    auto env = noDisplay();
    env.insert("HOME", QString::fromStdString(home.path()));

    // --folder: everything goes there, created 0700; the executable's own
    // writable folder stays as it was.
    std::string chosen = home / "chosen/sub";
    ASSERT_TRUE(headlessRunMakes(copy.dir / "kestrova",
                                 {"--folder", QString::fromStdString(chosen)}, env, chosen));
    struct stat st {};
    ASSERT_EQ(::stat(chosen.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(copy.entries(),
              (std::vector<std::string>{"kestrova", "libbsmtp.so", "libunlha32.so"}));

    // An executable folder this user cannot write to: the XDG data folder.
    // Root writes everywhere, so as root the run is made as nobody.
    QString asUser;
    if (::geteuid() == 0) {
        asUser = "65534";
        ::chmod(copy.dir.path().c_str(), 0755);
        ::chmod(home.path().c_str(), 0755);
        for (const std::string& p : {home / "xdg", home / "nobody"}) {
            fs::create_directories(p);
            ASSERT_EQ(::chown(p.c_str(), 65534, 65534), 0);
        }
    } else {
        fs::create_directories(home / "nobody");
        ::chmod(copy.dir.path().c_str(), 0555);
    }
    env.insert("HOME", QString::fromStdString(home / "nobody"));
    std::string xdgDefault = home / "nobody/.local/share/kestrova";
    ASSERT_TRUE(headlessRunMakes(copy.dir / "kestrova", {}, env, xdgDefault, asUser));
    ASSERT_EQ(::stat(xdgDefault.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    env.insert("XDG_DATA_HOME", QString::fromStdString(home / "xdg"));
    ASSERT_TRUE(headlessRunMakes(copy.dir / "kestrova", {}, env, home / "xdg/kestrova", asUser));
    ::chmod(copy.dir.path().c_str(), 0755);
    EXPECT_EQ(copy.entries(),
              (std::vector<std::string>{"kestrova", "libbsmtp.so", "libunlha32.so"}));
}

namespace {

// A port on loopback that nobody listens on.
int closedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

// Standard error of a "b" run whose first pass mails a deletion to a closed
// port, read until a warning line came (or 20 s passed). journal: the run's
// JOURNAL_STREAM names its own standard error, as under systemd.
std::string headlessStderr(PortableCopy& copy, bool journal) {
    test::writeFile(copy.dir / "kestrova.ini",
                    "[InitSetting]\r\nSmtpServer=127.0.0.1:" + std::to_string(closedPort()) +
                        "\r\nMailFromAddr=watch@example.com\r\nCheckSec=1\r\n");
    fs::create_directories(copy.dir / "w");
    test::writeFile(copy.dir / "kestrovaD.ini",
                    "[CheckFolders]\r\n0=" + (copy.dir / "w/") +
                        "\r\n[SendMailTo]\r\n0=ops@example.com\r\n[FileChkMode]\r\n0=7\r\n"
                        "[CheckFiles]\r\n0_0_path=" +
                        (copy.dir / "w/gone") + "\r\n0_0_date=2026/12/07 6:05:09\r\n");
    QProcess p;
    p.setProgram("/bin/sh");
    std::string stream = journal ? "$(stat -L -c %d:%i /proc/self/fd/2)" : "1:1";
    p.setArguments({"-c", QString::fromStdString("JOURNAL_STREAM=" + stream + " exec \"$0\" b"),
                    QString::fromStdString(copy.dir / "kestrova")});
    p.setProcessEnvironment(noDisplay());
    p.start();
    std::string err;
    for (int i = 0; i < 200 && err.find("<4>") == std::string::npos; ++i) {
        p.waitForReadyRead(100);
        err += p.readAllStandardError().toStdString();
        if (!journal && test::exists(copy.dir / "kestrova.log") &&
            test::readFile(copy.dir / "kestrova.log").find("\r\n") != std::string::npos)
            break;
    }
    p.terminate();
    p.waitForFinished(10000);
    return err + p.readAllStandardError().toStdString();
}

} // namespace

TEST(Startup, HeadlessRunLogsToTheJournal) {
    PortableCopy copy(true);
    std::string err = headlessStderr(copy, true);
    // Each log line once more, in UTF-8, behind its priority.
    EXPECT_NE(err.find("\tMsgForm\tSendFileUpdMsg\tトレース　  \t"), std::string::npos) << err;
    for (size_t pos = 0; pos < err.size(); pos = err.find('\n', pos) + 1) {
        EXPECT_EQ(err[pos], '<') << err.substr(pos);
        EXPECT_NE(std::string("3467").find(err[pos + 1]), std::string::npos) << err.substr(pos);
        if (err.find('\n', pos) == std::string::npos)
            break;
    }
    size_t warning = err.find("\n<4>");
    ASSERT_NE(warning, std::string::npos) << err;
    EXPECT_NE(err.find("\tMsgForm\tSendFileUpdMsg\tワーニング  \t", warning), std::string::npos);
    std::string log = test::readFile(copy.dir / "kestrova.log");
    EXPECT_EQ(log.find('<'), std::string::npos);
    EXPECT_NE(log.find("\r\n"), std::string::npos);

    // Standard error that is not the journal named gets nothing.
    PortableCopy other(true);
    EXPECT_EQ(headlessStderr(other, false), "");
}

namespace {

struct HeadlessRun {
    int exitCode = -1;
    bool finished = false;
    std::string err;
};

// Runs `kestrova b` from the copy; stops it with SIGTERM after stopAfterMs
// unless it ends by itself first.
HeadlessRun runHeadless(PortableCopy& copy, int stopAfterMs) {
    QProcess p;
    p.setProgram(QString::fromStdString(copy.dir / "kestrova"));
    p.setArguments({"b"});
    auto env = QProcessEnvironment::systemEnvironment();
    for (const char* v : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(v);
    env.insert("XDG_RUNTIME_DIR", QString::fromStdString(copy.dir.path()));
    p.setProcessEnvironment(env);
    p.start();
    HeadlessRun r;
    if (!p.waitForStarted())
        return r;
    if (!p.waitForFinished(stopAfterMs)) {
        ::kill(static_cast<pid_t>(p.processId()), SIGTERM);
        p.waitForFinished(10000);
    } else {
        r.finished = true;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.err = p.readAllStandardError().toStdString();
    return r;
}

} // namespace

// A Temp folder that cannot be made ends start-up with the failure shown:
// on standard error in a run without windows, and in the log.
TEST(Startup, TempThatCannotBeMadeEndsStartUpVisibly) {
    for (bool dangling : {false, true}) {
        PortableCopy copy(true);
        const std::string temp = copy.dir / "Temp";
        if (dangling)
            fs::create_symlink(copy.dir.path() / "gone" / "Temp", temp);
        else
            test::writeFile(temp, "a file, not a folder");
        test::writeFile(copy.dir / "kestrova.ini", "[InitSetting]\r\nCheckSec=3600\r\n");
        HeadlessRun r = runHeadless(copy, 5000);
        EXPECT_TRUE(r.finished) << "start-up went on";
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.err.find("＜システムエラー＞CommonModule:Main\n" + temp + ": "),
                  std::string::npos)
            << r.err;
        const std::string log = test::readFile(copy.dir / "kestrova.log");
        EXPECT_NE(log.find("\tCommonModule\tMain\t"), std::string::npos) << log;
    }
}

// A stored password that does not decode: the report names the key and the
// command that sets it, on standard error; the run goes on.
TEST(Startup, UndecodablePasswordIsReportedOnStandardError) {
    PortableCopy copy(true);
    test::writeFile(copy.dir / "kestrova.ini",
                    "[InitSetting]\r\nCheckSec=3600\r\nMailFromPass=A===\r\n");
    HeadlessRun r = runHeadless(copy, 1500);
    EXPECT_FALSE(r.finished);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.err.find("MailFromPass"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("kestrova password"), std::string::npos) << r.err;
}
