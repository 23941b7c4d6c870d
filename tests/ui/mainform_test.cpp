// The main window under the offscreen platform: row texts, the editing
// actions with their selection rules and the watch switch, geometry, and
// the tray visibility rules.
#include "core/IniFile.h"
#include "core/Text.h"
#include "cycle/CheckCycle.h"
#include "support/AppFixture.h"
#include "ui/FolderRow.h"
#include "ui/LogForm.h"
#include "ui/MainForm.h"
#include "ui/MsgForm.h"
#include "ui/SingleInstance.h"
#include "ui/TrayIcon.h"
#include "ui/UiTestApp.h"
#include "ui/WindowPlacement.h"

#include <QDir>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QProcess>
#include <cstring>
#include <gtest/gtest.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace kestrova;
using kestrova::test::AppFixture;

namespace {

struct Desk {
    QApplication& qapp = test::uiApp();
    AppFixture f;
    CheckCycle cycle{f.app};
    LogForm log{f.app};
    MsgForm msg{f.app};
    MainForm main{f.app, cycle, log, msg};
    // What the dialogs and boxes saw of the watch switch.
    std::vector<bool> watchingSeen;

    explicit Desk(bool tray = true) {
        main.systemTrayAvailable = [tray] { return tray; };
        f.app.messageBox = [this](const MessageBoxRequest& r) {
            watchingSeen.push_back(cycle.watching());
            f.boxes.push_back(r);
            return f.answer;
        };
        f.app.log.messageBox = f.app.messageBox;
    }

    // Entries for paths that do not exist, saved to the files.
    void addRows(int n) {
        for (int i = 0; i < n; ++i)
            main.AddFolderList(f.dir / ("w" + std::to_string(i)));
        main.MakeFolderList();
    }
    std::vector<std::string> storedFolders() {
        App other;
        other.settings = f.app.settings;
        other.log.setBasePath(f.dir / "kestrova");
        EXPECT_TRUE(ReadIni(other));
        std::vector<std::string> folders;
        for (const WatchEntry& e : other.watchList)
            folders.push_back(e.CheckFolder);
        return folders;
    }
    std::vector<int> selectedRows() {
        std::vector<int> rows;
        for (int i = 0; i < main.FolderList->count(); ++i)
            if (main.FolderList->item(i)->isSelected())
                rows.push_back(i);
        return rows;
    }
    void select(std::initializer_list<int> rows) {
        main.FolderList->clearSelection();
        for (int r : rows)
            main.FolderList->item(r)->setSelected(true);
    }
};

std::string tail92(const std::string& column) {
    return column + "(通知:新規更新削除:x)";
}

} // namespace

TEST(FolderRow, PathColumnIsNinetyTwoBytes) {
    WatchEntry e;
    e.FileChkMode = 7;
    e.SendMailTo = "x";
    e.CheckFolder = "/" + std::string(89, 'a'); // 90 bytes: whole, 2 blanks
    EXPECT_EQ(FolderRowText(e), tail92(e.CheckFolder + "  "));

    e.CheckFolder = "/" + std::string(60, 'b') + std::string(30, 'c'); // 91 bytes
    EXPECT_EQ(FolderRowText(e),
              tail92(e.CheckFolder.substr(0, 35) + "..." + e.CheckFolder.substr(91 - 54)));

    // The 35th byte opens a double-byte character: it is dropped and one
    // blank makes up the column.
    e.CheckFolder = "/" + std::string(33, 'd') + "あ" + std::string(80, 'e');
    std::string row = FolderRowText(e);
    EXPECT_EQ(row, tail92(e.CheckFolder.substr(0, 34) + "..." + std::string(54, 'e') + " "));
    EXPECT_EQ(text::width(row.substr(0, row.find("(通知:"))), kPathColumnWidth);

    // Japanese path: widths count 2 per character, not UTF-8 bytes.
    e.CheckFolder = "/データ/";
    EXPECT_EQ(text::width(FolderRowText(e).substr(0, FolderRowText(e).find("(通知:"))), 92);
}

