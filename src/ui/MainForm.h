// The main window: the watch list with its editing actions, the watch
// switch, and the show/hide rules of the main window, the log viewer and
// the tray icon.
#pragma once

#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <string>

namespace kestrova {

struct App;
class CheckCycle;
class LogForm;
class MsgForm;
class TrayIcon;

class MainForm : public QWidget {
    Q_OBJECT
public:
    MainForm(App& app, CheckCycle& cycle, LogForm& logForm, MsgForm& msgForm,
             QWidget* parent = nullptr);
    ~MainForm() override;

    // Caption, tray icon, rows, geometry, watching on, then shown (with the
    // start-up auto-hide) or hidden in the tray as start-up asked.
    void Form_Load();

    // Rebuilds the rows from the watch list, then saves both files.
    void MakeFolderList();
    // Appends an entry for path with default settings and its first record.
    void AddFolderList(const std::string& path);
    // Removes the entry at index.
    void RemodeFolderList(int index);

    void FileListAddButton_Click();
    void FolderListAddButton_Click();
    void FolderListDelButton_Click();
    void ChkModeButton_Click();
    void FolderList_DblClick();
    void EnvSetButton_Click();
    void WatchCheck_Click();

    void mnuVisible_Click();
    void mnuLog_Click();
    void mnuExit_Click();
    void Timer1_Timer();
    // A right click on the tray icon (before its menu opens).
    void trayClicked();
    // A left click on the tray icon (a StatusNotifierItem's Activate): as
    // the right click, and a hidden window is shown as a double click would.
    void trayActivated();
    // A double click on the tray icon: mnuVisible_Click, unless the click
    // it began with has just shown the window.
    void trayDoubleClicked();
    // Asked by a second start: restore, show, raise, activate (token: the
    // second start's xdg-activation token).
    void bringToFront(const QString& token = QString());

    // Controls (named as the program's texts name them).
    QLabel* Label1;
    QLabel* Label3;
    QCheckBox* WatchCheck;
    QPushButton* FileListAddButton;
    QPushButton* FolderListAddButton;
    QPushButton* FolderListDelButton;
    QPushButton* ChkModeButton;
    QPushButton* EnvSetButton;
    QListWidget* FolderList;
    QTimer Timer1;
    QMenu* mnuPopup;
    QAction* mnuVisible;
    QAction* mnuLog;
    QAction* mnuExit;

    int SavedWatchState = 0;
    bool TrayTouched = false;

    // The choosers and dialogs, replaceable where no user can answer.
    // chooseFile returns "" when cancelled; browseFolder returns its start
    // folder when cancelled.
    std::function<QString()> chooseFile;
    std::function<QString(QWidget*, const QString&, const QString&)> browseFolder;
    std::function<void()> showChkModeForm;
    std::function<void()> showEnvSetForm;
    // Whether the desktop has a system tray (asked once, by Form_Load).
    std::function<bool()> systemTrayAvailable;
    bool trayAvailable() const { return trayAvailable_; }
    const TrayIcon& tray() const { return *tray_; }

signals:
    // The window was closed: the program ends.
    void exitRequested();

protected:
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Runs an editing action with watching paused, restoring it on every
    // path and reporting a failure after the restore.
    void editingAction(const char* procedure, const std::function<void()>& body);
    void pauseWatching();
    void restoreWatching();
    void selectOnly(int row);
    void hideLogViewer();
    int messageBox(const std::string& text, int style);
    void layoutControls();
    // The folder of the current row's entry, or the home folder, with a
    // trailing "/": a chooser that returns it unchanged was cancelled, one
    // that returns the folder itself (no "/") chose it.
    QString currentEntryFolder() const;

    App& app_;
    CheckCycle& cycle_;
    LogForm& logForm_;
    MsgForm& msgForm_;
    TrayIcon* tray_;
    bool trayAvailable_ = false;
    QString lastFile_;
    QElapsedTimer shownByClick_;
    QElapsedTimer restored_; // since the window was last brought back
};

} // namespace kestrova
