#include "cipher/CryptString.h"
#include "core/IniFile.h"
#include "core/Numeric.h"
#include "core/Settings.h"
#include "core/Text.h"
#include "support/AppFixture.h"

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kestrova;
using kestrova::test::AppFixture;
using kestrova::test::readFile;
using kestrova::test::writeFile;

namespace {

// A record changed as a pass changes one: a new record with the first date
// replaced.
void setDate(CheckFileList& record, std::string_view date) {
    CheckFileList::Builder b(record);
    b.setDate(0, date);
    record = b.build();
}

void writeSettings(AppFixture& f, const std::string& body) {
    writeFile(f.settingsFile(), text::encodeFile("[InitSetting]\r\n" + body));
}

} // namespace

TEST(IniLayer, LookupRules) {
    IniFile ini = IniFile::parse("k0=outside\r\n[Sec]\r\n Key = v1 \r\nkey=v2\r\nnoequals\r\n"
                                 "[sec]\r\nother=x\r\n[Quoted]\r\nq=\" a \"\r\nempty=\r\n");
    EXPECT_EQ(ini.get("SEC", "KEY", "d"), "v1");  // first occurrence, any case
    EXPECT_EQ(ini.get("Sec", "other", "d"), "x"); // duplicate section still read
    EXPECT_EQ(ini.get("Sec", "k0", "d"), "d");    // a key outside any section is nobody's
    EXPECT_EQ(ini.get("Quoted", "q", "d"), " a ");
    EXPECT_EQ(ini.get("Quoted", "empty", "d"), "");
    EXPECT_EQ(ini.get("Nope", "x", "dflt"), "dflt");
}

TEST(IniLayer, LineEndsAndLongValues) {
    IniFile cr = IniFile::parse("[A]\rx=1\ry=2\r");
    EXPECT_EQ(cr.get("A", "y", ""), "2");
    IniFile lf = IniFile::parse("[A]\nx=1\n");
    EXPECT_EQ(lf.get("A", "x", ""), "1");
    std::string big(1500, 'a');
    IniFile longv = IniFile::parse("[A]\nx=" + big + "\n");
    EXPECT_EQ(longv.get("A", "x", "").size(), 1023u);
    // The cut never splits a double-byte character.
    std::string kanji;
    for (int i = 0; i < 600; ++i)
        kanji += "監";
    IniFile k = IniFile::parse("[A]\nx=a" + kanji + "\n");
    EXPECT_EQ(text::width(k.get("A", "x", "")), 1023);
}

TEST(IniLayer, SetKeepsOtherLinesAndRefusesLineBreaks) {
    IniFile ini = IniFile::parse("; comment\r\n[MainForm]\r\nLeft=5\r\n[Other]\r\nz=1\r\n");
    EXPECT_TRUE(ini.set("mainform", "Top", "7"));
    EXPECT_TRUE(ini.set("New", "a", " padded "));
    EXPECT_FALSE(ini.set("New", "b", "two\nlines"));
    EXPECT_EQ(ini.text(), "; comment\r\n[MainForm]\r\nLeft=5\r\nTop=7\r\n[Other]\r\nz=1\r\n"
                          "[New]\r\na=\" padded \"\r\n");
    EXPECT_EQ(IniFile::parse(ini.text()).get("New", "a", ""), " padded ");
}

// Lookups stay right after inserts move the lines around, and a key found
// first in a repeated section wins over a later copy.
TEST(IniLayer, LookupsAfterInsertsAndRepeatedSections) {
    IniFile ini = IniFile::parse("[A]\r\nx=1\r\n[B]\r\ny=2\r\n[a]\r\nw=3\r\nx=9\r\n");
    EXPECT_EQ(ini.get("B", "y", ""), "2");
    EXPECT_EQ(ini.get("A", "w", ""), "3");
    EXPECT_EQ(ini.get("a", "X", ""), "1");
    EXPECT_TRUE(ini.set("A", "z", "4"));
    EXPECT_TRUE(ini.set("B", "y", "5"));
    EXPECT_EQ(ini.get("B", "y", ""), "5");
    EXPECT_EQ(ini.get("A", "z", ""), "4");
    EXPECT_EQ(ini.get("A", "y", "none"), "none");
    EXPECT_EQ(ini.text(), "[A]\r\nx=1\r\nz=4\r\n[B]\r\ny=5\r\n[a]\r\nw=3\r\nx=9\r\n");
    // Many keys: each found, none confused with another.
    // (Built by appending: GCC 12 at -O3 warns wrongly, -Wrestrict, about
    // a literal + std::string inserted in front.)
    auto numbered = [](const char* before, int i, const char* after) {
        std::string t(before);
        t.append(std::to_string(i)).append(after);
        return t;
    };
    std::string big = "[CheckFiles]\n";
    for (int i = 0; i < 5000; ++i)
        big += numbered("0_", i, "_path=") + numbered("p", i, "\n");
    IniFile many = IniFile::parse(big);
    for (int i = 0; i < 5000; i += 7)
        EXPECT_EQ(many.get("checkfiles", numbered("0_", i, "_PATH"), ""), numbered("p", i, ""));
    EXPECT_EQ(many.get("CheckFiles", "0_5000_path", "NONE"), "NONE");
    // Looked up in file order, a later copy beside the last line found is
    // still not the answer.
    IniFile seq = IniFile::parse("[S]\na=1\nb=2\na=3\nc=4\n[T]\nc=5\n[s]\nd=6\n");
    const char* expected[][2] = {{"a", "1"}, {"b", "2"}, {"a", "1"}, {"c", "4"}, {"d", "6"}};
    for (const auto& [key, value] : expected)
        EXPECT_EQ(seq.get("S", key, ""), value) << key;
    EXPECT_EQ(seq.get("T", "c", ""), "5");
    EXPECT_EQ(seq.get("T", "d", "none"), "none");
}