TEST(FolderRow, EventText) {
    EXPECT_EQ(NotifyEventText(0), "通知無");
    EXPECT_EQ(NotifyEventText(5), "新規削除");
    EXPECT_EQ(NotifyEventText(2 | 0x800 | 0x10), "更新");
    WatchEntry e;
    e.CheckFolder = "/f";
    e.FileChkMode = 0;
    e.SendMailTo = "a@b.jp,c@d.jp";
    EXPECT_EQ(FolderRowText(e), "/f" + std::string(90, ' ') + "(通知:通知無:a@b.jp,c@d.jp)");
}

TEST(MainFormList, EmptyRecipientIsShownAndSavedAsMessageDisplay) {
    Desk d;
    d.main.AddFolderList(d.f.dir / "gone.txt");
    ASSERT_EQ(d.f.app.watchList.size(), 1u);
    const WatchEntry& e = d.f.app.watchList[0];
    EXPECT_EQ(e.SendMailTo, "");
    EXPECT_EQ(e.FileChkMode, 7);
    EXPECT_EQ(e.MailBdLines, "99999");
    ASSERT_EQ(e.CheckFiles.size(), 1u);
    EXPECT_EQ(e.CheckFiles[0].Path(), d.f.dir / "gone.txt");
    EXPECT_EQ(e.CheckFiles[0].Date(), "0:00:00");
    d.main.MakeFolderList();
    EXPECT_TRUE(d.main.FolderList->item(0)->text().endsWith("(通知:新規更新削除:メッセージ表示)"));
    App other;
    other.settings = d.f.app.settings;
    ASSERT_TRUE(ReadIni(other));
    EXPECT_EQ(other.watchList.at(0).SendMailTo, "メッセージ表示");
}

TEST(MainFormList, RemovalKeepsTheSelectionRule) {
    {
        Desk d;
        d.addRows(5);
        d.select({1, 3});
        d.main.FolderListDelButton_Click();
        ASSERT_EQ(d.f.boxes.size(), 1u);
        EXPECT_EQ(d.f.boxes[0].title, "Kestrova");
        EXPECT_EQ(d.f.boxes[0].text, "監視一覧から指定の行を削除してよろしいですか？");
        EXPECT_EQ(d.f.boxes[0].style, 1);
        EXPECT_EQ(d.storedFolders(),
                  (std::vector<std::string>{d.f.dir / "w0", d.f.dir / "w2", d.f.dir / "w4"}));
        EXPECT_EQ(d.selectedRows(), std::vector<int>{1});
        EXPECT_EQ(d.main.FolderList->currentRow(), 1);
    }
    {
        Desk d;
        d.addRows(5);
        d.select({4});
        d.main.FolderListDelButton_Click();
        EXPECT_EQ(d.main.FolderList->count(), 4);
        EXPECT_EQ(d.selectedRows(), std::vector<int>{3});
    }
    {
        Desk d;
        d.addRows(3);
        d.main.FolderList->selectAll();
        d.main.FolderListDelButton_Click();
        EXPECT_EQ(d.main.FolderList->count(), 0);
        EXPECT_TRUE(d.storedFolders().empty());
    }
    {
        Desk d; // confirmed with nothing selected: nothing goes, row 0 selected
        d.addRows(3);
        d.select({});
        d.main.FolderListDelButton_Click();
        EXPECT_EQ(d.storedFolders().size(), 3u);
        EXPECT_EQ(d.selectedRows(), std::vector<int>{0});
    }
    {
        Desk d; // cancelled
        d.addRows(3);
        d.select({0});
        d.f.answer = IdCancel;
        d.main.FolderListDelButton_Click();
        EXPECT_EQ(d.main.FolderList->count(), 3);
    }
    {
        Desk d; // empty list: one OK box, no question
        d.main.FolderListDelButton_Click();
        ASSERT_EQ(d.f.boxes.size(), 1u);
        EXPECT_EQ(d.f.boxes[0].text, "監視一覧がありません。");
        EXPECT_EQ(d.f.boxes[0].style, 0);
    }
}

