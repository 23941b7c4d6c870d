#include "ui/MainForm.h"

#include "core/App.h"
#include "core/DateTime.h"
#include "core/Numeric.h"
#include "cycle/CheckCycle.h"
#include "ui/AppIcon.h"
#include "ui/ChkModeForm.h"
#include "ui/EnvSetForm.h"
#include "ui/FolderChooser.h"
#include "ui/FolderRow.h"
#include "ui/LogForm.h"
#include "ui/MsgForm.h"
#include "ui/TrayIcon.h"
#include "ui/WindowActivation.h"
#include "ui/WindowPlacement.h"
#include "watch/Scanner.h"
#include "watch/WatchListEdit.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QKeyEvent>
#include <QScrollBar>
#include <QSystemTrayIcon>
#include <QWindow>
#include <exception>
#include <stdexcept>
#include <sys/stat.h>

namespace kestrova {

namespace {

constexpr double kVisibleMarginX = 1000;
constexpr double kVisibleMarginY = 500;
constexpr double kListRightMargin = 100;
constexpr double kListBottomMargin = 50;
constexpr double kButtonGap = 50;
constexpr const char* kTitle = "Kestrova";
constexpr const char* kNoRows = "監視一覧がありません。";
constexpr const char* kConfirmRemoval = "監視一覧から指定の行を削除してよろしいですか？";

int px(double twips) {
    return WindowPlacement::toPixelsX(twips);
}
int py(double twips) {
    return WindowPlacement::toPixelsY(twips);
}

QFont listFont(double points) {
    QFont font(QStringLiteral("Noto Sans Mono CJK JP"));
    font.setStyleHint(QFont::Monospace);
    font.setPointSizeF(points);
    return font;
}

// Places a control at its design position (twips), keeping at least the
// height its font needs.
void place(QWidget* w, double left, double top, double width, double height) {
    w->setGeometry(px(left), py(top), std::max(px(width), 1),
                   std::max(py(height), w->sizeHint().height()));
}

} // namespace

MainForm::MainForm(App& app, CheckCycle& cycle, LogForm& logForm, MsgForm& msgForm, QWidget* parent)
    : QWidget(parent, Qt::Window), app_(app), cycle_(cycle), logForm_(logForm), msgForm_(msgForm),
      tray_(new TrayIcon(this)) {
    setFont(listFont(9.75));
    Label1 =
        new QLabel(QStringLiteral("指定のフォルダ／ファイルを監視し、新規作成、更新、削除された"
                                  "時にメッセージ（またはメール）で通知します。"),
                   this);
    Label3 = new QLabel(QStringLiteral("監視中のフォルダ／ファイル一覧"), this);
    WatchCheck = new QCheckBox(QStringLiteral("監視中"), this);
    WatchCheck->setFont(listFont(8.25));
    FileListAddButton = new QPushButton(QStringLiteral("監視ファイル追加"), this);
    FolderListAddButton = new QPushButton(QStringLiteral("監視フォルダ追加"), this);
    FolderListDelButton = new QPushButton(QStringLiteral("監視一覧削除"), this);
    ChkModeButton = new QPushButton(QStringLiteral("通知方法設定"), this);
    EnvSetButton = new QPushButton(QStringLiteral("共通設定"), this);
    FolderList = new QListWidget(this);
    FolderList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    FolderList->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    FolderList->setObjectName(QStringLiteral("FolderList"));
    WatchCheck->setObjectName(QStringLiteral("WatchCheck"));

    // Design positions in twips; the tab order follows the creation order.
    place(Label1, 90, 90, 10995, 240);
    place(Label3, 90, 540, 3345, 240);
    place(WatchCheck, 3465, 540, 870, 240);
    WatchCheck->resize(std::max(WatchCheck->width(), WatchCheck->sizeHint().width()),
                       WatchCheck->height());
    double left = 5175;
    for (QPushButton* b : {FileListAddButton, FolderListAddButton, FolderListDelButton,
                           ChkModeButton, EnvSetButton}) {
        b->setGeometry(px(left), py(405), px(1905), py(330));
        b->setFocusPolicy(Qt::StrongFocus);
        left += 2025;
    }
    FolderList->setGeometry(px(90), py(810), px(15090), py(1425));
    resize(px(15240), py(2340));

    // Mnemonics beside the captions, which stay as they are: Alt and the
    // key, told by the tool tip.
    const std::pair<QAbstractButton*, Qt::Key> keys[] = {
        {FileListAddButton, Qt::Key_F},   {FolderListAddButton, Qt::Key_D},
        {FolderListDelButton, Qt::Key_R}, {ChkModeButton, Qt::Key_N},
        {EnvSetButton, Qt::Key_S},        {WatchCheck, Qt::Key_W}};
    for (const auto& [button, key] : keys) {
        button->setShortcut(QKeySequence(Qt::ALT | key));
        button->setToolTip(QKeySequence(Qt::ALT | key).toString(QKeySequence::NativeText));
    }
    FolderList->setToolTip(QStringLiteral("Delete: 監視一覧削除, Enter: 通知方法設定"));

    // Small enough for a small or scaled screen: narrower than the row of
    // buttons beside the switch, the buttons get a row of their own
    // (layoutControls); never so small that a button or the list's rows
    // are cut.
    int buttons = -px(kButtonGap);
    for (QPushButton* b : {FileListAddButton, FolderListAddButton, FolderListDelButton,
                           ChkModeButton, EnvSetButton}) {
        b->resize(std::max(b->width(), b->sizeHint().width()), b->height());
        buttons += b->width() + px(kButtonGap);
    }
    const int listRows = FolderList->fontMetrics().height() * 2 + 2 * FolderList->frameWidth() +
                         FolderList->horizontalScrollBar()->sizeHint().height();
    setMinimumSize(FolderList->x() + buttons + px(kListRightMargin),
                   WatchCheck->geometry().bottom() + 1 + 2 * py(kButtonGap) +
                       FileListAddButton->height() + listRows + py(kListBottomMargin));

    mnuPopup = new QMenu(QStringLiteral("メニュー(&M)"), this);
    mnuVisible = mnuPopup->addAction(QStringLiteral("メイン表示／非表示"));
    mnuPopup->addSeparator();
    mnuLog = mnuPopup->addAction(QStringLiteral("ログ　表示/非表示"));
    mnuPopup->addSeparator();
    mnuExit = mnuPopup->addAction(QStringLiteral("終了"));
    connect(mnuVisible, &QAction::triggered, this, [this] { mnuVisible_Click(); });
    connect(mnuLog, &QAction::triggered, this, [this] { mnuLog_Click(); });
    connect(mnuExit, &QAction::triggered, this, [this] { mnuExit_Click(); });
    // The menu is also at hand on the window itself, for desktops without
    // a tray.
    setContextMenuPolicy(Qt::CustomContextMenu);
    connect(this, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& pos) { mnuPopup->popup(mapToGlobal(pos)); });