// A pass that changed nothing leaves the watch-list file alone (same
// inode), while a changed mode or content is written.
TEST(Settings, UnchangedFilesAreNotRewritten) {
    AppFixture f;
    WatchEntry e;
    e.CheckFolder = "/a/";
    e.CheckFiles = {{"/a/x", "2026/01/02 3:04:05"}};
    f.app.watchList = {e};
    ASSERT_TRUE(WriteIni(f.app));
    struct stat a {
    }, b{}, c{};
    ASSERT_EQ(::stat(f.watchListFile().c_str(), &a), 0);
    ASSERT_TRUE(ReadIni(f.app));
    ASSERT_TRUE(WriteIni(f.app));
    ASSERT_EQ(::stat(f.watchListFile().c_str(), &b), 0);
    EXPECT_EQ(a.st_ino, b.st_ino);
    ::chmod(f.settingsFile().c_str(), 0644);
    setDate(f.app.watchList[0].CheckFiles, "2026/01/02 3:04:06");
    ASSERT_TRUE(WriteIni(f.app));
    ASSERT_EQ(::stat(f.watchListFile().c_str(), &c), 0);
    EXPECT_NE(a.st_ino, c.st_ino);
    ASSERT_EQ(::stat(f.settingsFile().c_str(), &c), 0);
    EXPECT_EQ(c.st_mode & 0777, 0600u);
}

TEST(Settings, DefaultsWhenFilesAreMissing) {
    AppFixture f;
    ASSERT_TRUE(ReadIni(f.app));
    const AppSettings& s = f.app.settings;
    EXPECT_EQ(s.AuthMode, "POP before SMTP");
    EXPECT_FALSE(s.APopMode);
    EXPECT_EQ(s.MailTitle, "ファイル更新通知");
    EXPECT_EQ(s.MailFromName, "ケストロバ");
    EXPECT_EQ(s.MailMsg, "監視中のファイルが更新されました。");
    EXPECT_TRUE(s.MailFListAdd);
    EXPECT_EQ(s.CheckSec, "10");
    EXPECT_EQ(s.ScanMode, "auto");
    EXPECT_TRUE(f.app.watchList.empty());
    EXPECT_FALSE(test::exists(f.settingsFile())); // reading writes nothing
}

TEST(Settings, StoredValueRules) {
    AppFixture f;
    struct Case {
        std::string body;
        std::string authMode, checkSec;
        bool apop;
        std::string scanMode = "auto";
    } cases[] = {
        {"SmtpServer=mail\r\n", "SMTP AUTH LOGIN", "10", false},
        {"APopMode=TRUE\r\nCheckSec=15\r\nScanMode=poll\r\n", "POP before SMTP", "15", true,
         "poll"},
        {"APopMode=True\r\nCheckSec=7.5\r\nScanMode=POLL\r\n", "POP before SMTP", "7.5", true,
         "poll"},
        {"APopMode=1\r\nCheckSec=0\r\nScanMode=events\r\n", "POP before SMTP", "10", false},
        {"APopMode=yes\r\nCheckSec=-3\r\nScanMode=Auto\r\n", "POP before SMTP", "10", false},
        {"CheckSec=abc\r\nAuthMode=SMTP AUTH PLAIN\r\n", "SMTP AUTH PLAIN", "10", false},
    };
    for (const Case& c : cases) {
        writeSettings(f, c.body);
        ASSERT_TRUE(ReadIni(f.app));
        EXPECT_EQ(f.app.settings.AuthMode, c.authMode) << c.body;
        EXPECT_EQ(f.app.settings.CheckSec, c.checkSec) << c.body;
        EXPECT_EQ(f.app.settings.APopMode, c.apop) << c.body;
        EXPECT_EQ(f.app.settings.ScanMode, c.scanMode) << c.body;
        // Written back in its one spelling.
        ASSERT_TRUE(WriteIni(f.app));
        EXPECT_EQ(GetIniValue(f.app, kInitSetting, "ScanMode", "", f.settingsFile()), c.scanMode);
    }
}

