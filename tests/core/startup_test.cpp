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