    connect(WatchCheck, &QCheckBox::toggled, this, [this] { WatchCheck_Click(); });
    connect(FileListAddButton, &QPushButton::clicked, this, [this] { FileListAddButton_Click(); });
    connect(FolderListAddButton, &QPushButton::clicked, this,
            [this] { FolderListAddButton_Click(); });
    connect(FolderListDelButton, &QPushButton::clicked, this,
            [this] { FolderListDelButton_Click(); });
    connect(ChkModeButton, &QPushButton::clicked, this, [this] { ChkModeButton_Click(); });
    connect(EnvSetButton, &QPushButton::clicked, this, [this] { EnvSetButton_Click(); });
    connect(FolderList, &QListWidget::itemDoubleClicked, this, [this] { FolderList_DblClick(); });

    connect(tray_, &TrayIcon::doubleClicked, this, [this] { trayDoubleClicked(); });
    connect(tray_, &TrayIcon::clicked, this, [this] { trayActivated(); });
    connect(tray_, &TrayIcon::contextClicked, this, [this] { trayClicked(); });

    Timer1.setSingleShot(true);
    Timer1.setInterval(1000);
    connect(&Timer1, &QTimer::timeout, this, [this] { Timer1_Timer(); });

    // Any pointer movement over the window counts as touching it.
    setMouseTracking(true);
    for (QWidget* child : findChildren<QWidget*>()) {
        child->setMouseTracking(true);
        child->installEventFilter(this);
    }

    chooseFile = [this] {
        // The current row's folder; the last file chosen when it is there.
        QString start = currentEntryFolder();
        if (!lastFile_.isEmpty() && QFileInfo(lastFile_).absolutePath() + '/' == start)
            start = lastFile_;
        QString file = ChooseFile(this, start);
        if (!file.isEmpty())
            lastFile_ = file;
        return file;
    };
    browseFolder = BrowseFolder;
    showChkModeForm = [this] {
        ChkModeForm dialog(app_, this);
        dialog.exec();
    };
    showEnvSetForm = [this] {
        EnvSetForm dialog(app_, this);
        dialog.exec();
    };
    systemTrayAvailable = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
}

MainForm::~MainForm() = default;