TEST(Settings, MessageLineBreaksAndPasswordRoundTrip) {
    AppFixture f;
    writeSettings(f, "MailMsg=a%r%b\r\nMailFListAdd=false\r\n");
    ASSERT_TRUE(ReadIni(f.app));
    EXPECT_EQ(f.app.settings.MailMsg, "a\r\nb");
    EXPECT_FALSE(f.app.settings.MailFListAdd);
    f.app.settings.MailFromPass = "秘密pass";
    ASSERT_TRUE(WriteIni(f.app));
    std::string stored = text::decodeFile(readFile(f.settingsFile()));
    EXPECT_NE(stored.find("MailMsg=a%r%b\r\n"), std::string::npos);
    EXPECT_NE(stored.find("MailFListAdd=False\r\n"), std::string::npos);
    EXPECT_EQ(stored.find("秘密pass"), std::string::npos);
    EXPECT_NE(stored.find("MailFromPass=" +
                          CryptString("秘密pass", -1, kCipherKey1, kCipherKey2, kCipherKey3)),
              std::string::npos);
    struct stat st {};
    ASSERT_EQ(::stat(f.settingsFile().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    f.app.settings.MailFromPass.clear();
    ASSERT_TRUE(ReadIni(f.app));
    EXPECT_EQ(f.app.settings.MailFromPass, "秘密pass");
}

TEST(Settings, TlsKeysDefaultReadAndWriteBack) {
    AppFixture f;
    writeSettings(f, "SmtpServer=mail\r\n");
    ASSERT_TRUE(ReadIni(f.app));
    EXPECT_EQ(f.app.settings.TlsTrustFile, "");
    EXPECT_EQ(f.app.settings.TlsFingerprint, "");
    EXPECT_FALSE(f.app.settings.TlsRequired);

    writeSettings(f, "TlsTrustFile=certs/社内CA.pem\r\nTlsFingerprint=AB:cd:01\r\n"
                     "TlsRequired=TRUE\r\n");
    ASSERT_TRUE(ReadIni(f.app));
    EXPECT_EQ(f.app.settings.TlsTrustFile, "certs/社内CA.pem");
    EXPECT_EQ(f.app.settings.TlsFingerprint, "AB:cd:01");
    EXPECT_TRUE(f.app.settings.TlsRequired);
    f.app.settings.TlsRequired = false;
    ASSERT_TRUE(WriteIni(f.app));
    const std::string stored = text::decodeFile(readFile(f.settingsFile()));
    EXPECT_NE(stored.find("TlsTrustFile=certs/社内CA.pem\r\n"), std::string::npos) << stored;
    EXPECT_NE(stored.find("TlsFingerprint=AB:cd:01\r\n"), std::string::npos) << stored;
    EXPECT_NE(stored.find("TlsRequired=False\r\n"), std::string::npos) << stored;
}

TEST(Settings, WatchListEndMarkersAndGaps) {
    AppFixture f;
    writeFile(f.watchListFile(),
              text::encodeFile("[CheckFolders]\r\n0=/a/\r\n1=/b.txt\r\n3=/d/\r\n"
                               "[SendMailTo]\r\n0=x@example.com\r\n"
                               "[FileChkMode]\r\n0=7\r\n1=2\r\n"
                               "[MailBdLines]\r\n0=99999\r\n"
                               "[CheckFiles]\r\n0_0_path=/a/f\r\n0_0_date=2026/12/07 6:05:09\r\n"
                               "0_1_path=/a/g\r\n0_2_path=/a/h\r\n0_2_date=2026/12/07 6:05:09\r\n"
                               "1_0_path=/b.txt\r\n1_0_date=0:00:00\r\n"
                               "3_0_path=/d/x\r\n3_0_date=0:00:00\r\n"));
    ASSERT_TRUE(ReadIni(f.app));
    ASSERT_EQ(f.app.watchList.size(), 2u); // key 3 is past the gap
    const WatchEntry& a = f.app.watchList[0];
    EXPECT_TRUE(a.isFolder());
    EXPECT_EQ(a.SendMailTo, "x@example.com");
    EXPECT_EQ(a.FileChkMode, 7);
    EXPECT_EQ(a.MailBdLines, "99999");
    ASSERT_EQ(a.CheckFiles.size(), 1u); // item 1 has no date: the record ends there
    const WatchEntry& b = f.app.watchList[1];
    EXPECT_FALSE(b.isFolder());
    EXPECT_EQ(b.SendMailTo, "");
    EXPECT_EQ(b.MailBdLines, "");
    ASSERT_EQ(b.CheckFiles.size(), 1u);
    EXPECT_EQ(b.CheckFiles[0].Date(), "0:00:00");

    ASSERT_TRUE(WriteIni(f.app));
    std::string stored = text::decodeFile(readFile(f.watchListFile()));
    EXPECT_EQ(stored.find("3="), std::string::npos);
    EXPECT_EQ(stored.find("/d/x"), std::string::npos);
    ASSERT_TRUE(ReadIni(f.app));
    EXPECT_EQ(f.app.watchList.size(), 2u);

    writeFile(f.watchListFile(), "[CheckFolders]\r\n0=/a/\r\n1=NONE\r\n2=/c/\r\n");
    ASSERT_TRUE(ReadIni(f.app));
    EXPECT_EQ(f.app.watchList.size(), 1u);
}

// Record lines are read as they come; lines laid out otherwise (repeated,
// out of order, in a second section, after an end) read as lookups would.
TEST(Settings, RecordLinesInAnyLayoutReadAsLookupsRead) {
    AppFixture f;
    const std::string d = "_date=2026/12/07 6:05:09\n";
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"0_0_path=/a/x\n0_0" + d + "0_0_path=/a/dup\n1_0_path=/b/y\n1_0" + d, {"/a/x", "/b/y"}},
        {"1_0_path=/b/y\n1_0" + d + "0_0" + d + "0_0_path=/a/x\n", {"/a/x", "/b/y"}},
        {"0_0_path=/a/x\r0_0" + d + "[Other]\rk=v\r[checkfiles]\r0_1_PATH=/a/z\r0_1" + d,
         {"/a/x", "/a/z"}},
        {"0_0_path=NONE\n0_0" + d + "0_1_path=/a/q\n0_1" + d + "1_1_path=/b/z\n1_1" + d, {}},
        {"0_0_path=/a/x\n0_0" + d + "1_0_path=/b/y\n1_0" + d + "0_1_path=/a/late\n0_1" + d,
         {"/a/x", "/a/late", "/b/y"}},
        {" 0_0_path = \" /a/sp \" \n0_0" + d + "0_01_path=/a/no\n0_01" + d, {" /a/sp "}},
    };
    for (const auto& [records, paths] : cases) {
        writeFile(f.watchListFile(), "[CheckFolders]\n0=/a/\n1=/b/\n[CheckFiles]\n" + records);
        std::vector<WatchEntry> list;
        std::string error;
        ASSERT_TRUE(readWatchListFile(f.watchListFile(), list, error)) << error;
        std::vector<std::string> got;
        for (const WatchEntry& e : list)
            for (const CheckFile& item : e.CheckFiles)
                got.emplace_back(item.Path());
        EXPECT_EQ(got, paths) << records;
    }
}