TEST(MainFormList, AddingFolders) {
    Desk d;
    std::string folder = d.f.dir / "data";
    ::mkdir(folder.c_str(), 0700);
    ::mkdir((folder + "/sub").c_str(), 0700);
    test::writeFile(folder + "/a.txt", "a");
    test::setMtime(folder + "/a.txt", 1700000000);

    std::vector<QString> starts;
    QString answer;
    d.main.browseFolder = [&](QWidget*, const QString& prompt, const QString& start) {
        EXPECT_EQ(prompt, QStringLiteral("フォルダを指定してください"));
        starts.push_back(start);
        return answer.isNull() ? start : answer;
    };
    answer = QString::fromStdString(folder);
    d.main.FolderListAddButton_Click();
    d.main.FolderListAddButton_Click(); // the same folder twice: two entries
    std::string folder2 = d.f.dir / "data2";
    ::mkdir(folder2.c_str(), 0700);
    answer = QString::fromStdString(folder2 + "/"); // one trailing separator kept
    d.main.FolderListAddButton_Click();
    answer = QStringLiteral("/");
    d.main.FolderListAddButton_Click();
    answer = QString(); // cancel: the start folder comes back
    d.main.FolderListAddButton_Click();

    EXPECT_EQ(d.storedFolders(),
              (std::vector<std::string>{folder + "/", folder + "/", folder2 + "/", "/"}));
    ASSERT_EQ(starts.size(), 5u);
    EXPECT_EQ(starts[0], QDir::homePath() + "/"); // no rows yet
    EXPECT_EQ(starts[1], QString::fromStdString(folder + "/"));
    EXPECT_EQ(d.main.FolderList->item(0)->text(), d.main.FolderList->item(1)->text());
    EXPECT_EQ(d.selectedRows(), std::vector<int>{3});

    // The first record: files first, then folders.
    const WatchEntry& e = d.f.app.watchList[0];
    ASSERT_EQ(e.CheckFiles.size(), 2u);
    EXPECT_EQ(e.CheckFiles[0].Path(), folder + "/a.txt");
    EXPECT_EQ(e.CheckFiles[0].Date(), formatRecordDate(utcFromUnix(1700000000)));
    EXPECT_EQ(e.CheckFiles[1].Path(), folder + "/sub");
    EXPECT_NE(e.CheckFiles[1].Date(), "0:00:00");
}

// `kestrova watch add` stores exactly what the window's add stores.
TEST(MainFormList, TheCommandLineAddsAsTheWindowDoes) {
    Desk d;
    const std::string folder = d.f.dir / "data";
    ::mkdir(folder.c_str(), 0700);
    ::mkdir((folder + "/sub").c_str(), 0700);
    test::writeFile(folder + "/a.txt", "a");
    d.main.browseFolder = [&](QWidget*, const QString&, const QString&) {
        return QString::fromStdString(folder);
    };
    d.main.FolderListAddButton_Click();
    test::TempDir other;
    QProcess p;
    p.start(QString::fromStdString(std::string(std::getenv("KESTROVA_APP_DIR")) + "/kestrova"),
            {"watch", "add", QString::fromStdString(folder + "/"), "--folder",
             QString::fromStdString(other.path())});
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    EXPECT_EQ(test::readFile(other / "kestrovaD.ini"), test::readFile(d.f.watchListFile()));
}

TEST(MainFormList, AddingAFile) {
    Desk d;
    std::string file = d.f.dir / "本.txt";
    test::writeFile(file, "x");
    test::setMtime(file, 1700000000);
    QString answer = QString::fromStdString(file);
    d.main.chooseFile = [&] { return answer; };
    d.main.FileListAddButton_Click();
    answer = QString(); // cancelled
    d.main.FileListAddButton_Click();
    ASSERT_EQ(d.f.app.watchList.size(), 1u);
    EXPECT_EQ(d.f.app.watchList[0].CheckFiles.at(0).Date(),
              formatRecordDate(utcFromUnix(1700000000)));
    EXPECT_TRUE(d.f.boxes.empty());
    EXPECT_TRUE(d.f.logLines().empty());
}

