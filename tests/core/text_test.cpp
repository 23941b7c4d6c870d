#include "core/DateTime.h"
#include "core/FileIo.h"
#include "core/Numeric.h"
#include "core/Text.h"

#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>

using namespace kestrova;

TEST(Text, Cp932RoundTripAndRefusal) {
    std::string bytes;
    ASSERT_TRUE(text::toCp932("監視ﾌｧｲﾙ abc", bytes));
    EXPECT_EQ(bytes.size(), 4u + 4u + 4u); // 2 full-width, 4 half-width kana, " abc"
    EXPECT_EQ(text::fromCp932(bytes), "監視ﾌｧｲﾙ abc");
    EXPECT_FALSE(text::toCp932("café", bytes));
    EXPECT_FALSE(text::toCp932("\xff\xfe", bytes)); // not UTF-8
    // Undecodable bytes are marked, never dropped or fatal.
    EXPECT_EQ(text::fromCp932("a\x80"
                              "b"),
              "a\xEF\xBF\xBD"
              "b");
}

// Plain ASCII lines pass through untouched and every other line is
// converted alone; a refusal or a broken byte on any line counts.
TEST(Text, ManyLinesConvertLikeOne) {
    std::string utf8, bytes;
    for (int i = 0; i < 200; ++i)
        utf8 += i % 3 ? "path=/plain/" + std::to_string(i) + "\r\n"
                      : "監視=ﾌｧｲﾙ" + std::to_string(i) + "\n";
    ASSERT_TRUE(text::toCp932(utf8, bytes));
    EXPECT_EQ(text::fromCp932(bytes), utf8);
    EXPECT_FALSE(text::toCp932(utf8 + "last 〜 line", bytes)); // comes back changed
    EXPECT_FALSE(text::toCp932(utf8 + "bad \xC3\n", bytes));   // not UTF-8
    // A lead byte cut off by a line end is marked; the line end stays.
    EXPECT_EQ(text::fromCp932("a\x8A\nb\x8A\xC4\r\nc"), "a\xEF\xBF\xBD\nb監\r\nc");
}

TEST(Text, WidthsCountCp932Bytes) {
    EXPECT_EQ(text::width("abc"), 3);
    EXPECT_EQ(text::width("監視"), 4);
    EXPECT_EQ(text::width("ｱｲ"), 2);               // half-width kana: one byte each
    EXPECT_EQ(text::width("é"), 1);                // outside CP932: display width
    EXPECT_EQ(text::width("\xF0\x9F\x98\x80"), 2); // emoji: wide
    EXPECT_EQ(text::width("\xff"), 1);
}

TEST(Text, CutsNeverSplitACharacter) {
    EXPECT_EQ(text::headByWidth("ab監視", 3), "ab");
    EXPECT_EQ(text::headByWidth("ab監視", 4), "ab監");
    EXPECT_EQ(text::tailByWidth("監視ab", 3), "ab");
    EXPECT_EQ(text::tailByWidth("監視ab", 4), "視ab");
    EXPECT_EQ(text::tailByWidth("abc", 10), "abc");
}

TEST(Text, FileFormFallsBackToUtf8WithMark) {
    EXPECT_EQ(text::encodeFile("監視"), "\x8A\xC4\x8E\x8B");
    std::string u = text::encodeFile("/home/é/監視");
    EXPECT_EQ(u.substr(0, 3), "\xEF\xBB\xBF");
    EXPECT_EQ(text::decodeFile(u), "/home/é/監視");
    EXPECT_EQ(text::decodeFile("\x8A\xC4\x8E\x8B"), "監視");
    // Half-width kana before a full-width space: in CP932 these bytes are
    // also valid UTF-8, so only the marked form reads back unchanged.
    EXPECT_EQ(text::decodeFile(text::encodeFile("ﾃｽﾄ　")), "ﾃｽﾄ　");
}

TEST(Text, WatchedTextEncodings) {
    EXPECT_EQ(text::decodeWatchedText("\xEF\xBB\xBF"
                                      "あ"),
              "あ");
    EXPECT_EQ(text::decodeWatchedText("あ"), "あ"); // UTF-8 without mark
    EXPECT_EQ(text::decodeWatchedText(std::string("\xFF\xFE\x42\x30", 4)), "あ");
    EXPECT_EQ(text::decodeWatchedText(std::string("\xFE\xFF\x30\x42", 4)), "あ");
    EXPECT_EQ(text::decodeWatchedText("\x82\xA0"), "あ"); // CP932
}

TEST(Numeric, LeadingNumberRules) {
    EXPECT_EQ(numericValue("15"), 15);
    EXPECT_EQ(numericValue("  7.5"), 7.5);
    EXPECT_EQ(numericValue("-3"), -3);
    EXPECT_EQ(numericValue("+4x"), 4);
    EXPECT_EQ(numericValue("15秒"), 15);
    EXPECT_EQ(numericValue("abc"), 0);
    EXPECT_EQ(numericValue(""), 0);
    EXPECT_EQ(numericValue("-"), 0);
    EXPECT_EQ(numericValue(".5"), 0.5);
    EXPECT_FALSE(startsWithNumber("abc"));
    EXPECT_EQ(numberText(15), "15");
    EXPECT_EQ(numberText(7.5), "7.5");
}