// Records read line by line decode as the whole file decodes: CP932 (with
// trail bytes that look like a backslash), UTF-8 with the mark, and UTF-8
// without, which is written back the same way.
TEST(Settings, RecordLinesDecodeInEveryFileEncoding) {
    AppFixture f;
    const std::string text = "[CheckFolders]\r\n0=/表]/\r\n[CheckFiles]\r\n0_0_path=/表]/ソ=予\r\n"
                             "0_0_date=2026/12/07 6:05:09\r\n";
    std::string cp932;
    ASSERT_TRUE(text::toCp932(text, cp932));
    for (const std::string& bytes : {cp932, "\xEF\xBB\xBF" + text, text}) {
        writeFile(f.watchListFile(), bytes);
        ASSERT_TRUE(ReadIni(f.app));
        ASSERT_EQ(f.app.watchList.size(), 1u);
        ASSERT_EQ(f.app.watchList[0].CheckFiles.size(), 1u);
        EXPECT_EQ(f.app.watchList[0].CheckFiles[0].Path(), "/表]/ソ=予");
    }
    setDate(f.app.watchList[0].CheckFiles, "2026/12/07 6:05:10");
    ASSERT_TRUE(WriteIni(f.app));
    EXPECT_EQ(readFile(f.watchListFile()), watchListText(f.app.watchList));
}

// An item's path and date come back as given, short or long, however often
// the item is shared.
TEST(Settings, RecordItemsKeepTheirTextWhenLongOrSharedOften) {
    const CheckFile longItem(std::string(70000, 'p'), std::string(66000, 'd'));
    EXPECT_EQ(longItem.Path(), std::string(70000, 'p'));
    EXPECT_EQ(longItem.Date(), std::string(66000, 'd'));
    const CheckFile item("/a/x", "2026/12/07 6:05:09 +0900");
    std::vector<CheckFile> copies(70000, item);
    EXPECT_EQ(copies.back(), item);
    EXPECT_EQ(copies.back().Date(), "2026/12/07 6:05:09 +0900");
    copies.clear();
    EXPECT_EQ(item.Path(), "/a/x");
}

