#include "core/Startup.h"
#include "support/TempDir.h"

#include <QProcess>
#include <QThread>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <signal.h>

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
    EXPECT_TRUE(parseCommandLine({"bb"}).Interactive);
    EXPECT_TRUE(parseCommandLine({"-b"}).Interactive);
    EXPECT_FALSE(parseCommandLine({"b x"}).Interactive);
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

// A stored password that does not decode: the cipher's report reaches
// standard error; the run goes on.
TEST(Startup, UndecodablePasswordIsReportedOnStandardError) {
    PortableCopy copy(true);
    test::writeFile(copy.dir / "kestrova.ini",
                    "[InitSetting]\r\nCheckSec=3600\r\nMailFromPass=A===\r\n");
    HeadlessRun r = runHeadless(copy, 1500);
    EXPECT_FALSE(r.finished);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err.rfind("システムエラー\n", 0), 0u) << r.err;
    EXPECT_GT(r.err.size(), std::string("システムエラー\n").size() + 1);
}