TEST(MainFormList, WatchingIsPausedAndRestoredOnEveryPath) {
    Desk d;
    d.addRows(2);
    auto check = [&](const char* what, const std::function<void()>& action,
                     bool pausedInside = true) {
        SCOPED_TRACE(what);
        d.main.WatchCheck->setChecked(true);
        d.cycle.LastCheckTime = 0;
        d.watchingSeen.clear();
        action();
        EXPECT_TRUE(d.cycle.watching());
        EXPECT_NE(d.cycle.LastCheckTime, 0); // restarted: a full interval from now
        for (bool seen : d.watchingSeen)
            EXPECT_NE(seen, pausedInside);
    };
    d.main.chooseFile = [&] {
        d.watchingSeen.push_back(d.cycle.watching());
        return QString();
    };
    check("file add cancelled", [&] { d.main.FileListAddButton_Click(); });
    d.main.browseFolder = [&](QWidget*, const QString&, const QString& start) {
        d.watchingSeen.push_back(d.cycle.watching());
        return start;
    };
    check("folder add cancelled", [&] { d.main.FolderListAddButton_Click(); });
    d.f.answer = IdCancel;
    check("removal cancelled", [&] { d.main.FolderListDelButton_Click(); });
    bool accept = false;
    d.main.showChkModeForm = [&] {
        d.watchingSeen.push_back(d.cycle.watching());
        d.f.app.dialog.DialogAccepted = accept;
    };
    check("settings cancelled", [&] { d.main.ChkModeButton_Click(); });
    accept = true;
    check("settings accepted", [&] { d.main.ChkModeButton_Click(); });
    d.main.showEnvSetForm = [&] { d.watchingSeen.push_back(d.cycle.watching()); };
    check("common settings", [&] { d.main.EnvSetButton_Click(); });
    d.main.chooseFile = [&]() -> QString { throw std::runtime_error("broken chooser"); };
    // The failure is reported after watching is back on.
    check(
        "failure", [&] { d.main.FileListAddButton_Click(); }, false);
    ASSERT_FALSE(d.f.logLines().empty());
    EXPECT_NE(d.f.logLines().back().find("FileListAddButton_Click"), std::string::npos);
    d.f.answer = IdOk;
    d.main.FolderList->selectAll();
    check("removal confirmed", [&] { d.main.FolderListDelButton_Click(); });
    check("empty list", [&] { d.main.FolderListDelButton_Click(); });
    check("settings on empty list", [&] { d.main.ChkModeButton_Click(); });
    EXPECT_EQ(d.watchingSeen.size(), 1u); // the box of the last action

    // Switched off before an action: stays off.
    d.main.WatchCheck->setChecked(false);
    d.main.EnvSetButton_Click();
    EXPECT_FALSE(d.cycle.watching());
}

TEST(MainFormList, NotificationSettingsApplyToTheSelectedRows) {
    Desk d;
    std::string folder = d.f.dir / "dir/";
    ::mkdir(folder.c_str(), 0700);
    d.main.AddFolderList(folder);
    d.main.AddFolderList(d.f.dir / "file.txt");
    d.main.AddFolderList(d.f.dir / "other.txt");
    d.f.app.watchList[2].SendMailTo = "seed@example.jp";
    d.f.app.watchList[2].MailBdLines = "12";
    d.main.MakeFolderList();
    d.select({0, 1});
    // The focus sits on the unselected third row.
    d.main.FolderList->selectionModel()->setCurrentIndex(d.main.FolderList->model()->index(2, 0),
                                                         QItemSelectionModel::NoUpdate);
    d.main.showChkModeForm = [&] {
        DialogValues& v = d.f.app.dialog;
        EXPECT_EQ(v.EditMailTo, "seed@example.jp");
        EXPECT_EQ(v.EditBdLines, 12);
        EXPECT_EQ(v.SelectionKinds, SelFile | SelFolder);
        v.EditMailTo = "to@example.jp";
        v.EditChkMode = NotifyNew | NotifyUpdate | BodyFromFile | IncludeSubfolders;
        v.EditBdLines = 30;
        v.DialogAccepted = true;
    };
    d.main.ChkModeButton_Click();
    const auto& list = d.f.app.watchList;
    EXPECT_EQ(list[0].FileChkMode, NotifyNew | NotifyUpdate | IncludeSubfolders);
    EXPECT_EQ(list[1].FileChkMode, NotifyNew | NotifyUpdate | BodyFromFile);
    EXPECT_EQ(list[1].SendMailTo, "to@example.jp");
    EXPECT_EQ(list[1].MailBdLines, "30");
    EXPECT_EQ(list[2].SendMailTo, "seed@example.jp");
    EXPECT_EQ(list[2].FileChkMode, 7);
}

