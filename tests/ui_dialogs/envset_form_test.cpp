// The common settings dialog: loading, the authentication switch, the
// sender copy, the OK checks in their order, and what reaches the files.
#include "WidgetApp.h"
#include "core/App.h"
#include "support/AppFixture.h"
#include "ui/EnvSetForm.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <gtest/gtest.h>

#include <memory>
#include <sys/stat.h>

using namespace kestrova;
using kestrova::test::AppFixture;
using kestrova::test::readFile;

namespace {

class EnvSetFormTest : public ::testing::Test {
protected:
    void SetUp() override {
        kestrova::test::widgetApp();
        AppSettings& s = f.app.settings;
        s.SmtpServer = "mail.example.com:587";
        s.AuthMode = "SMTP AUTH LOGIN";
        s.APopMode = true;
        s.PopServer = "pop.example.com";
        s.MailFromUser = "user1";
        s.MailFromPass = "pass word";
        s.MailFromName = "送信者";
        s.MailFromAddr = "user1@example.com";
        s.MailTitle = "件名";
        s.MailMsg = "一行目\r\n二行目";
        s.MailFListAdd = false;
        s.CheckSec = "30";
        WatchEntry e;
        e.CheckFolder = "/data/";
        e.SendMailTo = "to@example.com";
        e.FileChkMode = 7;
        e.MailBdLines = "99999";
        f.app.watchList.push_back(e);
        ASSERT_TRUE(WriteIni(f.app));
        settingsBefore = readFile(f.settingsFile());
        watchBefore = readFile(f.watchListFile());
    }

    EnvSetForm& open() {
        form = std::make_unique<EnvSetForm>(f.app);
        form->show();
        return *form;
    }
    QLineEdit* text(const char* name) { return form->findChild<QLineEdit*>(name); }
    QComboBox* auth() { return form->findChild<QComboBox*>("AuthModeCombo"); }
    QCheckBox* check(const char* name) { return form->findChild<QCheckBox*>(name); }
    QPlainTextEdit* msg() { return form->findChild<QPlainTextEdit*>("MailMsgText"); }
    void press(int index) {
        form->findChild<QPushButton*>(QStringLiteral("Command1_%1").arg(index))->click();
    }
    void set(const char* name, const char* value) { text(name)->setText(QString::fromUtf8(value)); }
    // Presses OK expecting one message; returns its text.
    std::string okWithMessage() {
        f.boxes.clear();
        press(0);
        EXPECT_EQ(f.boxes.size(), 1u);
        EXPECT_TRUE(form->isVisible());
        return f.boxes.empty() ? "" : f.boxes[0].text;
    }
    std::string focused() {
        QWidget* w = form->focusWidget();
        return w ? w->objectName().toStdString() : "";
    }
    bool filesUnchanged() {
        return readFile(f.settingsFile()) == settingsBefore &&
               readFile(f.watchListFile()) == watchBefore;
    }
    // The settings as the next check pass will read them.
    AppSettings reread() {
        AppFixture other;
        other.app.settings.SettingsFile = f.settingsFile();
        other.app.settings.WatchListFile = f.watchListFile();
        EXPECT_TRUE(ReadIni(other.app));
        return other.app.settings;
    }

