// The update message window: shows the caption and text that the check
// cycle put into App::message, in front of other windows without staying on
// top and without taking the keyboard from the user's program. Closing it
// (閉じる, Esc, the close box) only hides it.
#pragma once

#include <QPlainTextEdit>
#include <QPushButton>
#include <QWidget>

namespace kestrova {

struct App;
class DesktopNotifier;

class MsgForm : public QWidget {
    Q_OBJECT
public:
    explicit MsgForm(App& app, QWidget* parent = nullptr);

    // Reads the stored placement; the window stays hidden.
    void Form_Load();
    // Shows App::message and brings the window to the front without
    // activating it, and sends it to the desktop's notifications (interactive
    // runs only).
    void MsgShow();
    // The user asked for the window (a notice's "表示"): to the front with
    // the focus.
    void bringToFront(const QString& token = QString());
    // Saves the placement in the normal state, then hides the window.
    void CloseButton_Click();

    QPlainTextEdit* MsgText;
    QPushButton* CloseButton;
    // Where MsgShow also sends the message; none in tests without a bus.
    DesktopNotifier* notifier = nullptr;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    App& app_;
};

} // namespace kestrova