TEST(MainFormWindow, StoredGeometryAndItsVisibilityTest) {
    const int defW = WindowPlacement::toPixelsX(14500), defH = WindowPlacement::toPixelsY(2850);
    {
        Desk d;
        WriteIniValue(d.f.app, "MainForm", "Left", "30000", d.f.settingsFile());
        d.main.Form_Load();
        EXPECT_EQ(d.main.pos(), QPoint(0, 0));
        EXPECT_EQ(d.main.size(), QSize(defW, defH));
    }
    {
        Desk d;
        for (auto [k, v] :
             {std::pair{"Left", "1500"}, {"Top", "750"}, {"Width", "9000"}, {"Height", "3000"}})
            WriteIniValue(d.f.app, "MainForm", k, v, d.f.settingsFile());
        d.main.Form_Load();
        EXPECT_EQ(d.main.pos(),
                  QPoint(WindowPlacement::toPixelsX(1500), WindowPlacement::toPixelsY(750)));
        // Closing in the normal state stores what is shown.
        d.main.move(WindowPlacement::toPixelsX(3000), d.main.y());
        d.main.close();
        EXPECT_EQ(GetIniValue(d.f.app, "MainForm", "Left", "", d.f.settingsFile()), "3000");
    }
    {
        Desk d; // closing while hidden in the tray keeps the stored values
        d.addRows(1);
        d.main.Form_Load();
        d.main.mnuVisible_Click();
        EXPECT_FALSE(d.main.isVisible());
        d.main.close();
        EXPECT_EQ(GetIniValue(d.f.app, "MainForm", "Left", "none", d.f.settingsFile()), "none");
    }
}

TEST(MainFormWindow, MinimisingHidesTheLogViewer) {
    Desk d;
    d.main.Form_Load();
    EXPECT_TRUE(d.main.isVisible());
    EXPECT_TRUE(d.cycle.watching());
    d.main.mnuLog_Click();
    EXPECT_TRUE(d.log.isVisible());
    d.main.setWindowState(Qt::WindowMinimized);
    EXPECT_FALSE(d.main.isVisible());
    EXPECT_FALSE(d.log.isVisible());
    d.main.mnuVisible_Click(); // shown again, the viewer stays hidden
    EXPECT_TRUE(d.main.isVisible());
    EXPECT_FALSE(d.main.isMinimized());
    EXPECT_FALSE(d.log.isVisible());

    Desk noTray(false); // without a tray the window stays on the taskbar
    noTray.main.Form_Load();
    noTray.main.setWindowState(Qt::WindowMinimized);
    EXPECT_TRUE(noTray.main.isVisible());
}