TEST(Settings, EmptyWatchListLeavesNoFile) {
    AppFixture f;
    writeFile(f.watchListFile(), "[CheckFolders]\r\n0=/a/\r\n");
    ASSERT_TRUE(ReadIni(f.app));
    f.app.watchList.clear();
    ASSERT_TRUE(WriteIni(f.app));
    EXPECT_FALSE(test::exists(f.watchListFile()));
    ASSERT_TRUE(ReadIni(f.app));
    EXPECT_TRUE(f.app.watchList.empty());
}

TEST(Settings, NamesOutsideCp932AndEdgeBlanksSurvive) {
    AppFixture f;
    WatchEntry e;
    e.CheckFolder = "/home/é/監視 /";
    e.SendMailTo = kMessageDisplay;
    e.FileChkMode = 7;
    e.MailBdLines = "99999";
    e.CheckFiles = {{"/home/é/監視 /trailing ", "2026/12/07 6:05:09"},
                    {"/home/é/監視 /bad\nname", "2026/12/07 6:05:09"},
                    {"/home/é/監視 /\"q\"", "0:00:00"}};
    f.app.watchList = {e};
    ASSERT_TRUE(WriteIni(f.app));
    EXPECT_EQ(readFile(f.watchListFile()).substr(0, 3), "\xEF\xBB\xBF");
    ASSERT_TRUE(ReadIni(f.app));
    ASSERT_EQ(f.app.watchList.size(), 1u);
    const WatchEntry& r = f.app.watchList[0];
    EXPECT_EQ(r.CheckFolder, e.CheckFolder);
    ASSERT_EQ(r.CheckFiles.size(), 2u); // the name with a line break cannot be stored
    EXPECT_EQ(r.CheckFiles[0].Path(), "/home/é/監視 /trailing ");
    EXPECT_EQ(r.CheckFiles[1].Path(), "/home/é/監視 /\"q\"");
}

TEST(Settings, BadInputGivesDefaultsWithoutWriting) {
    AppFixture f;
    std::string garbage;
    for (int i = 0; i < 4096; ++i)
        garbage += static_cast<char>((i * 7919) & 0xFF);
    const std::string inputs[] = {
        garbage,
        "no equals here\r\n=value without key\r\n[InitSetting\r\nCheckSec=\r\n",
        "[InitSetting]\r\nCheckSec=" + std::string(1 << 20, '9') + "\r\n",
        "[InitSetting]\r\nMailTitle=first\r\nMailTitle=second\r\n[InitSetting]\r\nMailTitle="
        "third\r\n",
        "\xEF\xBB\xBF[InitSetting]\r\nMailTitle=件名é\r\n",
    };
    for (const std::string& in : inputs) {
        writeFile(f.settingsFile(), in);
        writeFile(f.watchListFile(), in);
        ASSERT_TRUE(ReadIni(f.app));
        EXPECT_FALSE(f.app.settings.CheckSec.empty());
        EXPECT_GT(std::stod(f.app.settings.CheckSec), 0);
        EXPECT_EQ(readFile(f.settingsFile()), in); // nothing written
    }
    EXPECT_EQ(f.app.settings.MailTitle, "件名é");
    writeFile(f.settingsFile(), inputs[3]);
    ASSERT_TRUE(ReadIni(f.app));
    EXPECT_EQ(f.app.settings.MailTitle, "first");
}

TEST(Settings, UnreadableFileKeepsMemoryAndIsReported) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "root reads every file";
    AppFixture f;
    writeFile(f.watchListFile(), "[CheckFolders]\r\n0=/a/\r\n");
    ASSERT_TRUE(ReadIni(f.app));
    ::chmod(f.watchListFile().c_str(), 0);
    EXPECT_FALSE(ReadIni(f.app));
    EXPECT_EQ(f.app.watchList.size(), 1u);
    EXPECT_EQ(f.boxes.size(), 1u);
}

TEST(Settings, FailedWriteLeavesPreviousFilesComplete) {
    AppFixture f;
    WatchEntry e;
    e.CheckFolder = "/a/";
    e.CheckFiles = {{"/a/x", "0:00:00"}};
    f.app.watchList = {e};
    ASSERT_TRUE(WriteIni(f.app));
    std::string original = f.watchListFile();
    std::string before = readFile(original);
    // The file's place is taken by a path whose folder cannot be written.
    f.app.settings.WatchListFile = f.dir / "missing-folder/kestrovaD.ini";
    f.app.watchList.push_back(e);
    EXPECT_FALSE(WriteIni(f.app));
    EXPECT_EQ(readFile(original), before);
    auto lines = f.logLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.back().find("\tCommonModule\tWriteIni\tシス・エラー\t"), std::string::npos);
    EXPECT_TRUE(f.boxes.empty()); // a background write shows no box
}

