// The notification settings of the selected watch entries: recipient,
// notified events, mail body lines and attachment options. Reads and writes
// only the dialog hand-over values of the App.
#pragma once

#include <QDialog>

#include <functional>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace kestrova {

struct App;

class ChkModeForm : public QDialog {
    Q_OBJECT
public:
    explicit ChkModeForm(App& app, QWidget* parent = nullptr);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void Form_Load();
    void MailToCombo_Change();
    void FileCheck_Click(int index);
    void FAppendBodyCheck_Click();
    void FAppendFileCheck_Click();
    void FAppendLhaCheck_Click();
    void FAppendSubCheck_Click();
    void Command1_Click(int index);

    void enableRule();
    void bodyLinesRule();
    // Runs one event procedure, reporting any failure of it.
    void guarded(const char* procedure, const std::function<void()>& body);
    int showMessage(const std::string& text, int style);

    App& app_;
    QLabel* label1_;
    QComboBox* mailToCombo_;
    QLabel* label2_;
    QCheckBox* fileCheck_[3];
    QCheckBox* fAppendBodyCheck_;
    QLineEdit* mailBdLinesText_;
    QLabel* mailBdLinesLable_;
    QCheckBox* fAppendFileCheck_;
    QLabel* label3_;
    QCheckBox* fAppendLhaCheck_;
    QCheckBox* fAppendSubCheck_;
    QLabel* label4_;
    QPushButton* command1_[2];
};

} // namespace kestrova
