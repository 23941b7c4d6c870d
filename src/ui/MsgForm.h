// The update message window: shows the caption and text that the check
// cycle put into App::message, in front of other windows without staying on
// top. Closing it only hides it.
#pragma once

#include <QPlainTextEdit>
#include <QPushButton>
#include <QWidget>

namespace kestrova {

struct App;

class MsgForm : public QWidget {
    Q_OBJECT
public:
    explicit MsgForm(App& app, QWidget* parent = nullptr);

    // Reads the stored placement; the window stays hidden.
    void Form_Load();
    // Shows App::message and brings the window to the front (interactive
    // runs only).
    void MsgShow();
    // Saves the placement in the normal state, then hides the window.
    void CloseButton_Click();

    QPlainTextEdit* MsgText;
    QPushButton* CloseButton;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    App& app_;
};

} // namespace kestrova