void MainForm::Form_Load() {
    setWindowTitle(QString::fromStdString(app_.settings.MainCaption));
    setWindowIcon(AppIcon());
    trayAvailable_ = systemTrayAvailable();
    try {
        tray_->AddIconTray(AppIcon(), TrayIcon::TrayTip(app_.settings.MainCaption), mnuPopup);
    } catch (const std::exception& e) {
        app_.logError("CommonModule", "AddIconTray", e.what(), true);
    }
    try {
        if (ReadIni(app_))
            MakeFolderList();
        WindowPlacement::load(app_, *this, "MainForm", kVisibleMarginX, kVisibleMarginY);
    } catch (const std::exception& e) {
        app_.logError("MainForm", "Form_Load", e.what(), true);
    }
    if (WatchCheck->isChecked())
        WatchCheck_Click();
    else
        WatchCheck->setChecked(true);

    if (app_.settings.StartVisible) {
        show();
        TrayTouched = false;
        // Without a tray the window would be out of reach once hidden.
        if (trayAvailable_)
            Timer1.start();
    } else if (trayAvailable_) {
        setWindowState(windowState() | Qt::WindowMinimized);
    } else {
        // Minimised on the taskbar. A window minimised before it is mapped
        // comes up in its normal state under X11 window managers (Qt sends
        // the request only to a mapped window): ask again once it is.
        show();
        auto* minimise = new QTimer(this);
        minimise->setInterval(50);
        connect(minimise, &QTimer::timeout, this, [this, minimise, looks = 0]() mutable {
            QWindow* w = windowHandle();
            if ((w && w->isExposed()) || ++looks >= 60) {
                minimise->deleteLater();
                minimise->stop();
                setWindowState(windowState() | Qt::WindowMinimized);
            }
        });
        minimise->start();
    }
}

void MainForm::MakeFolderList() {
    try {
        int index = FolderList->currentRow();
        FolderList->clear();
        for (WatchEntry& entry : app_.watchList) {
            if (entry.SendMailTo.empty())
                entry.SendMailTo = kMessageDisplay;
            FolderList->addItem(QString::fromStdString(FolderRowText(entry)));
        }
        FolderList->clearSelection();
        if (index >= 0 && index < FolderList->count())
            FolderList->setCurrentRow(index, QItemSelectionModel::ClearAndSelect);
        else
            FolderList->selectionModel()->clearCurrentIndex();
    } catch (const std::exception& e) {
        app_.logError("MainForm", "MakeFolderList", e.what(), true);
        return;
    }
    WriteIni(app_);
}

void MainForm::AddFolderList(const std::string& path) {
    try {
        // The entry goes in whole or not at all.
        app_.watchList.push_back(newWatchEntry(app_, path));
    } catch (const std::exception& e) {
        app_.logError("MainForm", "AddFolderList", e.what(), true);
    }
}

void MainForm::RemodeFolderList(int index) {
    if (index >= 0 && index < static_cast<int>(app_.watchList.size()))
        app_.watchList.erase(app_.watchList.begin() + index);
}

void MainForm::pauseWatching() {
    SavedWatchState = WatchCheck->isChecked() ? 1 : 0;
    WatchCheck->setChecked(false);
}

void MainForm::restoreWatching() {
    WatchCheck->setChecked(SavedWatchState == 1);
}

void MainForm::editingAction(const char* procedure, const std::function<void()>& body) {
    pauseWatching();
    try {
        body();
    } catch (const std::exception& e) {
        restoreWatching();
        app_.logError("MainForm", procedure, e.what(), true);
        return;
    }
    restoreWatching();
}

int MainForm::messageBox(const std::string& text, int style) {
    if (!app_.messageBox)
        return IdOk;
    return app_.messageBox(MessageBoxRequest{kTitle, text, style});
}

void MainForm::selectOnly(int row) {
    FolderList->clearSelection();
    if (row >= 0 && row < FolderList->count())
        FolderList->setCurrentRow(row, QItemSelectionModel::ClearAndSelect);
}

void MainForm::WatchCheck_Click() {
    cycle_.setWatching(WatchCheck->isChecked());
}

void MainForm::FileListAddButton_Click() {
    editingAction("FileListAddButton_Click", [this] {
        if (!ReadIni(app_))
            return;
        QString file = chooseFile();
        if (file.isEmpty())
            return; // cancelled
        AddFolderList(file.toStdString());
        MakeFolderList();
        selectOnly(FolderList->count() - 1);
    });
}