// A password typed into the file by hand is never deciphered into garbage:
// reported once, never used, and kept as typed by every later write.
TEST(Settings, PlainStoredPasswordIsReportedAndKept) {
    AppFixture f;
    writeSettings(f, "MailFromPass=plaintextpassword\r\n");
    ASSERT_TRUE(ReadIni(f.app));
    EXPECT_EQ(f.app.settings.MailFromPass, "");
    ASSERT_EQ(f.boxes.size(), 1u);
    EXPECT_NE(f.boxes[0].text.find("kestrova password"), std::string::npos);
    ASSERT_TRUE(ReadIni(f.app));
    EXPECT_EQ(f.boxes.size(), 1u);
    ASSERT_TRUE(WriteIni(f.app));
    EXPECT_NE(readFile(f.settingsFile()).find("MailFromPass=plaintextpassword\r\n"),
              std::string::npos);
    // Base64 of the right shape that deciphers to control bytes is no
    // stored password either.
    writeSettings(f, "MailFromPass=AAAAAAAAAAA=\r\n");
    ASSERT_TRUE(ReadIni(f.app));
    EXPECT_EQ(f.app.settings.MailFromPass, "");
    f.app.settings.MailFromPass = "new";
    ASSERT_TRUE(WriteIni(f.app));
    ASSERT_TRUE(ReadIni(f.app));
    EXPECT_EQ(f.app.settings.MailFromPass, "new");
}

// CheckSec is kept as plain decimal text however small or large it is, so
// that it reads back as the same number.
TEST(Settings, CheckSecIsStoredAsPlainDecimal) {
    EXPECT_EQ(numberText(0.0001), "0.0001");
    EXPECT_EQ(numberText(1e20), "100000000000000000000");
    EXPECT_EQ(numberText(1e-7), "0.0000001");
    EXPECT_EQ(numberText(7.5), "7.5");
    EXPECT_EQ(numberText(15), "15");
    EXPECT_EQ(numberText(-0.25), "-0.25");
    for (const char* stored : {"0.0001", "100000000000000000000", "0.1", "123456.789", "7.5"}) {
        AppFixture f;
        writeSettings(f, std::string("CheckSec=") + stored + "\r\n");
        ASSERT_TRUE(ReadIni(f.app));
        EXPECT_EQ(f.app.settings.CheckSec, stored);
        ASSERT_TRUE(WriteIni(f.app));
        EXPECT_NE(readFile(f.settingsFile()).find(std::string("CheckSec=") + stored + "\r\n"),
                  std::string::npos)
            << readFile(f.settingsFile());
        ASSERT_TRUE(ReadIni(f.app));
        EXPECT_EQ(numericValue(f.app.settings.CheckSec), std::strtod(stored, nullptr)) << stored;
    }
}

// A path deeper than the value limit can be recorded here (never in a file
// from Windows): the record keeps it whole, while other values stay cut.
TEST(Settings, RecordedPathsLongerThanTheValueLimitComeBackWhole) {
    AppFixture f;
    std::string deep = "/w";
    while (text::width(deep) < 1500)
        deep += "/深い階層のフォルダ" + std::to_string(deep.size());
    WatchEntry e;
    e.CheckFolder = deep + "/";
    e.SendMailTo = "a@example.com";
    e.FileChkMode = 7;
    e.CheckFiles = {{deep + "/file.txt", "2026/12/07 6:05:09"}, {"/short", "2026/12/07 6:05:10"}};
    f.app.watchList = {e};
    ASSERT_TRUE(WriteIni(f.app));
    f.app.watchList.clear();
    ASSERT_TRUE(ReadIni(f.app));
    ASSERT_EQ(f.app.watchList.size(), 1u);
    const WatchEntry& back = f.app.watchList[0];
    EXPECT_EQ(back.CheckFolder, e.CheckFolder);
    ASSERT_EQ(back.CheckFiles.size(), 2u);
    EXPECT_EQ(back.CheckFiles[0].Path(), e.CheckFiles[0].Path());
    EXPECT_EQ(back.CheckFiles[1].Path(), "/short");

    writeSettings(f, "MailTitle=" + std::string(1500, 't') + "\r\n");
    ASSERT_TRUE(ReadIni(f.app));
    EXPECT_EQ(f.app.settings.MailTitle.size(), 1023u);
}

