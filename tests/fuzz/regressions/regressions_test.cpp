// Findings of the fuzz targets (tests/fuzz), each replayed through the entry
// point that failed.
#include "cipher/CryptString.h"
#include "core/IniFile.h"
#include "core/Text.h"
#include "name_encoding.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

namespace {

using namespace kestrova;

// Characters iconv maps to CP932 characters that only resemble them; read
// back they would be the full-width pound, full-width tilde, backslash etc.
const char* const kLookalikes[] = {"£", "〜", "¥", "‖", "−", "¬", "¢", "—"};

TEST(Cp932Lookalikes, HaveNoCp932FormAndSurviveFiles) {
    for (const char* c : kLookalikes) {
        const std::string s = std::string("a") + c + "b";
        std::string cp;
        EXPECT_FALSE(text::toCp932(s, cp)) << c;
        EXPECT_EQ(text::decodeFile(text::encodeFile(s)), s) << c;
    }
    // Their CP932 relatives still go out as CP932.
    std::string cp;
    ASSERT_TRUE(text::toCp932("￡～＼∥－￢￠―", cp));
    EXPECT_EQ(text::fromCp932(cp), "￡～＼∥－￢￠―");
    EXPECT_EQ(cp.size(), 16u);
}

TEST(Cp932Lookalikes, SettingsKeepAWatchedPath) {
    test::TempDir dir;
    const std::string path = dir / "kestrovaD.ini";
    const std::string watched = "/home/u/£ 〜 ¥/報告.txt";
    IniFile ini;
    ASSERT_TRUE(ini.set("Watch1", "Path", watched));
    std::string error;
    ASSERT_TRUE(ini.save(path, 0600, error)) << error;
    IniFile back;
    ASSERT_TRUE(back.load(path, error)) << error;
    EXPECT_EQ(back.get("Watch1", "Path"), watched);
}

TEST(Cp932Lookalikes, PasswordDeciphersUnchanged) {
    for (const char* password : {"p£ss", "〜wave〜", "¥1000", "パス£"}) {
        const std::string stored = CryptString(password, 1, kCipherKey1, kCipherKey2, kCipherKey3);
        ASSERT_FALSE(stored.empty());
        EXPECT_EQ(CryptString(stored, 0, kCipherKey1, kCipherKey2, kCipherKey3), password);
    }
}

TEST(Cp932Lookalikes, ArchivedNameIsStoredAsUtf8) {
    // The input fuzz_lzh_header failed on: "£" came back as "￡".
    const std::string name = "r:/f/'f/£/sus/u/sbbt/s";
    const unlha::StoredName stored = unlha::encodeName(name, false);
    EXPECT_EQ(stored.codePage, 65001u);
    EXPECT_EQ(stored.directory, "r:\xFF"
                                "f\xFF'f\xFF£\xFFsus\xFFu\xFFsbbt\xFF");
    EXPECT_EQ(stored.fileName, "s");

    const unlha::StoredName wave = unlha::encodeName("〜/a〜b", true);
    EXPECT_EQ(wave.codePage, 65001u);
    EXPECT_EQ(wave.directory, "〜\xFF"
                              "a〜b\xFF");

    const unlha::StoredName plain = unlha::encodeName("監視/ファイル.txt", false);
    EXPECT_EQ(plain.codePage, 932u);
    EXPECT_EQ(text::fromCp932(plain.directory.substr(0, plain.directory.size() - 1)), "監視");
}

} // namespace
