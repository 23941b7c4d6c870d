#include "ui/MsgForm.h"

#include "core/App.h"
#include "ui/DesktopNotifier.h"
#include "ui/WindowActivation.h"
#include "ui/WindowPlacement.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <exception>

namespace kestrova {

namespace {

constexpr double kVisibleMargin = 2000;
constexpr double kMargin = 50;
constexpr double kButtonFromRight = 300;
constexpr double kButtonFromBottom = 40;

int px(double twips) {
    return WindowPlacement::toPixelsX(twips);
}
int py(double twips) {
    return WindowPlacement::toPixelsY(twips);
}

} // namespace

MsgForm::MsgForm(App& app, QWidget* parent) : QWidget(parent, Qt::Window), app_(app) {
    setWindowTitle(QStringLiteral("監視ファイル更新通知"));
    QFont font(QStringLiteral("Noto Sans Mono CJK JP"));
    font.setStyleHint(QFont::Monospace);
    font.setPointSizeF(9.75);
    setFont(font);
    MsgText = new QPlainTextEdit(this);
    MsgText->setObjectName(QStringLiteral("MsgText"));
    MsgText->setGeometry(px(45), py(45), px(13170), py(2220));
    // A notice is read, selected and copied, never typed into.
    MsgText->setReadOnly(true);
    MsgText->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    MsgText->setTabChangesFocus(true);
    CloseButton = new QPushButton(QStringLiteral("閉じる"), this);
    CloseButton->setObjectName(QStringLiteral("CloseButton"));
    CloseButton->setGeometry(px(11790), py(1890), px(1095), py(330));
    CloseButton->setShortcut(QKeySequence(Qt::ALT | Qt::Key_C));
    CloseButton->setToolTip(QStringLiteral("Alt+C, Esc"));
    connect(CloseButton, &QPushButton::clicked, this, [this] { CloseButton_Click(); });
    // Shown from the background like a window of a background process: on
    // top, the keyboard staying with the user's program.
    setAttribute(Qt::WA_ShowWithoutActivating);
}

void MsgForm::Form_Load() {
    try {
        WindowPlacement::load(app_, *this, "MsgForm", kVisibleMargin, kVisibleMargin);
        hide();
    } catch (const std::exception& e) {
        app_.logError("MsgForm", "Form_Load", e.what(), true);
    }
}

void MsgForm::MsgShow() {
    if (!app_.settings.Interactive)
        return;
    try {
        setWindowTitle(QString::fromStdString(app_.message.caption));
        MsgText->setPlainText(QString::fromStdString(app_.message.text));
        if (notifier)
            notifier->notify(windowTitle(), MsgText->toPlainText());
        if (isMinimized())
            setWindowState(windowState() & ~Qt::WindowMinimized);
        // Under Wayland a window cannot raise itself: one left open behind
        // others is mapped anew, which brings it up (with the new text)
        // without the focus; the desktop notice and the urgency hint say
        // the rest.
        if (!WindowPlacement::positionsKnown() && isVisible() && !isActiveWindow())
            hide();
        show();
        raise();
        if (!isActiveWindow())
            QApplication::alert(this);
    } catch (const std::exception& e) {
        app_.logError("MsgForm", "MsgShow", e.what(), true);
    }
}

void MsgForm::bringToFront(const QString& token) {
    // The window holds the newest message, whichever notice was chosen.
    bringBack(*this, token);
}

void MsgForm::CloseButton_Click() {
    try {
        WindowPlacement::saveIfNormal(app_, *this, "MsgForm");
    } catch (const std::exception& e) {
        app_.logError("MsgForm", "CloseButton_Click", e.what(), true);
    }
    hide();
}

void MsgForm::keyPressEvent(QKeyEvent* event) {
    // Esc is 閉じる.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier)
        CloseButton_Click();
    else
        QWidget::keyPressEvent(event);
}

void MsgForm::closeEvent(QCloseEvent* event) {
    // The window's close box behaves like its button: the window only hides.
    event->ignore();
    CloseButton_Click();
}

void MsgForm::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    int w = width() - MsgText->x() - px(kMargin);
    if (w > 0) {
        MsgText->resize(w, MsgText->height());
        CloseButton->move(MsgText->x() + w - CloseButton->width() - px(kButtonFromRight),
                          CloseButton->y());
    }
    int h = height() - MsgText->y() - py(kMargin);
    if (h > 0) {
        MsgText->resize(MsgText->width(), h);
        CloseButton->move(CloseButton->x(),
                          MsgText->y() + h - CloseButton->height() - py(kButtonFromBottom));
    }
}

} // namespace kestrova
