// The log viewer and the update message window under the offscreen
// platform.
#include "core/Settings.h"
#include "core/Text.h"
#include "support/AppFixture.h"
#include "ui/DesktopNotifier.h"
#include "ui/LogForm.h"
#include "ui/MsgForm.h"
#include "ui/UiTestApp.h"
#include "ui/WindowPlacement.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QTextBlock>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace kestrova;
using kestrova::test::AppFixture;
using kestrova::test::TempDir;
using kestrova::test::writeFile;

namespace {

std::string logLine(const std::string& time, const std::string& message) {
    return time + "\tModule\tProc\tトレース　  \t" + message + "\r\n";
}

QStringList shownLines(const LogForm& form) {
    return form.LogText->toPlainText().split('\n');
}

void storePlacement(App& app, const char* section, const char* left, const char* top,
                    const char* width, const char* height) {
    const std::string& file = app.settings.SettingsFile;
    WriteIniValue(app, section, "Left", left, file);
    WriteIniValue(app, section, "Top", top, file);
    WriteIniValue(app, section, "Width", width, file);
    WriteIniValue(app, section, "Height", height, file);
}

bool waitFor(const std::function<bool()>& condition, int ms = 5000) {
    QElapsedTimer t;
    t.start();
    while (!condition() && t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return condition();
}

// A private session bus that starts no services of its own.
struct PrivateBus {
    TempDir dir;
    QProcess daemon;
    QString address;
    PrivateBus() {
        const QString exe = QStandardPaths::findExecutable("dbus-daemon");
        if (exe.isEmpty())
            return;
        const std::string config = dir / "bus.conf";
        writeFile(config, "<busconfig><type>session</type><listen>unix:dir=" + dir.path().string() +
                              "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                              "<allow send_destination=\"*\" eavesdrop=\"true\"/>"
                              "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>");
        daemon.start(exe, {"--nofork", "--print-address=1",
                           QString::fromStdString("--config-file=" + config)});
        if (daemon.waitForReadyRead(10000))
            address = QString::fromUtf8(daemon.readLine()).trimmed();
    }
    ~PrivateBus() {
        daemon.terminate();
        daemon.waitForFinished(5000);
    }
};

// The desktop's notification service as far as a notice needs it: records
// every Notify and answers with a fresh id unless replaces_id names one.
class NoticeServer : public QDBusVirtualObject {
public:
    std::vector<QList<QVariant>> notices;
    uint next = 40;
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& m, const QDBusConnection& bus) override {
        if (m.member() == "GetCapabilities") {
            bus.send(m.createReply(QStringList{"body", "body-markup", "actions"}));
        } else if (m.member() == "Notify") {
            notices.push_back(m.arguments());
            const uint replaces = m.arguments().at(1).toUInt();
            bus.send(m.createReply(replaces ? replaces : ++next));
        } else {
            return false;
        }
        return true;
    }
};

} // namespace

TEST(LogForm, NewestHundredLinesOfBothFiles) {
    test::uiApp();
    AppFixture f;
    std::string log, old;
    for (int i = 1; i <= 30; ++i)
        log += logLine("2024/01/02 00:00:" + std::to_string(i), "新 " + std::to_string(i));
    for (int i = 1; i <= 500; ++i)
        old += logLine("2024/01/01 00:00:" + std::to_string(i), "旧 " + std::to_string(i));
    writeFile(f.app.log.logFile(), text::encodeFile(log));
    writeFile(f.app.log.oldLogFile(), text::encodeFile(old));
    LogForm form(f.app);
    form.LoadLogFile();
    QStringList lines = shownLines(form);
    ASSERT_EQ(lines.size(), 101); // the text ends with a line break
    EXPECT_EQ(lines[0], QStringLiteral("2024/01/01 00:00:431 旧 431"));
    EXPECT_EQ(lines[69], QStringLiteral("2024/01/01 00:00:500 旧 500"));
    EXPECT_EQ(lines[70], QStringLiteral("2024/01/02 00:00:1 新 1"));
    EXPECT_EQ(lines[99], QStringLiteral("2024/01/02 00:00:30 新 30"));
    EXPECT_EQ(form.LogText->textCursor().position(), form.LogText->toPlainText().size());
}