TEST(MainFormWindow, StartUpAutoHide) {
    {
        Desk d;
        d.addRows(2);
        d.main.Form_Load();
        EXPECT_TRUE(d.main.Timer1.isActive());
        d.main.Timer1_Timer();
        EXPECT_FALSE(d.main.isVisible());
        EXPECT_FALSE(d.main.Timer1.isActive());
    }
    {
        Desk d;
        d.addRows(2);
        d.main.Form_Load();
        QMouseEvent move(QEvent::MouseMove, QPointF(5, 5), QPointF(5, 5), Qt::NoButton,
                         Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(d.main.FolderList->viewport(), &move);
        EXPECT_TRUE(d.main.TrayTouched);
        d.main.Timer1_Timer();
        EXPECT_TRUE(d.main.isVisible());
    }
    {
        Desk d; // an empty list keeps the window up
        d.main.Form_Load();
        d.main.Timer1_Timer();
        EXPECT_TRUE(d.main.isVisible());
    }
    {
        Desk d(false); // no tray: no auto-hide
        d.addRows(2);
        d.main.Form_Load();
        EXPECT_FALSE(d.main.Timer1.isActive());
        d.main.Timer1_Timer();
        EXPECT_TRUE(d.main.isVisible());
    }
    {
        Desk d; // "i": hidden in the tray, watching all the same
        d.f.app.settings.StartVisible = false;
        d.main.Form_Load();
        EXPECT_FALSE(d.main.isVisible());
        EXPECT_FALSE(d.main.Timer1.isActive());
        EXPECT_TRUE(d.cycle.watching());
        d.main.mnuVisible_Click();
        EXPECT_TRUE(d.main.isVisible());
    }
    {
        Desk d(false); // "i" without a tray: minimised on the taskbar
        d.f.app.settings.StartVisible = false;
        d.main.Form_Load();
        QElapsedTimer waited;
        waited.start();
        while (!d.main.isMinimized() && waited.elapsed() < 5000)
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents,
                                            50);
        EXPECT_TRUE(d.main.isMinimized());
        EXPECT_TRUE(d.main.isVisible());
        d.main.bringToFront(); // a second start
        EXPECT_FALSE(d.main.isMinimized());
    }
}

TEST(TrayIcon, TipIsProductNameAndCaptionTail) {
    std::string caption = "ケストロバ(Ver.1.00) [起動フォルダ:/home/user/tools/kv]";
    QString tip = TrayIcon::TrayTip(caption);
    EXPECT_EQ(tip, QStringLiteral("ケストロバ...") + QString::fromStdString(caption).right(20));
}

