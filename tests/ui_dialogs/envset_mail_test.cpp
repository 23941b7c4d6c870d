// A mail configured through the common settings dialog reaches a real SMTP
// server on loopback once the settings are read back from the files, as the
// next check pass reads them. Own program: the server helpers cannot be
// linked with the App fixture.
#include "TestServers.h"
#include "WidgetApp.h"
#include "core/App.h"
#include "notify/Notifier.h"
#include "ui/EnvSetForm.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <gtest/gtest.h>

#include <cstdlib>

using namespace kestrova;
namespace t = kestrova::test;

namespace {

void prepare(App& app, const t::TempDir& dir, std::vector<MessageBoxRequest>& boxes) {
    const char* appDir = std::getenv("KESTROVA_APP_DIR");
    app.programDir = appDir ? appDir : "";
    app.baseName = "kestrova";
    app.settings.SettingsFile = (dir.path() / "kestrova.ini").string();
    app.settings.WatchListFile = (dir.path() / "kestrovaD.ini").string();
    app.settings.TempFolder = (dir.path() / "Temp").string();
    app.settings.ComputerName = "testhost";
    app.log.setBasePath((dir.path() / "kestrova").string());
    app.log.messageBox = [&boxes](const MessageBoxRequest& r) {
        boxes.push_back(r);
        return 1;
    };
    app.messageBox = app.log.messageBox;
}

TEST(EnvSetMail, ConfiguredMailReachesServer) {
    t::widgetApp();
    t::SmtpServer smtp({.auth = "LOGIN", .user = "sender", .password = "pa ss秘"});
    t::TempDir dir;
    std::vector<MessageBoxRequest> boxes;

    App edited;
    prepare(edited, dir, boxes);
    {
        EnvSetForm form(edited);
        form.show();
        auto set = [&](const char* name, const std::string& value) {
            form.findChild<QLineEdit*>(name)->setText(QString::fromStdString(value));
        };
        set("SmtpServerText", smtp.address());
        form.findChild<QComboBox*>("AuthModeCombo")->setCurrentIndex(1); // SMTP AUTH LOGIN
        set("MailFromUserText", "sender");
        set("MailFromPassText", "pa ss秘");
        set("MailFromNameText", "監視 花子");
        set("MailFromAddrText", "watch@example.com");
        set("MailTitleText", "テスト件名");
        form.findChild<QPlainTextEdit*>("MailMsgText")->setPlainText("更新がありました。");
        set("CheckSecText", "5");
        form.findChild<QPushButton*>("Command1_0")->click();
        ASSERT_TRUE(edited.dialog.DialogAccepted);
        ASSERT_TRUE(boxes.empty());
    }

    // What the watcher reads at its next pass.
    App watcher;
    prepare(watcher, dir, boxes);
    ASSERT_TRUE(ReadIni(watcher));
    EXPECT_EQ(watcher.settings.MailFromPass, "pa ss秘");
    PassState pass;
    ASSERT_TRUE(SendFileUpdMsg(watcher, pass, "ops@example.com",
                               "更新がありました。\r\n＜更新一覧＞\r\n", ""));
    auto files = smtp.waitForMessages(1);
    ASSERT_EQ(files.size(), 1u);
    t::ParsedMail mail = t::parseEml(files[0]);
    EXPECT_EQ(mail.subject, "テスト件名");
    EXPECT_EQ(mail.fromName, "監視 花子");
    EXPECT_EQ(mail.fromAddress, "watch@example.com");
    EXPECT_EQ(mail.to, std::vector<std::string>{"ops@example.com"});
    EXPECT_NE(mail.body.find("更新がありました。"), std::string::npos);
    t::Envelope envelope = t::readEnvelope(files[0]);
    EXPECT_TRUE(envelope.authenticated);
    EXPECT_EQ(envelope.rcptTo, std::vector<std::string>{"ops@example.com"});
}

} // namespace
