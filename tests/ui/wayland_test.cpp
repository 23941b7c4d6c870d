// Starts the real program under a headless Wayland compositor (weston):
// it connects, its main window is mapped with the main caption and the
// default outer size, and a second start from the same folder hands over.
// The update message window under the same compositor stores its size but
// no position.
#include "core/Numeric.h"
#include "core/Settings.h"
#include "support/AppFixture.h"
#include "support/TempDir.h"
#include "ui/MsgForm.h"
#include "ui/WindowPlacement.h"

#include <QApplication>
#include <QElapsedTimer>

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <sys/stat.h>

using namespace kestrova;
using kestrova::test::TempDir;

namespace {

struct Started {
    QProcess process;
    ~Started() {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            if (!process.waitForFinished(5000)) {
                process.kill();
                process.waitForFinished();
            }
        }
    }
};

bool waitFor(const std::function<bool()>& condition, int ms) {
    for (int waited = 0; waited < ms; waited += 100) {
        if (condition())
            return true;
        QThread::msleep(100);
    }
    return condition();
}

QString readText(const std::string& path) {
    QFile f(QString::fromStdString(path));
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

} // namespace

TEST(Wayland, RealProgramUnderHeadlessWeston) {
    const QString weston = QStandardPaths::findExecutable("weston");
    if (weston.isEmpty())
        GTEST_SKIP() << "weston is not installed (apt-get install weston)";
    const char* appDir = std::getenv("KESTROVA_APP_DIR");
    ASSERT_NE(appDir, nullptr);

    TempDir dir;
    const std::string runtime = dir / "run", folder = dir / "kv";
    ::mkdir(runtime.c_str(), 0700);
    ::mkdir(folder.c_str(), 0700);
    for (const char* name : {"kestrova", "libbsmtp.so", "libunlha32.so"})
        ASSERT_TRUE(QFile::copy(QString::fromStdString(std::string(appDir) + "/" + name),
                                QString::fromStdString(folder + "/" + name)));
    QFile::setPermissions(QString::fromStdString(folder + "/kestrova"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    // The compositor logs every request of its clients ("proto"), which is
    // how the test sees the window.
    const std::string protoLog = dir / "weston.log";
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.remove("QT_QPA_PLATFORM");
    env.insert("XDG_RUNTIME_DIR", QString::fromStdString(runtime));
    Started compositor;
    compositor.process.setProcessEnvironment(env);
    compositor.process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    compositor.process.start(weston, {"--backend=headless-backend.so", "--socket=kestrova-test",
                                      "--idle-time=0", "--width=1280", "--height=800",
                                      "--logger-scopes=log,proto",
                                      QString::fromStdString("--log=" + protoLog)});
    ASSERT_TRUE(compositor.process.waitForStarted(5000));
    ASSERT_TRUE(waitFor(
        [&] { return QFile::exists(QString::fromStdString(runtime + "/kestrova-test")); }, 15000))
        << readText(protoLog).toStdString();

    env.insert("WAYLAND_DISPLAY", "kestrova-test");
    env.insert("QT_QPA_PLATFORM", "wayland");
    Started program;
    program.process.setProcessEnvironment(env);
    program.process.start(QString::fromStdString(folder + "/kestrova"), QStringList{});
    ASSERT_TRUE(program.process.waitForStarted(5000));

    // Mapped: the toplevel carries the main caption, the compositor's
    // configure was answered with the window's geometry, and a buffer
    // was attached after that.
    const QString caption = QStringLiteral("set_title(\"ケストロバ(Ver.");
    bool mapped = waitFor(
        [&] {
            QString log = readText(protoLog);
            int title = log.indexOf(caption);
            int geometry = log.indexOf(".set_window_geometry(", title);
            return title >= 0 && geometry >= 0 && log.indexOf(".attach(wl_buffer@", geometry) >= 0;
        },
        20000);
    QString log = readText(protoLog);
    ASSERT_TRUE(mapped) << program.process.readAllStandardError().toStdString();
    EXPECT_NE(log.indexOf(QStringLiteral("[起動フォルダ:") + QString::fromStdString(folder) + "]"),
              -1);
    // The default 14500 x 2850 twips are the outer size, title bar
    // included: at Wayland's 96 dpi 967 x 190 pixels of window geometry.
    EXPECT_NE(log.indexOf(QStringLiteral(".set_window_geometry(0, 0, 967, 190)")), -1)
        << log.mid(log.indexOf(caption)).left(4000).toStdString();
    EXPECT_EQ(program.process.state(), QProcess::Running);

    // A second start from the same folder brings the first to the front.
    QProcess second;
    second.setProcessEnvironment(env);
    second.start(QString::fromStdString(folder + "/kestrova"), QStringList{});
    ASSERT_TRUE(second.waitForFinished(20000));
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_EQ(program.process.state(), QProcess::Running);
}

TEST(Wayland, PositionsAreNeitherAppliedNorStored) {
    const QString weston = QStandardPaths::findExecutable("weston");
    if (weston.isEmpty())
        GTEST_SKIP() << "weston is not installed (apt-get install weston)";
    TempDir dir;
    const std::string runtime = dir / "run";
    ::mkdir(runtime.c_str(), 0700);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_RUNTIME_DIR", QString::fromStdString(runtime));
    Started compositor;
    compositor.process.setProcessEnvironment(env);
    compositor.process.start(weston, {"--backend=headless-backend.so", "--socket=kestrova-place",
                                      "--idle-time=0", "--width=1280", "--height=800"});
    ASSERT_TRUE(compositor.process.waitForStarted(5000));
    ASSERT_TRUE(waitFor(
        [&] { return QFile::exists(QString::fromStdString(runtime + "/kestrova-place")); }, 15000));

    // This process becomes the Wayland client.
    qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(runtime));
    qputenv("WAYLAND_DISPLAY", "kestrova-place");
    qputenv("QT_QPA_PLATFORM", "wayland");
    int argc = 1;
    char name[] = "ui_wayland_test";
    char* argv[] = {name, nullptr};
    QApplication qapp(argc, argv);
    ASSERT_TRUE(QGuiApplication::platformName().startsWith("wayland"));
    EXPECT_FALSE(WindowPlacement::positionsKnown());

    test::AppFixture f;
    for (auto [k, v] :
         {std::pair{"Left", "1500"}, {"Top", "750"}, {"Width", "9000"}, {"Height", "3000"}})
        WriteIniValue(f.app, "MsgForm", k, v, f.settingsFile());
    MsgForm form(f.app);
    form.Form_Load();
    f.app.message.text = "本文";
    form.MsgShow();
    QElapsedTimer shown;
    shown.start();
    while (shown.elapsed() < 1500)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_TRUE(form.isVisible());
    form.resize(700, 250);
    form.MsgShow(); // a second message while it is open
    while (shown.elapsed() < 2500)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_TRUE(form.isVisible());
    form.CloseButton_Click();
    // The X11 position stays; the size is what the window had.
    EXPECT_EQ(GetIniValue(f.app, "MsgForm", "Left", "", f.settingsFile()), "1500");
    EXPECT_EQ(GetIniValue(f.app, "MsgForm", "Top", "", f.settingsFile()), "750");
    EXPECT_EQ(GetIniValue(f.app, "MsgForm", "Width", "", f.settingsFile()),
              numberText(WindowPlacement::toTwipsX(form.frameGeometry().width())));
    EXPECT_NE(GetIniValue(f.app, "MsgForm", "Width", "", f.settingsFile()), "9000");
}
