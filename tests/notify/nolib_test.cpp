// Both libraries missing: the program folder (a temporary one) has neither,
// and neither is installed on the library search path.
#include "notify/Archiver.h"
#include "notify/Notifier.h"
#include "support/AppFixture.h"

#include <gtest/gtest.h>

using namespace kestrova;
using kestrova::test::AppFixture;

TEST(MissingLibraries, ArchiverMissingShowsTheTwoLineText) {
    AppFixture f(true);
    test::writeFile(f.dir / "report.txt", "x");
    EXPECT_EQ(GetUnlhaVersion(f.app), -1);
    const std::string missing = "libunlha32.soが見つかりませんでした。\r\n"
                                "libunlha32.soのインストール状況を確認してください。";
    EXPECT_EQ(ExecUnlha(f.app, "-n1c1gm1  a \"/tmp/x.lzh\" \"/\" \"x\""), missing);

    EXPECT_EQ(GetLhaFile(f.app, f.dir / "report.txt", false), "");
    EXPECT_EQ(f.app.message.caption, "ファイル圧縮エラー");
    EXPECT_EQ(f.app.message.text, missing);
    EXPECT_EQ(f.app.message.shown, 1);
    auto lines = f.logLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("\tMsgForm\tGetLhaFile\t" + OperationLog::levelLabel(LogWarning)),
              std::string::npos);
    EXPECT_TRUE(f.boxes.empty());
}

TEST(MissingLibraries, MailLibraryMissingIsAnErrorEntry) {
    for (bool interactive : {true, false}) {
        AppFixture f(interactive);
        AppSettings& s = f.app.settings;
        s.SmtpServer = "127.0.0.1:1";
        s.MailFromAddr = "w@example.com";
        PassState pass;
        EXPECT_FALSE(SendFileUpdMsg(f.app, pass, "a@example.com", "text", ""));
        auto lines = f.logLines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_NE(lines[0].find("\tMsgForm\tSendFileUpdMsg\t" + OperationLog::levelLabel(LogError)),
                  std::string::npos)
            << lines[0];
        EXPECT_NE(lines[0].find("libbsmtp.so"), std::string::npos) << lines[0];
        EXPECT_EQ(f.boxes.size(), interactive ? 1u : 0u);
        EXPECT_EQ(f.app.message.shown, 0);
    }
}