TEST(DateTimeText, FormatsAndReadsBack) {
    DateTime t = fromFields(2026, 12, 7, 6, 5, 9);
    EXPECT_EQ(formatDateTime(t), "2026/12/07 6:05:09");
    EXPECT_EQ(parseDateTime("2026/12/07 6:05:09"), t);
    EXPECT_EQ(parseDateTime("2026/12/07 06:05:09"), t);
    EXPECT_EQ(parseDateTime("2026/12/07"), fromFields(2026, 12, 7, 0, 0, 0));
    EXPECT_EQ(formatDateTime(0), "0:00:00");
    EXPECT_EQ(parseDateTime("0:00:00"), 0);
    EXPECT_EQ(fromFields(1899, 12, 31, 0, 0, 0), 86400);
    EXPECT_FALSE(parseDateTime("07.12.2026 06:05"));
    EXPECT_FALSE(parseDateTime("2026/02/30 1:00:00"));
    EXPECT_FALSE(parseDateTime(""));
    // A file time read back equals the stored one.
    DateTime f = fromUnix(1765000000);
    EXPECT_EQ(parseDateTime(formatDateTime(f)), f);
}

// Sets TZ for one scope.
struct Zone {
    std::string old;
    bool had;
    explicit Zone(const char* tz) : had(std::getenv("TZ") != nullptr) {
        if (had)
            old = std::getenv("TZ");
        ::setenv("TZ", tz, 1);
        ::tzset();
    }
    ~Zone() {
        had ? ::setenv("TZ", old.c_str(), 1) : ::unsetenv("TZ");
        ::tzset();
    }
};

TEST(DateTimeText, RecordDatesAreInstants) {
    const DateTime t = utcFromUnix(1796717966); // 2026/12/08 8:19:26 UTC
    std::string tokyo;
    {
        Zone z("Asia/Tokyo");
        tokyo = formatRecordDate(t);
        EXPECT_EQ(tokyo, "2026/12/08 17:19:26 +0900");
        EXPECT_EQ(localFromUtc(t), fromFields(2026, 12, 8, 17, 19, 26));
        // A date without an offset is local time, as records always were.
        EXPECT_EQ(parseRecordDate("2026/12/08 17:19:26"), t);
    }
    Zone z("UTC");
    EXPECT_EQ(parseRecordDate(tokyo), t);
    EXPECT_EQ(formatRecordDate(t), "2026/12/08 8:19:26 +0000");
    EXPECT_EQ(parseRecordDate("2026/12/08 3:19:26 -0500"), t);
    EXPECT_EQ(parseRecordDate("2026/12/08 8:19:26"), t);
    EXPECT_EQ(formatRecordDate(0), "0:00:00");
    EXPECT_EQ(parseRecordDate("0:00:00"), 0);
    EXPECT_TRUE(hasUtcOffset(tokyo));
    EXPECT_FALSE(hasUtcOffset("2026/12/08 8:19:26"));
    EXPECT_FALSE(parseRecordDate("2026/12/08 8:19:26 +9"));
    EXPECT_FALSE(parseRecordDate("2026/12/08 8:19:26 +2460"));
}

TEST(DateTimeText, RepeatedHourKeepsItsInstant) {
    Zone z("America/New_York");
    // 2026-11-01 1:30 occurs twice: at 5:30 and at 6:30 UTC.
    for (std::time_t u : {std::time_t{1793511000}, std::time_t{1793514600}}) {
        const DateTime d = utcFromUnix(u);
        const std::string text = formatRecordDate(d);
        EXPECT_EQ(parseRecordDate(text), d) << text;
        Zone utc("UTC");
        EXPECT_EQ(parseRecordDate(text), d) << text;
    }
    EXPECT_EQ(formatRecordDate(utcFromUnix(1793511000)), "2026/11/01 1:30:00 -0400");
    EXPECT_EQ(formatRecordDate(utcFromUnix(1793514600)), "2026/11/01 1:30:00 -0500");
    // Without an offset the first of the two is meant.
    EXPECT_EQ(parseRecordDate("2026/11/01 1:30:00"), utcFromUnix(1793511000));
}

TEST(Paths, LastNameAndFolderOfAPath) {
    EXPECT_EQ(lastPathName("/srv/share/報告/"), "報告");
    EXPECT_EQ(lastPathName("/srv/a.txt"), "a.txt");
    EXPECT_EQ(lastPathName("a//"), "a");
    EXPECT_EQ(lastPathName("/"), "");
    EXPECT_EQ(parentFolder("/srv/a.txt"), "/srv");
    EXPECT_EQ(parentFolder("/a.txt"), "/");
}