TEST(LogForm, CaretAndKeys) {
    test::uiApp();
    AppFixture f;
    std::string log;
    for (int i = 1; i <= 40; ++i)
        log += logLine("2024/01/02 00:00:00", "行 " + std::to_string(i));
    writeFile(f.app.log.logFile(), text::encodeFile(log));
    LogForm form(f.app);
    form.show();
    form.LoadLogFile();
    QPlainTextEdit& t = *form.LogText;
    EXPECT_TRUE(t.isReadOnly());
    EXPECT_TRUE(t.textInteractionFlags() & Qt::TextSelectableByKeyboard);
    EXPECT_TRUE(t.textInteractionFlags() & Qt::TextSelectableByMouse);
    EXPECT_EQ(form.focusProxy(), &t);
    const int end = static_cast<int>(t.toPlainText().size());
    EXPECT_EQ(t.textCursor().position(), end);
    auto key = [&t](int k, Qt::KeyboardModifiers m) {
        QKeyEvent press(QEvent::KeyPress, k, m);
        QCoreApplication::sendEvent(&t, &press);
    };
    key(Qt::Key_Home, Qt::ControlModifier);
    EXPECT_EQ(t.textCursor().position(), 0);
    key(Qt::Key_Down, Qt::NoModifier);
    EXPECT_EQ(t.textCursor().block().blockNumber(), 1);
    key(Qt::Key_End, Qt::ControlModifier);
    EXPECT_EQ(t.textCursor().position(), end);
    EXPECT_EQ(t.toPlainText().size(), end); // keys never edit
    key(Qt::Key_A, Qt::NoModifier);
    EXPECT_EQ(t.toPlainText().size(), end);
    key(Qt::Key_Escape, Qt::NoModifier); // Esc is the close box
    EXPECT_FALSE(form.isVisible());
}

TEST(LogForm, FieldsShown) {
    std::string log = "2024/01/01 10:00:00\tM\tP\tL\tmessage\twith a tab\r\n"
                      "2024/01/01 10:00:01\tM\tP\r\n"
                      "\r\n"
                      "2024/01/01 10:00:02\tM\tP\tL\t\r\n";
    EXPECT_EQ(LogForm::buildLogText(text::decodeFile(log), ""),
              "2024/01/01 10:00:00 message\r\n2024/01/01 10:00:01\r\n\r\n2024/01/01 10:00:02 \r\n");
}

TEST(LogForm, OldLogUntouchedWithHundredLinesAndByteCap) {
    test::uiApp();
    AppFixture f;
    std::string log;
    std::string wide(600, 'x');
    for (int i = 0; i < 150; ++i)
        log += logLine("t" + std::to_string(i), "あ" + wide);
    writeFile(f.app.log.logFile(), text::encodeFile(log));
    LogForm form(f.app);
    form.LoadLogFile();
    EXPECT_FALSE(test::exists(f.app.log.oldLogFile()));
    std::string shown = form.LogText->toPlainText().toStdString();
    // 100 lines of 612 bytes would be 61200: below the cap, all of them.
    EXPECT_EQ(shownLines(form).size(), 101);
    EXPECT_EQ(shown.substr(0, 4), "t50 ");

    std::string big =
        LogForm::buildLogText(text::decodeFile(text::replaceAll(log, wide, wide + wide)), "");
    EXPECT_LE(text::width(big), LogForm::kMaxBytes);
    EXPECT_GT(text::width(big), LogForm::kMaxBytes - 2);
    EXPECT_EQ(big.substr(big.size() - 6), "xxxx\r\n"); // the end is kept
}

TEST(LogForm, FailingReloadDoesNotNest) {
    test::uiApp();
    AppFixture f;
    // The log path is a folder: reading fails, the report asks for a reload
    // again, which is skipped.
    ::mkdir(f.app.log.logFile().c_str(), 0700);
    LogForm form(f.app);
    int reloads = 0;
    f.app.log.reloadViewer = [&] {
        ++reloads;
        form.LoadLogFile();
    };
    form.LoadLogFile();
    EXPECT_LE(reloads, 1);
}

TEST(LogForm, PlacementRules) {
    test::uiApp();
    const QPoint origin(0, 0);
    const QSize defaults(WindowPlacement::toPixelsX(14500), WindowPlacement::toPixelsY(2850));
    {
        AppFixture f;
        double sw = WindowPlacement::screenWidthTwips();
        std::string left = std::to_string(static_cast<int>(sw) - 1999);
        storePlacement(f.app, "LogForm", left.c_str(), "0", "5000", "3000");
        LogForm form(f.app);
        EXPECT_EQ(form.pos(), origin);
        EXPECT_EQ(form.size(), defaults);
    }
    {
        AppFixture f;
        storePlacement(f.app, "LogForm", "0", "0", "500", "3000");
        LogForm form(f.app);
        EXPECT_EQ(form.size(), defaults);
    }
    {
        AppFixture f; // closing while maximised hides without saving
        LogForm form(f.app);
        form.showMaximized();
        form.close();
        EXPECT_FALSE(form.isVisible());
        EXPECT_EQ(GetIniValue(f.app, "LogForm", "Left", "none", f.settingsFile()), "none");
        form.showNormal();
        form.move(WindowPlacement::toPixelsX(1500), 0);
        form.close();
        EXPECT_EQ(GetIniValue(f.app, "LogForm", "Left", "none", f.settingsFile()), "1500");
    }
}