// Lines the program does not own keep their bytes on every rewrite: bytes
// CP932 cannot decode, and the NEC and IBM codes of one character (ED40 and
// FA5C, 8790 and 81E0), which decode alike. Such lines never turn the file
// into UTF-8.
TEST(Settings, LinesNotOwnedKeepTheirBytes) {
    AppFixture f;
    const std::string other = "[Other]\r\nnec=\xED\x40\x87\x90\r\nbroken=\x85\x40\xFD\r\n"
                              "; \x81\x40\xFD comment\r\n";
    const std::string title = "MailTitle=\xED\x40\r\n"; // ours, but unchanged
    writeFile(f.settingsFile(), "[InitSetting]\r\n" + title + "SmtpServer=old\r\n" + other +
                                    "[MainForm]\r\nLeft=1\r\n");
    ASSERT_TRUE(ReadIni(f.app));
    EXPECT_EQ(f.app.settings.MailTitle, "纊");
    f.app.settings.SmtpServer = "smtp.example.com";
    ASSERT_TRUE(WriteIni(f.app));
    std::string bytes = readFile(f.settingsFile());
    EXPECT_NE(bytes.rfind("\xEF\xBB\xBF", 0), 0u) << "turned into UTF-8";
    EXPECT_NE(bytes.find(other), std::string::npos) << bytes;
    EXPECT_NE(bytes.find(title), std::string::npos) << bytes;
    EXPECT_NE(bytes.find("SmtpServer=smtp.example.com\r\n"), std::string::npos);

    ASSERT_TRUE(WriteIniValue(f.app, "MainForm", "Top", "120", f.settingsFile()));
    bytes = readFile(f.settingsFile());
    EXPECT_NE(bytes.find(other), std::string::npos) << bytes;
    EXPECT_NE(bytes.find("[MainForm]\r\nLeft=1\r\nTop=120\r\n"), std::string::npos) << bytes;
    ASSERT_TRUE(ReadIni(f.app));
    EXPECT_EQ(f.app.settings.SmtpServer, "smtp.example.com");

    // A value of ours that CP932 cannot hold still makes the whole file
    // UTF-8; only then are the foreign lines converted.
    f.app.settings.MailTitle = "更新😀";
    ASSERT_TRUE(WriteIni(f.app));
    bytes = readFile(f.settingsFile());
    EXPECT_EQ(bytes.rfind("\xEF\xBB\xBF", 0), 0u);
    ASSERT_TRUE(ReadIni(f.app));
    EXPECT_EQ(f.app.settings.MailTitle, "更新😀");
    EXPECT_EQ(f.app.settings.SmtpServer, "smtp.example.com");
}

// The parsed form is reused while the files are unchanged; any edit, even
// one that keeps the size, is read.
TEST(Settings, UnchangedFilesAreReusedAndEditsAreSeen) {
    AppFixture f;
    writeSettings(f, "CheckSec=15\r\n");
    const std::string list = "[CheckFolders]\r\n0=/a/\r\n[CheckFiles]\r\n0_0_path=/a/x\r\n"
                             "0_0_date=2026/01/02 3:04:05\r\n";
    writeFile(f.watchListFile(), list);
    ::usleep(250000); // older than a clock tick: the identity can be trusted
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(ReadIni(f.app));
        EXPECT_EQ(f.app.settings.CheckSec, "15");
        ASSERT_EQ(f.app.watchList.size(), 1u);
        ASSERT_EQ(f.app.watchList[0].CheckFiles.size(), 1u);
        EXPECT_EQ(f.app.watchList[0].CheckFiles[0].Date(), "2026/01/02 3:04:05");
        f.app.watchList[0].CheckFiles.clear(); // the cache keeps its own copy
        f.app.settings.CheckSec = "99";
    }
    // Same size, same file: another identity all the same.
    std::string edited = list;
    edited.replace(edited.find("3:04:05"), 7, "3:04:09");
    writeFile(f.watchListFile(), edited);
    writeSettings(f, "CheckSec=16\r\n");
    ASSERT_TRUE(ReadIni(f.app));
    EXPECT_EQ(f.app.settings.CheckSec, "16");
    ASSERT_EQ(f.app.watchList[0].CheckFiles.size(), 1u);
    EXPECT_EQ(f.app.watchList[0].CheckFiles[0].Date(), "2026/01/02 3:04:09");
    // Read again at once (identity still within the tick), then written:
    // what was written is what is read.
    ASSERT_TRUE(ReadIni(f.app));
    EXPECT_EQ(f.app.watchList[0].CheckFiles[0].Date(), "2026/01/02 3:04:09");
    setDate(f.app.watchList[0].CheckFiles, "2026/01/02 3:04:20");
    ASSERT_TRUE(WriteIni(f.app));
    ::usleep(250000);
    ASSERT_TRUE(WriteIni(f.app));
    ASSERT_TRUE(WriteIni(f.app)); // nothing new: not even compared with the file
    const CheckFileList written = f.app.watchList[0].CheckFiles;
    ASSERT_TRUE(ReadIni(f.app));
    // The file still holds those bytes: the list written stands for it,
    // read back but not parsed again.
    EXPECT_TRUE(f.app.watchList[0].CheckFiles.sharedWith(written));
    EXPECT_EQ(std::as_const(f.app.watchList)[0].CheckFiles[0].Date(), "2026/01/02 3:04:20");
    // An edit of the same size that puts the old time back is seen all the
    // same (its change time moves).
    {
        const std::string before = readFile(f.watchListFile());
        struct stat st {};
        ASSERT_EQ(::stat(f.watchListFile().c_str(), &st), 0);
        std::fstream io(f.watchListFile(), std::ios::in | std::ios::out | std::ios::binary);
        io.seekp(static_cast<std::streamoff>(before.find("3:04:20") + 6));
        io.put('5');
        io.close();
        const timespec times[2] = {st.st_atim, st.st_mtim};
        ASSERT_EQ(::utimensat(AT_FDCWD, f.watchListFile().c_str(), times, 0), 0);
        ASSERT_TRUE(ReadIni(f.app));
        EXPECT_EQ(f.app.watchList[0].CheckFiles[0].Date(), "2026/01/02 3:04:25");
        writeFile(f.watchListFile(), before);
    }
    ASSERT_TRUE(ReadIni(f.app));
    EXPECT_EQ(f.app.watchList[0].CheckFiles[0].Date(), "2026/01/02 3:04:20");
    // A hand edit after the write is read, and the next write stores again.
    std::string now = readFile(f.watchListFile());
    writeFile(f.watchListFile(), text::replaceAll(now, "3:04:20", "3:04:21"));
    ASSERT_TRUE(ReadIni(f.app));
    EXPECT_EQ(f.app.watchList[0].CheckFiles[0].Date(), "2026/01/02 3:04:21");
    setDate(f.app.watchList[0].CheckFiles, "2026/01/02 3:04:20");
    ASSERT_TRUE(WriteIni(f.app));
    EXPECT_NE(readFile(f.watchListFile()).find("3:04:20"), std::string::npos);
}

