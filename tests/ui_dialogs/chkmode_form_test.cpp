// The notification settings dialog as a user drives it: recipient list,
// enabling, coupling of the attachment options, and what OK hands back.
#include "WidgetApp.h"
#include "core/App.h"
#include "support/AppFixture.h"
#include "ui/ChkModeForm.h"

#include <QCheckBox>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

using namespace kestrova;
using kestrova::test::AppFixture;

namespace {

const char* const kMessageDisplayText = "メッセージ表示";

class ChkModeFormTest : public ::testing::Test {
protected:
    void SetUp() override {
        kestrova::test::widgetApp();
        // The real archiver library; the missing one is tested in its own
        // process, since a library once loaded stays loaded.
        const char* dir = std::getenv("KESTROVA_APP_DIR");
        ASSERT_NE(dir, nullptr);
        f.app.programDir = dir;
        f.app.settings.MailFromAddr = "me@example.com";
        f.app.dialog.EditMailTo = "to@example.com";
        f.app.dialog.EditChkMode = 7;
        f.app.dialog.EditBdLines = 99999;
        f.app.dialog.SelectionKinds = SelFile;
    }

    ChkModeForm& open() {
        form = std::make_unique<ChkModeForm>(f.app);
        form->show();
        return *form;
    }
    QCheckBox* box(const char* name) { return form->findChild<QCheckBox*>(name); }
    QComboBox* combo() { return form->findChild<QComboBox*>("MailToCombo"); }
    QLineEdit* lines() { return form->findChild<QLineEdit*>("MailBdLinesText"); }
    void press(int index) {
        form->findChild<QPushButton*>(QStringLiteral("Command1_%1").arg(index))->click();
    }
    std::vector<std::string> items() {
        std::vector<std::string> out;
        for (int i = 0; i < combo()->count(); ++i)
            out.push_back(combo()->itemText(i).toStdString());
        return out;
    }
    // Enabled state of body, attach, archive, subfolders.
    std::vector<bool> optionsEnabled() {
        return {box("FAppendBodyCheck")->isEnabled(), box("FAppendFileCheck")->isEnabled(),
                box("FAppendLhaCheck")->isEnabled(), box("FAppendSubCheck")->isEnabled()};
    }
    void addEntry(const std::string& folder, const std::string& to) {
        WatchEntry e;
        e.CheckFolder = folder;
        e.SendMailTo = to;
        f.app.watchList.push_back(e);
    }