    AppFixture f;
    std::unique_ptr<EnvSetForm> form;
    std::string settingsBefore;
    std::string watchBefore;
};

TEST_F(EnvSetFormTest, LoadsFieldsInDesignedOrder) {
    f.app.dialog.DialogAccepted = true;
    open();
    EXPECT_FALSE(f.app.dialog.DialogAccepted);
    EXPECT_EQ(text("SmtpServerText")->text().toStdString(), "mail.example.com:587");
    EXPECT_EQ(auth()->currentText().toStdString(), "SMTP AUTH LOGIN");
    EXPECT_TRUE(check("ApopCheck")->isChecked());
    EXPECT_EQ(text("PopServerText")->text().toStdString(), "pop.example.com");
    EXPECT_EQ(text("MailFromPassText")->text().toStdString(), "pass word");
    EXPECT_EQ(text("MailFromPassText")->echoMode(), QLineEdit::Password);
    EXPECT_EQ(msg()->toPlainText().toStdString(), "一行目\n二行目");
    EXPECT_FALSE(check("MailFListAddCheck")->isChecked());
    EXPECT_EQ(text("CheckSecText")->text().toStdString(), "30");
    EXPECT_EQ(focused(), "SmtpServerText");
    EXPECT_NE(text("SmtpServerText")->toolTip().indexOf("mail.example.com:25"), -1);
    EXPECT_NE(text("PopServerText")->toolTip().indexOf("mail.example.com:110"), -1);

    std::vector<std::string> order;
    QWidget* w = text("SmtpServerText");
    for (int i = 0; i < 14; ++i, w = w->nextInFocusChain()) {
        while (w->focusPolicy() == Qt::NoFocus || w->objectName().isEmpty() ||
               !w->objectName().front().isUpper())
            w = w->nextInFocusChain();
        order.push_back(w->objectName().toStdString());
    }
    EXPECT_EQ(order, (std::vector<std::string>{
                         "SmtpServerText", "MailFromUserText", "MailFromPassText",
                         "MailFromNameText", "MailFromAddrText", "MailTitleText",
                         "MailFListAddCheck", "MailMsgText", "CheckSecText", "Command1_0",
                         "Command1_1", "AuthModeCombo", "PopServerText", "ApopCheck"}));
}

TEST_F(EnvSetFormTest, DrawnSize) {
    open();
    const int dpi = form->logicalDpiY();
    auto px = [dpi](int twips) { return twips * dpi / 1440; };
    EXPECT_EQ(msg()->height(), px(1410));
    // 6000 twips high as drawn (400 pixels at 96 dpi); the platform's
    // fonts may add a little, never the text box's own default height.
    EXPECT_GE(form->height(), px(6000) - px(300)) << form->height();
    EXPECT_LE(form->height(), px(6000) + px(600)) << form->height();
    EXPECT_GE(form->width(), px(9660) - px(300)) << form->width();
}

TEST_F(EnvSetFormTest, AuthenticationGreysPopFields) {
    open();
    QLineEdit* pop = text("PopServerText");
    EXPECT_FALSE(pop->isEnabled());
    EXPECT_FALSE(check("ApopCheck")->isEnabled());
    EXPECT_EQ(pop->palette().color(QPalette::Base), pop->palette().color(QPalette::Button));
    auth()->setCurrentIndex(0);
    EXPECT_TRUE(pop->isEnabled());
    EXPECT_TRUE(check("ApopCheck")->isEnabled());
    EXPECT_NE(pop->palette().color(QPalette::Base), pop->palette().color(QPalette::Button));
    auth()->setCurrentIndex(3);
    EXPECT_FALSE(pop->isEnabled());
    // Greyed values stay and are saved with the rest.
    press(0);
    EXPECT_TRUE(f.app.dialog.DialogAccepted);
    AppSettings s = reread();
    EXPECT_EQ(s.AuthMode, "SMTP AUTH PLAIN");
    EXPECT_EQ(s.PopServer, "pop.example.com");
    EXPECT_TRUE(s.APopMode);
}

TEST_F(EnvSetFormTest, UnknownStoredModeSavedAsPopBeforeSmtp) {
    f.app.settings.AuthMode = "SMTP AUTH XOAUTH";
    open();
    EXPECT_EQ(auth()->currentText().toStdString(), "POP before SMTP");
    EXPECT_TRUE(text("PopServerText")->isEnabled());
    press(0);
    EXPECT_EQ(reread().AuthMode, "POP before SMTP");
}

TEST_F(EnvSetFormTest, LeavingUserIdFillsEmptySender) {
    open();
    auto leave = [&](Qt::FocusReason reason) {
        QFocusEvent out(QEvent::FocusOut, reason);
        QApplication::sendEvent(text("MailFromUserText"), &out);
    };
    set("MailFromUserText", "alice");
    leave(Qt::TabFocusReason);
    EXPECT_EQ(text("MailFromAddrText")->text().toStdString(), "user1@example.com");
    set("MailFromAddrText", "");
    leave(Qt::ActiveWindowFocusReason); // another window, not another field
    EXPECT_EQ(text("MailFromAddrText")->text().toStdString(), "");
    leave(Qt::MouseFocusReason);
    EXPECT_EQ(text("MailFromAddrText")->text().toStdString(), "alice");
    set("MailFromAddrText", " ");
    set("MailFromUserText", "bob");
    leave(Qt::TabFocusReason);
    EXPECT_EQ(text("MailFromAddrText")->text().toStdString(), " ");
}

TEST_F(EnvSetFormTest, RequiredMailFieldsInOrder) {
    open();
    auth()->setCurrentIndex(0);
    for (const char* name :
         {"PopServerText", "MailFromUserText", "MailFromPassText", "MailFromAddrText"})
        set(name, "");
    const std::pair<const char*, const char*> steps[] = {
        {"ＰＯＰサーバーを入力してください", "PopServerText"},
        {"ユーザＩＤを入力してください", "MailFromUserText"},
        {"パスワードを入力してください", "MailFromPassText"},
        {"送信元メールアドレスを入力してください", "MailFromAddrText"}};
    for (const auto& [message, field] : steps) {
        EXPECT_EQ(okWithMessage(), message);
        EXPECT_EQ(f.boxes[0].title, "Kestrova");
        EXPECT_EQ(f.boxes[0].style, MbOk);
        EXPECT_EQ(focused(), field);
        set(field, " ");
    }
    EXPECT_FALSE(f.app.dialog.DialogAccepted);
    EXPECT_TRUE(filesUnchanged());
    EXPECT_TRUE(f.logLines().empty()); // input problems are no failures
    f.boxes.clear();
    press(0);
    EXPECT_TRUE(f.boxes.empty());
    EXPECT_EQ(reread().MailFromUser, " "); // saved as typed
}

TEST_F(EnvSetFormTest, PopServerNotNeededForSmtpAuth) {
    open();
    set("PopServerText", "");
    press(0);
    EXPECT_TRUE(f.boxes.empty());
    EXPECT_TRUE(f.app.dialog.DialogAccepted);
    EXPECT_EQ(reread().PopServer, "");
}

TEST_F(EnvSetFormTest, EmptySmtpServerAnsweredNo) {
    open();
    set("SmtpServerText", "");
    set("MailFromUserText", "changed");
    text("CheckSecText")->setFocus();
    f.answer = IdNo;
    EXPECT_EQ(okWithMessage(), "ＳＭＴＰサーバーが入力されていません。\r\n"
                               "メール送信機能は使用できませんが宜しいですか？");
    EXPECT_EQ(f.boxes[0].style, MbYesNo);
    EXPECT_EQ(focused(), "SmtpServerText");
    EXPECT_FALSE(f.app.dialog.DialogAccepted);
    EXPECT_EQ(f.app.settings.MailFromUser, "user1");
    EXPECT_TRUE(filesUnchanged());
}

TEST_F(EnvSetFormTest, EmptySmtpServerAnsweredYesSkipsMailChecks) {
    open();
    auth()->setCurrentIndex(0);
    for (const char* name : {"SmtpServerText", "PopServerText", "MailFromUserText",
                             "MailFromPassText", "MailFromAddrText", "MailFromNameText"})
        set(name, "");
    set("MailTitleText", " ");
    f.answer = IdYes;
    // Subject, message and interval are still checked.
    press(0);
    ASSERT_EQ(f.boxes.size(), 2u);
    EXPECT_EQ(f.boxes[0].text, "ＳＭＴＰサーバーが入力されていません。\r\n"
                               "メール送信機能は使用できませんが宜しいですか？");
    EXPECT_EQ(f.boxes[1].text, "通知メッセージタイトルが空白の場合は自動的に既定値が設定されます");
    EXPECT_EQ(text("MailTitleText")->text().toStdString(), "ファイル更新通知");
    EXPECT_EQ(focused(), "MailTitleText");
    f.boxes.clear();
    press(0);
    EXPECT_EQ(f.boxes.size(), 1u); // only the question
    EXPECT_TRUE(f.app.dialog.DialogAccepted);
    EXPECT_FALSE(form->isVisible());
    AppSettings s = reread();
    EXPECT_EQ(s.SmtpServer, "");
    EXPECT_EQ(s.MailFromUser, "");
    EXPECT_EQ(s.MailFromPass, "");
    EXPECT_EQ(s.MailFromAddr, "");
    EXPECT_EQ(s.MailTitle, "ファイル更新通知");
}

TEST_F(EnvSetFormTest, BlankTextsGetDefaults) {
    open();
    set("MailFromNameText", "   ");
    EXPECT_EQ(okWithMessage(), "ユーザ名が空白の場合は自動的に既定値が設定されます");
    EXPECT_EQ(text("MailFromNameText")->text().toStdString(), "ケストロバ");
    EXPECT_EQ(focused(), "MailFromNameText");
    EXPECT_TRUE(filesUnchanged());
    set("MailTitleText", "　"); // a full-width space is blank too
    EXPECT_EQ(okWithMessage(), "通知メッセージタイトルが空白の場合は自動的に既定値が設定されます");
    msg()->setPlainText("  ");
    EXPECT_EQ(okWithMessage(), "通知メッセージが空白の場合は自動的に既定値が設定されます");
    EXPECT_EQ(msg()->toPlainText().toStdString(), "監視中のファイルが更新されました。");
    EXPECT_EQ(focused(), "MailMsgText");
    f.boxes.clear();
    press(0);
    EXPECT_TRUE(f.boxes.empty());
    AppSettings s = reread();
    EXPECT_EQ(s.MailFromName, "ケストロバ");
    EXPECT_EQ(s.MailTitle, "ファイル更新通知");
    EXPECT_EQ(s.MailMsg, "監視中のファイルが更新されました。");
}

TEST_F(EnvSetFormTest, IntervalTexts) {
    for (const char* bad : {"", "0", "-5", "abc", "0.0"}) {
        open();
        set("CheckSecText", bad);
        EXPECT_EQ(okWithMessage(), "ファイル監視間隔が空白の場合は自動的に既定値が設定されます")
            << bad;
        EXPECT_EQ(text("CheckSecText")->text().toStdString(), "10");
        EXPECT_EQ(focused(), "CheckSecText");
        EXPECT_TRUE(filesUnchanged());
    }
    for (const char* good : {"0.5", "15秒"}) {
        open();
        set("CheckSecText", good);
        f.boxes.clear();
        press(0);
        EXPECT_TRUE(f.boxes.empty()) << good;
        EXPECT_EQ(f.app.settings.CheckSec, good);
        EXPECT_EQ(GetIniValue(f.app, kInitSetting, "CheckSec", "", f.settingsFile()), good);
    }
}

TEST_F(EnvSetFormTest, OkSavesEveryFieldAndEnciphersPassword) {
    open();
    set("SmtpServerText", " smtp.example.org ");
    auth()->setCurrentIndex(2);
    set("MailFromPassText", "新しい秘密");
    set("MailFromNameText", " 名前 ");
    set("MailFromAddrText", "from@example.org");
    set("MailTitleText", "題");
    msg()->setPlainText("a\nb");
    check("MailFListAddCheck")->setChecked(true);
    check("ApopCheck")->setChecked(false);
    set("CheckSecText", "12");
    press(0);
    ASSERT_TRUE(f.app.dialog.DialogAccepted);
    EXPECT_EQ(f.app.settings.MailMsg, "a\r\nb");
    const std::string stored = readFile(f.settingsFile());
    EXPECT_EQ(stored.find("新しい秘密"), std::string::npos);
    EXPECT_EQ(readFile(f.watchListFile()), watchBefore);
    AppSettings s = reread();
    EXPECT_EQ(f.app.settings.MailFromName, " 名前 "); // copied untrimmed
    EXPECT_EQ(s.SmtpServer, " smtp.example.org ");
    EXPECT_EQ(s.AuthMode, "SMTP AUTH CRAM-MD5");
    EXPECT_FALSE(s.APopMode);
    EXPECT_EQ(s.MailFromPass, "新しい秘密");
    EXPECT_EQ(s.MailFromAddr, "from@example.org");
    EXPECT_EQ(s.MailTitle, "題");
    EXPECT_EQ(s.MailMsg, "a\r\nb");
    EXPECT_TRUE(s.MailFListAdd);
    EXPECT_EQ(s.CheckSec, "12");
}

TEST_F(EnvSetFormTest, CancelCloseAndKeysSaveNothing) {
    const AppSettings before = f.app.settings;
    for (int way = 0; way < 2; ++way) {
        open();
        set("SmtpServerText", "other.example.com");
        auth()->setCurrentIndex(0);
        set("MailFromPassText", "x");
        set("CheckSecText", "99");
        // Enter and Esc press neither button.
        for (int key : {Qt::Key_Return, Qt::Key_Escape}) {
            QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
            QApplication::sendEvent(text("CheckSecText"), &press);
        }
        EXPECT_TRUE(form->isVisible());
        if (way == 0)
            press(1);
        else
            form->close();
        EXPECT_FALSE(form->isVisible());
        EXPECT_FALSE(f.app.dialog.DialogAccepted);
        EXPECT_TRUE(filesUnchanged());
        EXPECT_EQ(f.app.settings.SmtpServer, before.SmtpServer);
        EXPECT_EQ(f.app.settings.MailFromPass, before.MailFromPass);
        EXPECT_EQ(f.app.settings.CheckSec, before.CheckSec);
    }
}

} // namespace

namespace {

TEST_F(EnvSetFormTest, UnsavableSettingsKeepDialogOpen) {
    // A folder where the settings file should be: the file cannot be written.
    const std::string blocked = f.dir / "blocked.ini";
    ASSERT_EQ(::mkdir(blocked.c_str(), 0700), 0);
    f.app.settings.SettingsFile = blocked;
    open();
    set("SmtpServerText", "other.example.com");
    press(0);
    EXPECT_TRUE(form->isVisible());
    EXPECT_FALSE(f.app.dialog.DialogAccepted);
    EXPECT_EQ(f.app.settings.SmtpServer, "mail.example.com:587"); // memory as stored
    bool reported = false;
    for (const std::string& line : f.logLines())
        reported |= line.find("\tEnvSetForm\tCommand1_Click\tシス・エラー") != std::string::npos;
    EXPECT_TRUE(reported);
    // Cancel still closes.
    press(1);
    EXPECT_FALSE(form->isVisible());
}

} // namespace