// A large record is encoded a piece at a time: the file is byte for byte
// what the whole text encoded gives, in CP932, and in UTF-8 with the mark
// once a late item holds a character CP932 cannot.
TEST(Settings, LargeListIsWrittenAsTheWholeTextEncoded) {
    AppFixture f;
    writeSettings(f, "");
    f.app.watchList.resize(2);
    f.app.watchList[0].CheckFolder = "/データ/";
    f.app.watchList[0].SendMailTo = kMessageDisplay;
    f.app.watchList[1].CheckFolder = "/b/c.txt";
    std::vector<CheckFile> items;
    for (int i = 0; i < 20000; ++i)
        items.push_back({"/データ/ファイル" + std::to_string(i) + ".txt", "2026/01/02 3:04:05"});
    f.app.watchList[0].CheckFiles = items;
    f.app.watchList[1].CheckFiles = {{"/b/c.txt", "2026/01/02 3:04:06"}};
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(WriteIni(f.app));
        const std::string bytes = readFile(f.watchListFile());
        EXPECT_EQ(bytes, text::encodeFile(watchListText(f.app.watchList)));
        EXPECT_EQ(bytes.rfind("\xEF\xBB\xBF", 0) == 0, round == 1);
        ASSERT_TRUE(ReadIni(f.app));
        ASSERT_EQ(f.app.watchList[0].CheckFiles.size(), 20000u);
        items.back() = CheckFile("/データ/最後😀.txt", items.back().Date());
        f.app.watchList[0].CheckFiles = items;
    }
}

// A reused parsed form gives back every stored key, not only the older ones.
TEST(Settings, ReusedFormKeepsEveryStoredKey) {
    AppFixture f;
    writeSettings(f, "TlsTrustFile=certs/ca.pem\r\nTlsFingerprint=AB:CD\r\nTlsRequired=True\r\n"
                     "ScanMode=poll\r\nCheckSec=7\r\n");
    ::usleep(250000);
    ASSERT_TRUE(ReadIni(f.app));
    for (int round = 0; round < 2; ++round) {
        AppSettings s = f.app.settings;
        s.TlsTrustFile.clear();
        s.TlsFingerprint.clear();
        s.TlsRequired = false;
        s.ScanMode = "auto";
        s.CheckSec = "10";
        std::vector<WatchEntry> list;
        ASSERT_TRUE(ReadIni(f.app, s, list));
        EXPECT_EQ(s.TlsTrustFile, "certs/ca.pem");
        EXPECT_EQ(s.TlsFingerprint, "AB:CD");
        EXPECT_TRUE(s.TlsRequired);
        EXPECT_EQ(s.ScanMode, "poll");
        EXPECT_EQ(s.CheckSec, "7");
    }
}