void MainForm::FolderListAddButton_Click() {
    editingAction("FolderListAddButton_Click", [this] {
        if (!ReadIni(app_))
            return;
        QString start = currentEntryFolder();
        QString chosen = browseFolder(this, QStringLiteral("フォルダを指定してください"), start);
        if (chosen == start || chosen.isEmpty())
            return;
        std::string folder = chosen.toStdString();
        if (folder.back() == '/')
            folder.pop_back();
        folder += '/';
        AddFolderList(folder);
        MakeFolderList();
        selectOnly(FolderList->count() - 1);
    });
}

void MainForm::FolderListDelButton_Click() {
    editingAction("FolderListDelButton_Click", [this] {
        if (FolderList->count() == 0) {
            messageBox(kNoRows, MbOk);
            return;
        }
        if (messageBox(kConfirmRemoval, MbOkCancel) != IdOk)
            return;
        if (!ReadIni(app_))
            return;
        int remembered = 0;
        for (int row = FolderList->count() - 1; row >= 0; --row) {
            if (FolderList->item(row)->isSelected()) {
                RemodeFolderList(row);
                remembered = row;
            }
        }
        MakeFolderList();
        int rows = FolderList->count();
        if (rows > 0)
            selectOnly(remembered < rows ? remembered : rows - 1);
    });
}

void MainForm::ChkModeButton_Click() {
    editingAction("ChkModeButton_Click", [this] {
        if (FolderList->count() == 0) {
            messageBox(kNoRows, MbOk);
            return;
        }
        if (FolderList->selectedItems().isEmpty())
            FolderList->item(0)->setSelected(true);
        if (!ReadIni(app_))
            return;
        const int entries = static_cast<int>(app_.watchList.size());
        std::vector<int> selected;
        for (int row = 0; row < FolderList->count() && row < entries; ++row)
            if (FolderList->item(row)->isSelected())
                selected.push_back(row);
        if (selected.empty())
            return; // the file lost its entries meanwhile
        DialogValues& d = app_.dialog;
        d.SelectionKinds = 0;
        for (int row : selected)
            d.SelectionKinds |= app_.watchList[row].isFolder() ? SelFolder : SelFile;
        // The focused row seeds the dialog; without one, the first selected.
        int current = FolderList->currentRow();
        int seed = current >= 0 && current < entries ? current : selected.front();
        const WatchEntry& source = app_.watchList[seed];
        d.EditMailTo = source.SendMailTo;
        d.EditChkMode = source.FileChkMode;
        d.EditBdLines = static_cast<std::int32_t>(numericValue(source.MailBdLines));
        d.DialogAccepted = false;
        showChkModeForm();
        if (!d.DialogAccepted)
            return;
        for (int row : selected)
            applyEntrySettings(app_.watchList[row], d.EditMailTo, d.EditChkMode, d.EditBdLines);
        MakeFolderList();
    });
}

void MainForm::FolderList_DblClick() {
    try {
        if (!ReadIni(app_))
            return;
    } catch (const std::exception& e) {
        app_.logError("MainForm", "FolderList_DblClick", e.what(), true);
        return;
    }
    ChkModeButton_Click();
}

void MainForm::EnvSetButton_Click() {
    editingAction("EnvSetButton_Click", [this] { showEnvSetForm(); });
}

void MainForm::hideLogViewer() {
    if (!logForm_.isVisible())
        return;
    logForm_.setWindowState(logForm_.windowState() | Qt::WindowMinimized);
    logForm_.hide();
}

void MainForm::mnuVisible_Click() {
    if (isVisible() && !isMinimized()) {
        hideLogViewer();
        setWindowState(windowState() | Qt::WindowMinimized);
        if (trayAvailable_)
            hide();
    } else {
        restored_.start();
        setWindowState(windowState() & ~Qt::WindowMinimized);
        show();
        raise();
        activateWindow();
    }
}

void MainForm::mnuLog_Click() {
    if (logForm_.isVisible() && !logForm_.isMinimized()) {
        hideLogViewer();
    } else {
        logForm_.setWindowState(logForm_.windowState() & ~Qt::WindowMinimized);
        logForm_.show();
        logForm_.raise();
        logForm_.activateWindow();
    }
}

void MainForm::mnuExit_Click() {
    close();
}

void MainForm::Timer1_Timer() {
    Timer1.stop();
    if (FolderList->count() > 0 && !TrayTouched && trayAvailable_)
        setWindowState(windowState() | Qt::WindowMinimized);
}

void MainForm::trayActivated() {
    TrayTouched = true;
    if (!isVisible() || isMinimized()) {
        mnuVisible_Click();
        shownByClick_.start();
    }
    trayClicked();
}

