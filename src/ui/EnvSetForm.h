// The settings that all watch entries share: mail servers and login, the
// sender, the notification texts and the check interval. Edits the App's
// settings in place and stores them itself on OK.
#pragma once

#include <QDialog>

#include <functional>
#include <string>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace kestrova {

struct App;

class EnvSetForm : public QDialog {
    Q_OBJECT
public:
    explicit EnvSetForm(App& app, QWidget* parent = nullptr);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Form_Load();
    void AuthModeCombo_Click();
    void MailFromUserText_Validate();
    void Command1_Click(int index);
    // Runs the OK checks; true when everything was stored.
    bool acceptFields();

    void guarded(const char* procedure, const std::function<void()>& body);
    int showMessage(const std::string& text, int style);

    App& app_;
    QComboBox* authModeCombo_;
    QLineEdit* popServerText_;
    QCheckBox* apopCheck_;
    QLineEdit* smtpServerText_;
    QLineEdit* mailFromUserText_;
    QLineEdit* mailFromPassText_;
    QLineEdit* mailFromNameText_;
    QLineEdit* mailFromAddrText_;
    QLineEdit* mailTitleText_;
    QCheckBox* mailFListAddCheck_;
    QPlainTextEdit* mailMsgText_;
    QLineEdit* checkSecText_;
    QPushButton* command1_[2];
};

} // namespace kestrova