    AppFixture f;
    std::unique_ptr<ChkModeForm> form;
};

TEST_F(ChkModeFormTest, RecipientListForMailEntry) {
    addEntry("/a/", "other@example.com");
    addEntry("/b/", "me@example.com"); // the sender: listed once, near the end
    addEntry("/c/", kMessageDisplayText);
    addEntry("/d/", "");
    addEntry("/e", "other@example.com");
    addEntry("/f", "to@example.com");
    addEntry("/g", "Other@example.com"); // comparison is case-sensitive
    addEntry("/h", "me@example.com");
    open();
    EXPECT_EQ(combo()->currentText().toStdString(), "to@example.com");
    EXPECT_EQ(lines()->text().toStdString(), "99999");
    EXPECT_EQ(items(),
              (std::vector<std::string>{"to@example.com", "other@example.com", "Other@example.com",
                                        "me@example.com", kMessageDisplayText}));
    EXPECT_FALSE(f.app.dialog.DialogAccepted);
}

TEST_F(ChkModeFormTest, RecipientListWhenSenderIsRecipient) {
    f.app.dialog.EditMailTo = "me@example.com";
    addEntry("/a/", "me@example.com");
    open();
    EXPECT_EQ(items(), (std::vector<std::string>{"me@example.com", kMessageDisplayText}));
}

TEST_F(ChkModeFormTest, MessageWindowRecipientDisablesMailOptions) {
    f.app.dialog.EditMailTo = kMessageDisplayText;
    f.app.dialog.EditChkMode = 7 | AttachFiles;
    addEntry("/a/", kMessageDisplayText);
    addEntry("/b", "x@example.com");
    open();
    EXPECT_EQ(items(),
              (std::vector<std::string>{kMessageDisplayText, "x@example.com", "me@example.com"}));
    EXPECT_EQ(optionsEnabled(), (std::vector<bool>{false, false, false, false}));
    EXPECT_TRUE(box("FAppendFileCheck")->isChecked());
    EXPECT_FALSE(lines()->isEnabled());
}

TEST_F(ChkModeFormTest, EventBoxesEnableOptionsBySelection) {
    struct Case {
        std::uint8_t kinds;
        std::vector<bool> enabled;
    };
    for (const Case& c :
         {Case{SelFile, {true, true, true, false}}, Case{SelFolder, {false, true, true, true}},
          Case{SelFile | SelFolder, {false, true, true, false}}}) {
        f.app.dialog.SelectionKinds = c.kinds;
        f.app.dialog.EditChkMode = 0;
        open();
        EXPECT_EQ(optionsEnabled(), (std::vector<bool>{false, false, false, false}));
        box("FileCheck_2")->setChecked(true);
        EXPECT_EQ(optionsEnabled(), c.enabled) << int(c.kinds);
        box("FileCheck_2")->setChecked(false);
        EXPECT_EQ(optionsEnabled(), (std::vector<bool>{false, false, false, false}));
    }
}

TEST_F(ChkModeFormTest, BodyLinesFollowBodyOption) {
    f.app.dialog.EditChkMode = NotifyUpdate;
    open();
    EXPECT_FALSE(lines()->isEnabled());
    box("FAppendBodyCheck")->setChecked(true);
    EXPECT_TRUE(lines()->isEnabled());
    EXPECT_TRUE(form->findChild<QLabel*>("MailBdLinesLable")->isEnabled());
    // Switching to the message window disables the option: lines follow.
    combo()->setEditText(QString::fromUtf8(kMessageDisplayText));
    EXPECT_FALSE(box("FAppendBodyCheck")->isEnabled());
    EXPECT_FALSE(lines()->isEnabled());
    combo()->setEditText("to@example.com");
    EXPECT_TRUE(lines()->isEnabled());
}

TEST_F(ChkModeFormTest, SwitchingToMessageWindowKeepsChecksOnOk) {
    f.app.dialog.EditChkMode = NotifyNew | BodyFromFile | AttachFiles;
    open();
    combo()->setEditText(QString::fromUtf8(kMessageDisplayText));
    EXPECT_EQ(optionsEnabled(), (std::vector<bool>{false, false, false, false}));
    press(0);
    EXPECT_TRUE(f.app.dialog.DialogAccepted);
    EXPECT_EQ(f.app.dialog.EditMailTo, kMessageDisplayText);
    EXPECT_EQ(f.app.dialog.EditChkMode, NotifyNew | BodyFromFile | AttachFiles);
}

TEST_F(ChkModeFormTest, ChoosingListItemRunsEnableRule) {
    f.app.dialog.EditMailTo = kMessageDisplayText;
    addEntry("/a", "x@example.com");
    open();
    combo()->setCurrentIndex(1);
    EXPECT_EQ(combo()->currentText().toStdString(), "x@example.com");
    EXPECT_EQ(optionsEnabled(), (std::vector<bool>{true, true, true, false}));
}

TEST_F(ChkModeFormTest, FolderOnlyCoupling) {
    f.app.dialog.SelectionKinds = SelFolder;
    f.app.dialog.EditChkMode = NotifyNew;
    open();
    box("FAppendFileCheck")->setChecked(true);
    EXPECT_TRUE(box("FAppendLhaCheck")->isChecked());
    box("FAppendSubCheck")->setChecked(true);
    box("FAppendLhaCheck")->setChecked(false);
    EXPECT_FALSE(box("FAppendFileCheck")->isChecked());
    EXPECT_FALSE(box("FAppendSubCheck")->isChecked());
    // Unchecking the attachment takes the archive with it.
    box("FAppendLhaCheck")->setChecked(true);
    EXPECT_TRUE(box("FAppendFileCheck")->isChecked());
    box("FAppendFileCheck")->setChecked(false);
    EXPECT_FALSE(box("FAppendLhaCheck")->isChecked());
    EXPECT_TRUE(f.boxes.empty()); // the archiver is there
}

TEST_F(ChkModeFormTest, FileOnlyCoupling) {
    f.app.dialog.SelectionKinds = SelFile;
    open();
    box("FAppendFileCheck")->setChecked(true);
    EXPECT_FALSE(box("FAppendLhaCheck")->isChecked());
    box("FAppendLhaCheck")->setChecked(true);
    box("FAppendLhaCheck")->setChecked(false);
    EXPECT_TRUE(box("FAppendFileCheck")->isChecked());
}

TEST_F(ChkModeFormTest, SubfoldersCheckArchiveAndAttachment) {
    f.app.dialog.SelectionKinds = SelFolder;
    open();
    box("FAppendSubCheck")->setChecked(true);
    EXPECT_TRUE(box("FAppendLhaCheck")->isChecked());
    EXPECT_TRUE(box("FAppendFileCheck")->isChecked());
    box("FAppendSubCheck")->setChecked(false);
    EXPECT_TRUE(box("FAppendLhaCheck")->isChecked());
}

TEST_F(ChkModeFormTest, StoredCombinationCorrectedOnLoading) {
    f.app.dialog.SelectionKinds = SelFolder;
    f.app.dialog.EditChkMode = NotifyNew | AttachFiles; // a folder needs the archive
    open();
    EXPECT_TRUE(box("FAppendLhaCheck")->isChecked());
    press(0);
    EXPECT_EQ(f.app.dialog.EditChkMode, NotifyNew | AttachFiles | LhaArchive);

    f.app.dialog.EditChkMode = NotifyNew | IncludeSubfolders; // subfolders need both
    open();
    press(0);
    EXPECT_EQ(f.app.dialog.EditChkMode, NotifyNew | AttachFiles | LhaArchive | IncludeSubfolders);
}

TEST_F(ChkModeFormTest, UnknownBitsKept) {
    f.app.dialog.EditChkMode = 0x40 | NotifyDelete | BodyFromFile;
    open();
    box("FileCheck_2")->setChecked(false);
    box("FileCheck_0")->setChecked(true);
    press(0);
    EXPECT_EQ(f.app.dialog.EditChkMode, 0x40 | NotifyNew | BodyFromFile);
}

TEST_F(ChkModeFormTest, BodyLinesTexts) {
    const std::pair<const char*, int> cases[] = {
        {"abc", 0},     {"-50", -50}, {"12.6", 13},         {"-1234567", -234567},
        {"2000000", 0}, {"25行", 25}, {"-999999", -999999}, {"", 0}};
    for (const auto& [text, expected] : cases) {
        f.app.dialog.EditBdLines = 7;
        open();
        lines()->setText(QString::fromUtf8(text));
        press(0);
        EXPECT_TRUE(f.app.dialog.DialogAccepted) << text;
        EXPECT_EQ(f.app.dialog.EditBdLines, expected) << text;
    }
}

TEST_F(ChkModeFormTest, TooLargeLinesKeepDialogOpen) {
    f.app.dialog.EditMailTo = "old@example.com";
    open();
    combo()->setEditText("new@example.com");
    lines()->setText("99999999999");
    press(0);
    EXPECT_FALSE(f.app.dialog.DialogAccepted);
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(f.app.dialog.EditMailTo, "old@example.com");
    EXPECT_EQ(f.app.dialog.EditBdLines, 99999);
    ASSERT_EQ(f.boxes.size(), 1u);
    auto log = f.logLines();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find("\tChkModeForm\tCommand1_Click\tシス・エラー"), std::string::npos)
        << log[0];
    // The user corrects the text and OK goes through.
    lines()->setText("-20");
    press(0);
    EXPECT_TRUE(f.app.dialog.DialogAccepted);
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(f.app.dialog.EditBdLines, -20);
}