TEST(MsgForm, ShowsTheMessageAndSavesPlacementOnClose) {
    test::uiApp();
    AppFixture f;
    MsgForm form(f.app);
    form.Form_Load();
    EXPECT_FALSE(form.isVisible());
    f.app.message.caption = "メール送信エラー";
    f.app.message.text = "一行目\r\n二行目";
    form.MsgShow();
    EXPECT_TRUE(form.isVisible());
    EXPECT_EQ(form.windowTitle(), QStringLiteral("メール送信エラー"));
    EXPECT_EQ(form.MsgText->toPlainText(), QStringLiteral("一行目\n二行目"));
    EXPECT_FALSE(form.windowFlags() & Qt::WindowStaysOnTopHint);

    form.move(WindowPlacement::toPixelsX(750), WindowPlacement::toPixelsY(1500));
    form.CloseButton->click();
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(GetIniValue(f.app, "MsgForm", "Left", "", f.settingsFile()), "750");
    EXPECT_EQ(GetIniValue(f.app, "MsgForm", "Top", "", f.settingsFile()), "1500");

    form.showMaximized(); // maximised: hidden without saving
    form.CloseButton_Click();
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(GetIniValue(f.app, "MsgForm", "Left", "", f.settingsFile()), "750");
}

TEST(MsgForm, ResizeAndPlacementRules) {
    test::uiApp();
    AppFixture f;
    storePlacement(f.app, "MsgForm", "-20000", "0", "9000", "3000");
    MsgForm form(f.app);
    form.Form_Load();
    EXPECT_EQ(form.pos(), QPoint(0, 0));
    form.show();
    form.resize(600, 300);
    const QRect text = form.MsgText->geometry();
    EXPECT_EQ(text.right() + 1, 600 - WindowPlacement::toPixelsX(50));
    EXPECT_EQ(form.CloseButton->geometry().right() + 1,
              text.right() + 1 - WindowPlacement::toPixelsX(300));
    form.resize(2, 2); // too small: nothing moves
    EXPECT_EQ(form.MsgText->geometry(), text);

    AppFixture quiet(false); // no windows in a run without user interface
    MsgForm hidden(quiet.app);
    hidden.MsgShow();
    EXPECT_FALSE(hidden.isVisible());
}

TEST(MsgForm, ReadOnlyTextShownWithoutActivationAndEscCloses) {
    test::uiApp();
    AppFixture f;
    MsgForm form(f.app);
    form.Form_Load();
    f.app.message.text = "本文";
    form.MsgShow();
    EXPECT_TRUE(form.testAttribute(Qt::WA_ShowWithoutActivating));
    EXPECT_FALSE(form.isActiveWindow());
    QPlainTextEdit& t = *form.MsgText;
    EXPECT_TRUE(t.isReadOnly());
    EXPECT_TRUE(t.textInteractionFlags() & Qt::TextSelectableByMouse);
    QKeyEvent typed(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, " ");
    QCoreApplication::sendEvent(&t, &typed);
    EXPECT_EQ(t.toPlainText(), QStringLiteral("本文"));
    EXPECT_TRUE(form.isVisible());
    QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QCoreApplication::sendEvent(&t, &esc);
    EXPECT_FALSE(form.isVisible());
}

