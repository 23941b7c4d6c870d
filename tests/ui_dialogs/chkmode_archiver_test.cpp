// The archiver warning of the notification settings dialog. Its own
// process: once the library is loaded it stays loaded, so the missing case
// must come before any load.
#include "WidgetApp.h"
#include "core/App.h"
#include "support/AppFixture.h"
#include "ui/ChkModeForm.h"

#include <QCheckBox>
#include <QPushButton>
#include <gtest/gtest.h>

using namespace kestrova;

TEST(ChkModeArchiver, WarnsWhenLibraryMissingAndKeepsChoice) {
    kestrova::test::widgetApp();
    kestrova::test::AppFixture f;
    f.app.programDir = f.dir.path(); // no libunlha32.so there
    f.app.dialog.EditMailTo = "to@example.com";
    f.app.dialog.SelectionKinds = SelFolder;
    f.app.dialog.EditChkMode = NotifyNew | AttachFiles | LhaArchive;
    ChkModeForm form(f.app);
    form.show();
    ASSERT_EQ(f.boxes.size(), 1u);
    EXPECT_EQ(f.boxes[0].title, "Kestrova");
    EXPECT_EQ(f.boxes[0].text, "libunlha32.soが見つかりませんでした。\r\n"
                               "libunlha32.soのインストール状況を確認してください。");
    EXPECT_EQ(f.boxes[0].style, MbOk);
    EXPECT_TRUE(form.findChild<QCheckBox*>("FAppendLhaCheck")->isChecked());
    // Checking the archive again warns again; unchecking does not.
    form.findChild<QCheckBox*>("FAppendLhaCheck")->setChecked(false);
    form.findChild<QCheckBox*>("FAppendSubCheck")->setChecked(true);
    EXPECT_EQ(f.boxes.size(), 2u);
    form.findChild<QPushButton*>("Command1_0")->click();
    EXPECT_TRUE(f.app.dialog.DialogAccepted);
    EXPECT_EQ(f.app.dialog.EditChkMode, NotifyNew | AttachFiles | LhaArchive | IncludeSubfolders);
}