TEST_F(ChkModeFormTest, CancelEscAndCloseApplyNothing) {
    for (int way = 0; way < 3; ++way) {
        f.app.dialog.DialogAccepted = true;
        open();
        EXPECT_FALSE(f.app.dialog.DialogAccepted);
        combo()->setEditText("new@example.com");
        box("FileCheck_0")->setChecked(false);
        lines()->setText("5");
        if (way == 0) {
            press(1);
        } else if (way == 1) { // Esc in the text field is ｷｬﾝｾﾙ
            QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
            QApplication::sendEvent(lines(), &esc);
        } else {
            form->close();
        }
        EXPECT_FALSE(form->isVisible());
        EXPECT_FALSE(f.app.dialog.DialogAccepted);
        EXPECT_EQ(f.app.dialog.EditMailTo, "to@example.com");
        EXPECT_EQ(f.app.dialog.EditChkMode, 7);
        EXPECT_EQ(f.app.dialog.EditBdLines, 99999);
    }
}

TEST_F(ChkModeFormTest, NoArchiverWarningWhenLibraryPresent) {
    f.app.dialog.SelectionKinds = SelFolder;
    f.app.dialog.EditChkMode = NotifyNew | AttachFiles | LhaArchive | IncludeSubfolders;
    open();
    box("FAppendLhaCheck")->setChecked(false);
    box("FAppendLhaCheck")->setChecked(true);
    EXPECT_TRUE(f.boxes.empty());
}

} // namespace