TEST(MsgForm, EveryShowingIsOneDesktopNotice) {
    test::uiApp();
    PrivateBus bus;
    if (bus.address.isEmpty())
        GTEST_SKIP() << "dbus-daemon missing (apt-get install dbus-daemon)";
    QDBusConnection serverBus = QDBusConnection::connectToBus(bus.address, "notice-server");
    ASSERT_TRUE(serverBus.isConnected()) << serverBus.lastError().message().toStdString();
    NoticeServer server;
    ASSERT_TRUE(serverBus.registerVirtualObject("/org/freedesktop/Notifications", &server));
    ASSERT_TRUE(serverBus.registerService("org.freedesktop.Notifications"));

    AppFixture f;
    DesktopNotifier notifier(f.app, QDBusConnection::connectToBus(bus.address, "kestrova"));
    MsgForm form(f.app);
    form.notifier = &notifier;
    QObject::connect(&notifier, &DesktopNotifier::showRequested, &form,
                     [&form](const QString& token) { form.bringToFront(token); });
    form.Form_Load();
    auto show = [&](const char* caption, const std::string& text) {
        f.app.message.caption = caption;
        f.app.message.text = text;
        const size_t before = server.notices.size();
        form.MsgShow();
        EXPECT_TRUE(waitFor([&] { return server.notices.size() == before + 1; }));
        waitFor([] { return false; }, 100); // the id comes back
    };
    std::string twelve;
    for (int i = 1; i <= 12; ++i)
        twelve += "行" + std::to_string(i) + "<&>\r\n";
    show("ファイル更新通知 (2026/12/08 17:19:26)", twelve);
    ASSERT_EQ(server.notices.size(), 1u);
    QList<QVariant> n = server.notices[0];
    ASSERT_EQ(n.size(), 8);
    EXPECT_EQ(n[0].toString(), QStringLiteral("ケストロバ"));
    EXPECT_EQ(n[1].toUInt(), 0u);
    EXPECT_FALSE(n[2].toString().isEmpty());
    EXPECT_EQ(n[3].toString(), QStringLiteral("ファイル更新通知 (2026/12/08 17:19:26)"));
    QStringList lines = n[4].toString().split('\n');
    ASSERT_EQ(lines.size(), 11); // ten lines, then "…"; markup escaped
    EXPECT_EQ(lines[9], QStringLiteral("行10&lt;&amp;&gt;"));
    EXPECT_EQ(lines[10], QStringLiteral("…"));
    EXPECT_TRUE(n[5].toStringList().contains(QStringLiteral("表示")));
    QVariantMap hints = qdbus_cast<QVariantMap>(n[6]);
    EXPECT_EQ(hints.value("urgency").toInt(), 1);
    EXPECT_EQ(n[7].toInt(), -1);

    show("ファイル更新通知 (2026/12/08 17:20:26)", "一行"); // replaces the first
    EXPECT_EQ(server.notices[1][1].toUInt(), 41u);
    EXPECT_EQ(server.notices[1][4].toString(), QStringLiteral("一行"));
    show("メール送信エラー", "送信できません"); // a kind of its own, critical
    EXPECT_EQ(server.notices[2][1].toUInt(), 0u);
    EXPECT_EQ(qdbus_cast<QVariantMap>(server.notices[2][6]).value("urgency").toInt(), 2);
    show("ファイル圧縮エラー", "圧縮できません");
    EXPECT_EQ(server.notices[3][1].toUInt(), 0u);
    EXPECT_EQ(qdbus_cast<QVariantMap>(server.notices[3][6]).value("urgency").toInt(), 2);
    show("メール送信エラー", "再び");
    EXPECT_EQ(server.notices[4][1].toUInt(), 42u);

    // "表示" on a notice brings the closed window back.
    form.CloseButton_Click();
    ASSERT_FALSE(form.isVisible());
    QDBusMessage action = QDBusMessage::createSignal(
        "/org/freedesktop/Notifications", "org.freedesktop.Notifications", "ActionInvoked");
    action << 41u << QStringLiteral("default");
    serverBus.send(action);
    EXPECT_TRUE(waitFor([&] { return form.isVisible(); }));

    // "DesktopNotify=False" in the settings file turns the notices off.
    EXPECT_EQ(GetIniValue(f.app, kInitSetting, "DesktopNotify", "", f.settingsFile()), "");
    ASSERT_TRUE(WriteIni(f.app)); // written like the other keys, True by default
    EXPECT_EQ(GetIniValue(f.app, kInitSetting, "DesktopNotify", "", f.settingsFile()), "True");
    WriteIniValue(f.app, kInitSetting, "DesktopNotify", "False", f.settingsFile());
    ASSERT_TRUE(ReadIni(f.app));
    EXPECT_FALSE(f.app.settings.DesktopNotify);
    form.MsgShow();
    waitFor([] { return false; }, 300);
    EXPECT_EQ(server.notices.size(), 5u);

    // No service on the bus: the window as ever, one log line however often.
    f.app.settings.DesktopNotify = true;
    serverBus.unregisterService("org.freedesktop.Notifications");
    DesktopNotifier alone(f.app, QDBusConnection::connectToBus(bus.address, "alone"));
    form.notifier = &alone;
    auto failures = [&] {
        int count = 0;
        for (const std::string& line : f.logLines())
            count += line.find("デスクトップ通知を送れません") != std::string::npos;
        return count;
    };
    for (int i = 0; i < 3; ++i) {
        form.MsgShow();
        EXPECT_TRUE(waitFor([&] { return failures() == 1; }));
    }
    waitFor([] { return false; }, 300);
    EXPECT_EQ(failures(), 1);
    EXPECT_TRUE(form.isVisible());
}