void MainForm::trayDoubleClicked() {
    TrayTouched = true;
    // The first click of the double click showed the window already.
    if (shownByClick_.isValid() &&
        shownByClick_.elapsed() <= 2 * QApplication::doubleClickInterval()) {
        shownByClick_.invalidate();
        return;
    }
    mnuVisible_Click();
}

void MainForm::trayClicked() {
    TrayTouched = true;
    if (isVisible()) {
        raise();
        activateWindow();
    }
    if (msgForm_.isVisible()) {
        msgForm_.raise();
        msgForm_.activateWindow();
    }
}

void MainForm::bringToFront(const QString& token) {
    restored_.start();
    bringBack(*this, token);
}

QString MainForm::currentEntryFolder() const {
    const int row = FolderList->currentRow();
    if (row >= 0 && row < static_cast<int>(app_.watchList.size())) {
        const WatchEntry& entry = app_.watchList[row];
        QString path = QString::fromStdString(entry.CheckFolder);
        if (!entry.isFolder())
            path = QFileInfo(path).absolutePath();
        // The nearest folder that is still there.
        QDir dir(path);
        while (!dir.exists() && !dir.isRoot() && dir.cdUp()) {
        }
        if (dir.exists() && !dir.isRoot())
            return dir.absolutePath() + '/';
    }
    return QDir::homePath() + '/';
}

void MainForm::layoutControls() {
    const int w = width() - FolderList->x() - px(kListRightMargin);
    if (w > 0) {
        FolderList->resize(w, FolderList->height());
        int right = FolderList->x() + w;
        int row = -px(kButtonGap);
        for (QPushButton* b : {EnvSetButton, ChkModeButton, FolderListDelButton,
                               FolderListAddButton, FileListAddButton})
            row += b->width() + px(kButtonGap);
        // The design's row beside the switch, or, where that is too narrow,
        // a row of their own above the list.
        const bool ownRow =
            right - row <
            std::max(WatchCheck->geometry().right(), Label3->geometry().right()) + px(kButtonGap);
        const int top = ownRow ? WatchCheck->geometry().bottom() + 1 + py(kButtonGap) : py(405);
        for (QPushButton* b : {EnvSetButton, ChkModeButton, FolderListDelButton,
                               FolderListAddButton, FileListAddButton}) {
            b->move(right - b->width(), top);
            right = b->x() - px(kButtonGap);
        }
        FolderList->move(FolderList->x(),
                         ownRow ? top + FileListAddButton->height() + py(kButtonGap) : py(810));
    }
    const int h = height() - FolderList->y() - py(kListBottomMargin);
    if (h > 0)
        FolderList->resize(FolderList->width(), h);
}

void MainForm::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    layoutControls();
}

void MainForm::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    // A minimised window lives only as the tray icon, and takes the log
    // viewer with it. Without a tray it stays on the taskbar.
    if (event->type() == QEvent::WindowStateChange && isMinimized() && trayAvailable_) {
        // An X11 window manager may carry out the minimising that hid the
        // window only once it is mapped again: just after the user brought
        // it back, that late report is undone rather than obeyed.
        if (event->spontaneous() && restored_.isValid() && restored_.elapsed() < 2000) {
            QTimer::singleShot(0, this, [this] { bringBack(*this); });
            return;
        }
        hideLogViewer();
        hide();
    }
}

void MainForm::closeEvent(QCloseEvent* event) {
    Timer1.stop();
    logForm_.savePlacement();
    logForm_.hide();
    WindowPlacement::saveIfNormal(app_, *this, "MainForm");
    tray_->DelIconTray();
    event->accept();
    emit exitRequested();
}

bool MainForm::event(QEvent* event) {
    switch (event->type()) {
    case QEvent::MouseMove:
    case QEvent::Enter:
    case QEvent::HoverMove:
    case QEvent::MouseButtonPress:
        TrayTouched = true;
        break;
    default:
        break;
    }
    return QWidget::event(event);
}

bool MainForm::eventFilter(QObject* watched, QEvent* event) {
    // Delete and Enter on the list are its two buttons.
    if (watched == FolderList && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->modifiers() == Qt::NoModifier || key->modifiers() == Qt::KeypadModifier) {
            if (key->key() == Qt::Key_Delete) {
                FolderListDelButton_Click();
                return true;
            }
            if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
                ChkModeButton_Click();
                return true;
            }
        }
    }
    if (event->type() == QEvent::MouseMove || event->type() == QEvent::Enter ||
        event->type() == QEvent::MouseButtonPress)
        TrayTouched = true;
    return QWidget::eventFilter(watched, event);
}

} // namespace kestrova
