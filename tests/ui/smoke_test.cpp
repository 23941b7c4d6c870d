// Starts the real program under a virtual X server with a system tray (and
// a window manager where openbox is installed): the window appears, hides
// itself into the tray, a second start from the same folder ends with
// status 0 and brings it back, and the update message window comes up
// without taking the keyboard from the user's window.
#include "core/App.h"
#include "core/Settings.h"
#include "support/TempDir.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>
#include <gtest/gtest.h>
#include <memory>
#include <sys/stat.h>

using namespace kestrova;
using kestrova::test::TempDir;
using kestrova::test::writeFile;

namespace {

struct Tool {
    QString path;
    explicit Tool(const char* name)
        : path(QStandardPaths::findExecutable(QString::fromLatin1(name))) {}
};

// Runs a tool to its end; its standard output, or "" on failure.
QString run(const QString& program, const QStringList& args, const QProcessEnvironment& env,
            int* exitCode = nullptr) {
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    if (!p.waitForFinished(20000)) {
        p.kill();
        p.waitForFinished();
        return {};
    }
    if (exitCode)
        *exitCode = p.exitCode();
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

// Stops a started process at the end of the test, whatever happened.
struct Started {
    std::unique_ptr<QProcess> process = std::make_unique<QProcess>();
    ~Started() {
        if (process->state() != QProcess::NotRunning) {
            process->terminate();
            if (!process->waitForFinished(5000)) {
                process->kill();
                process->waitForFinished();
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

// The files of a folder with their sizes and times, to see that nothing
// was written.
QStringList snapshot(const QString& folder) {
    QStringList out;
    for (const QFileInfo& i : QDir(folder).entryInfoList(QDir::Files | QDir::NoDotAndDotDot))
        out << i.fileName() + " " + QString::number(i.size()) + " " +
                   QString::number(i.lastModified().toMSecsSinceEpoch());
    return out;
}

} // namespace

TEST(Smoke, RealProgramUnderXvfb) {
    Tool xvfb("Xvfb"), trayer("trayer"), xdotool("xdotool"), import("import");
    if (xvfb.path.isEmpty() || trayer.path.isEmpty() || xdotool.path.isEmpty() ||
        import.path.isEmpty())
        GTEST_SKIP() << "Xvfb, trayer, xdotool or import missing";
    const char* appDir = std::getenv("KESTROVA_APP_DIR");
    ASSERT_NE(appDir, nullptr);

    // A copy of the portable folder with three watch entries.
    TempDir dir;
    const std::string folder = dir / "kv_smoke";
    ::mkdir(folder.c_str(), 0700);
    for (const char* name : {"kestrova", "libbsmtp.so", "libunlha32.so"})
        ASSERT_TRUE(QFile::copy(QString::fromStdString(std::string(appDir) + "/" + name),
                                QString::fromStdString(folder + "/" + name)));
    QFile::setPermissions(QString::fromStdString(folder + "/kestrova"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    {
        App app;
        app.settings.SettingsFile = folder + "/kestrova.ini";
        app.settings.WatchListFile = folder + "/kestrovaD.ini";
        app.log.setBasePath(folder + "/kestrova");
        app.settings.CheckSec = "1";
        app.watchList = {
            {folder + "/データ/", "メッセージ表示", 7, "99999", {}},
            {"/home/user/とても長い名前のフォルダ/projects/2024/reports/quarterly/final/"
             "versions/draft.txt",
             "someone@example.jp",
             5,
             "99999",
             {}},
            {"/etc/hosts", "メッセージ表示", 0, "99999", {}},
        };
        ASSERT_TRUE(WriteIni(app));
    }

    // A free display number.
    int display = 73;
    while (display < 99 && QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(display)))
        ++display;
    const QString displayName = QStringLiteral(":%1").arg(display);
    Started server;
    server.process->start(xvfb.path,
                          {displayName, "-screen", "0", "1280x800x24", "-nolisten", "tcp"});
    if (!server.process->waitForStarted(5000) ||
        !waitFor([&] { return QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(display)); },
                 10000))
        GTEST_SKIP() << "Xvfb did not start";

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("QT_QPA_PLATFORM");
    env.insert("DISPLAY", displayName);
    // No notification service: the machine's session bus stays out of it.
    env.insert("DBUS_SESSION_BUS_ADDRESS", QString::fromStdString("unix:path=" + (dir / "nobus")));
    env.insert("XDG_RUNTIME_DIR", QString::fromStdString(dir.path()));
    env.insert("LC_ALL", "C.UTF-8");

    Started tray;
    tray.process->setProcessEnvironment(env);
    tray.process->start(trayer.path, {"--edge", "bottom", "--align", "right", "--widthtype",
                                      "pixel", "--width", "120", "--height", "24"});
    ASSERT_TRUE(tray.process->waitForStarted(5000));
    Started manager;
    const QString openbox = QStandardPaths::findExecutable("openbox");
    if (!openbox.isEmpty()) {
        manager.process->setProcessEnvironment(env);
        manager.process->start(openbox, QStringList{});
    }
    QThread::msleep(1000);

    // xdotool matches window names as a pattern: the folder name is plain.
    auto windows = [&](bool visibleOnly) {
        QStringList args{"search"};
        if (visibleOnly)
            args << "--onlyvisible";
        args << "--name"
             << "kv_smoke";
        return run(xdotool.path, args, env);
    };

    Started first;
    first.process->setProcessEnvironment(env);
    first.process->setWorkingDirectory(QString::fromStdString(folder));
    first.process->start(QString::fromStdString(folder + "/kestrova"), {});
    ASSERT_TRUE(first.process->waitForStarted(5000));
    ASSERT_TRUE(waitFor([&] { return !windows(false).isEmpty(); }, 15000)) << "no main window";

    // Untouched, with rows and a tray: the window goes into the tray.
    EXPECT_TRUE(waitFor([&] { return windows(true).isEmpty(); }, 10000))
        << "the window did not hide into the tray";
    const QStringList before = snapshot(QString::fromStdString(folder));

    // A second start from the same folder: status 0, nothing written, the
    // first one's window comes back.
    int status = -1;
    QProcess second;
    second.setProcessEnvironment(env);
    second.setWorkingDirectory(QString::fromStdString(folder));
    second.start(QString::fromStdString(folder + "/kestrova"), {});
    ASSERT_TRUE(second.waitForFinished(20000));
    status = second.exitCode();
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(snapshot(QString::fromStdString(folder)), before);
    EXPECT_TRUE(waitFor([&] { return !windows(true).isEmpty(); }, 10000))
        << "the first window did not come back";
    EXPECT_EQ(first.process->state(), QProcess::Running);

    // The tray holds the icon: trayer's window has a child.
    QString tree = run(QStandardPaths::findExecutable("xwininfo"), {"-root", "-tree"}, env);
    if (!tree.isEmpty()) {
        EXPECT_TRUE(tree.contains("kestrova")) << tree.toStdString();
    }

    // The user types in another window; a notice leaves the keyboard there.
    const QString xmessage = QStandardPaths::findExecutable("xmessage");
    if (!openbox.isEmpty() && !xmessage.isEmpty()) {
        Started user;
        user.process->setProcessEnvironment(env);
        user.process->start(xmessage, {"-geometry", "400x120+400+300", "user"});
        QString userWindow;
        ASSERT_TRUE(waitFor(
            [&] {
                userWindow = run(xdotool.path, {"search", "--class", "xmessage"}, env);
                return !userWindow.isEmpty();
            },
            10000));
        userWindow = userWindow.split('\n').first();
        run(xdotool.path, {"windowactivate", "--sync", userWindow}, env);
        ASSERT_EQ(run(xdotool.path, {"getactivewindow"}, env), userWindow);
        ::mkdir((folder + "/データ").c_str(), 0700);
        writeFile(folder + "/データ/new.txt", "new");
        EXPECT_TRUE(waitFor(
            [&] {
                return !run(xdotool.path, {"search", "--onlyvisible", "--name", "ファイル更新通知"},
                            env)
                            .isEmpty();
            },
            30000))
            << "no update message window";
        EXPECT_EQ(run(xdotool.path, {"getactivewindow"}, env), userWindow);
    }

    // A session's end (SIGTERM) ends it at once, the message window still
    // shown: that window only hides when closed, which must not hold it.
    QThread::msleep(500);
    const QString shot = QDir::currentPath() + "/kestrova_smoke.png";
    run(import.path, {"-window", "root", shot}, env);
    EXPECT_TRUE(QFileInfo(shot).size() > 0);
    first.process->terminate();
    EXPECT_TRUE(first.process->waitForFinished(3000)) << "still running 3 s after SIGTERM";
    EXPECT_EQ(first.process->exitStatus(), QProcess::NormalExit);
}