TEST(SingleInstance, StaleSocketIsReplacedAndASecondStartIsAnswered) {
    test::uiApp();
    test::TempDir runtime;
    qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(runtime.path()));
    const std::string caption = "ケストロバ(Ver.1.00) [起動フォルダ:/opt/kv]";
    const QString name = SingleInstance::serverName(caption);
    EXPECT_TRUE(name.startsWith(QString::fromStdString(runtime.path())));
    EXPECT_NE(name, SingleInstance::serverName(caption + "2"));

    // A socket file left behind by a run that crashed.
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, name.toLocal8Bit().constData(), sizeof(addr.sun_path) - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ::close(fd);

    SingleInstance first(caption);
    EXPECT_FALSE(first.askRunningInstance(500));
    ASSERT_TRUE(first.listen());
    struct stat st {};
    ASSERT_EQ(::stat(name.toLocal8Bit().constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u); // only this user can connect

    int shown = 0;
    QStringList tokens;
    QObject::connect(&first, &SingleInstance::showRequested, [&](const QString& token) {
        ++shown;
        tokens << token;
    });
    SingleInstance second(caption);
    EXPECT_TRUE(second.askRunningInstance(200));
    for (int i = 0; i < 50 && shown == 0; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    EXPECT_EQ(shown, 1);
    // A start with an activation token from its launcher hands it over.
    qputenv("XDG_ACTIVATION_TOKEN", "tok-1");
    EXPECT_TRUE(second.askRunningInstance(200));
    qunsetenv("XDG_ACTIVATION_TOKEN");
    for (int i = 0; i < 50 && shown == 1; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    EXPECT_EQ(tokens, QStringList({QString(), QStringLiteral("tok-1")}));
    qunsetenv("XDG_RUNTIME_DIR");
}

TEST(MainFormWindow, KeysOnTheListAndMinimumSize) {
    Desk d;
    d.addRows(3);
    d.main.Form_Load();
    int dialogs = 0;
    d.main.showChkModeForm = [&] { ++dialogs; };
    auto key = [&](int k) {
        QKeyEvent press(QEvent::KeyPress, k, Qt::NoModifier);
        QApplication::sendEvent(d.main.FolderList, &press);
    };
    d.select({1});
    key(Qt::Key_Return); // Enter: 通知方法設定
    EXPECT_EQ(dialogs, 1);
    d.f.answer = IdCancel;
    key(Qt::Key_Delete); // Delete: 監視一覧削除 with its question
    ASSERT_EQ(d.f.boxes.size(), 1u);
    EXPECT_EQ(d.f.boxes[0].text, "監視一覧から指定の行を削除してよろしいですか？");
    EXPECT_EQ(d.main.FolderList->count(), 3);
    d.f.answer = IdOk;
    key(Qt::Key_Delete);
    EXPECT_EQ(d.main.FolderList->count(), 2);

    // Mnemonics keep the captions.
    EXPECT_EQ(d.main.FileListAddButton->text(), QStringLiteral("監視ファイル追加"));
    EXPECT_EQ(d.main.FileListAddButton->shortcut(), QKeySequence(Qt::ALT | Qt::Key_F));

    // At the design size the buttons stand beside the switch; at the
    // minimum size (a small or scaled screen) in a row of their own, every
    // control whole and apart.
    d.main.resize(WindowPlacement::toPixelsX(15240), WindowPlacement::toPixelsY(2340));
    EXPECT_LT(d.main.FileListAddButton->geometry().bottom(), d.main.FolderList->y());
    EXPECT_GT(d.main.FileListAddButton->x(), d.main.WatchCheck->geometry().right());
    EXPECT_EQ(d.main.FolderList->y(), WindowPlacement::toPixelsY(810));
    d.main.resize(1, 1);
    EXPECT_EQ(d.main.size(), d.main.minimumSize());
    for (QWidget* w : d.main.findChildren<QWidget*>()) {
        if (w->parentWidget() != &d.main || w == d.main.Label1 || w == d.main.FolderList)
            continue;
        EXPECT_LE(w->geometry().right(), d.main.width()) << w->objectName().toStdString();
        EXPECT_FALSE(w->geometry().intersects(d.main.FolderList->geometry()));
        if (qobject_cast<QPushButton*>(w)) {
            EXPECT_FALSE(w->geometry().intersects(d.main.WatchCheck->geometry()));
        }
    }
    EXPECT_GE(d.main.FolderList->height(), d.main.FolderList->fontMetrics().height() * 2);
    for (QPushButton* b : d.main.findChildren<QPushButton*>())
        EXPECT_GE(b->width(), b->sizeHint().width()) << b->text().toStdString();
}

TEST(MainFormWindow, TrayClickShowsAHiddenWindowAndChoosersStartAtTheRow) {
    Desk d;
    d.addRows(1);
    d.main.Form_Load();
    d.main.Timer1_Timer();
    ASSERT_FALSE(d.main.isVisible());
    d.main.trayActivated(); // a single left click (Activate) shows it
    EXPECT_TRUE(d.main.isVisible());
    d.main.trayDoubleClicked(); // the same click's double click keeps it
    EXPECT_TRUE(d.main.isVisible());
    d.main.trayActivated();     // shown: the click only raises,
    d.main.trayDoubleClicked(); // and its double click hides
    EXPECT_FALSE(d.main.isVisible());
    d.main.trayDoubleClicked(); // a double click alone shows it, as ever
    EXPECT_TRUE(d.main.isVisible());

    // The folder chooser starts at the current row's folder, else at home.
    const std::string watched = d.f.dir / "watched";
    ::mkdir(watched.c_str(), 0700);
    d.main.AddFolderList(watched + "/");
    d.main.MakeFolderList();
    QStringList starts;
    d.main.browseFolder = [&](QWidget*, const QString&, const QString& start) {
        starts << start;
        return start;
    };
    d.main.FolderList->setCurrentRow(1);
    d.main.FolderListAddButton_Click();
    d.main.FolderList->setCurrentRow(0); // a path that is not there: its nearest folder
    d.main.FolderListAddButton_Click();
    d.main.FolderList->selectionModel()->clearCurrentIndex();
    d.main.FolderListAddButton_Click();
    EXPECT_EQ(starts, QStringList({QString::fromStdString(watched + "/"),
                                   QString::fromStdString(d.f.dir.path().string() + "/"),
                                   QDir::homePath() + "/"}));
}
