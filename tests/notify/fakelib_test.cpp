// ExecUnlha with a stand-in library that reports failures oddly.
#include "core/Text.h"
#include "notify/Archiver.h"
#include "support/AppFixture.h"

#include <gtest/gtest.h>

using namespace kestrova;

TEST(ExecUnlha, OddFailureTexts) {
    test::AppFixture f;
    f.app.programDir = KESTROVA_FAKE_UNLHA_DIR;
    ASSERT_EQ(GetUnlhaVersion(f.app), 100);
    EXPECT_EQ(ExecUnlha(f.app, "ok"), "");
    EXPECT_EQ(ExecUnlha(f.app, "blank"), "圧縮できません");
    // A failure without a message is still a failure.
    EXPECT_EQ(ExecUnlha(f.app, "empty"), "libunlha32.soがエラー 7 を返しました。");
    const std::string cut = ExecUnlha(f.app, "long");
    EXPECT_TRUE(text::isValidUtf8(cut));
    EXPECT_EQ(cut.size(), 255u / 3 * 3);

    // GetLhaFile shows and logs it instead of returning the missing archive.
    EXPECT_EQ(GetLhaFile(f.app, f.dir / "empty/", false), "");
    EXPECT_EQ(f.app.message.caption, "ファイル圧縮エラー");
    EXPECT_EQ(f.app.message.text, "libunlha32.soがエラー 7 を返しました。");
}
