// Hostile file names in a watched folder: blanks, quotes, "$(...)", back
// quotes, line breaks, bytes that are no UTF-8, characters CP932 has not.
// They are watched, logged, stored and archived as what they are, or left
// out with a warning; never executed, never spliced into the archiver's
// command line or a mail header.
#include "reliability/PassHarness.h"

#include "TestServers.h"
#include "core/Settings.h"
#include "notify/Archiver.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <unistd.h>

namespace kestrova {
namespace {

namespace fs = std::filesystem;
using test::PassHarness;

// Names that must come through whole.
const std::vector<std::string> kPlainNames = {
    "with blank.txt",
    " lead and trail ",
    "quote\"d.txt",
    "single'q.txt",
    "$(touch PWNED)",
    "`touch PWNED2`",
    "semi;touch PWNED3",
    "a\" \"b",
    "-n1 a dash.txt",
    "back\\slash",
    "tab\there",
    "emoji😀.txt",
    "é accent.txt",
    "全角 名前.txt",
    "%r%percent",
    "[Section]",
    "key=value",
    "NONE",
    "x|touch PWNED4&",
    "new\x7f"
    "del",
};
// Left out with a warning: an INI value cannot hold a line break.
const std::vector<std::string> kLineBreakNames = {"line\nbreak.txt", "cr\rname"};
// Not UTF-8: stored and mailed as something, or left out with a warning.
const std::string kBadUtf8 = "bad\xff\xfe.txt";

bool anyPwned(const std::vector<std::string>& folders) {
    for (const std::string& f : folders)
        for (const char* n : {"PWNED", "PWNED2", "PWNED3", "PWNED4"})
            if (fs::exists(fs::path(f) / n))
                return true;
    return false;
}

TEST(HostileNames, WatchedMailedStoredAndArchivedAsTheyAre) {
    test::SmtpServer smtp;
    PassHarness h;
    test::TempDir cwd;
    const fs::path oldCwd = fs::current_path();
    fs::current_path(cwd.path()); // where a spliced command would run

    h.writeSettings(smtp.address());
    WatchEntry e = h.folderEntry("names", "x@example.com",
                                 NotifyDelete | NotifyUpdate | NotifyNew | AttachFiles);
    // A second entry whose folder name itself is hostile.
    WatchEntry q = h.folderEntry("q\" \"$(touch PWNED)", "y@example.com",
                                 NotifyDelete | NotifyUpdate | NotifyNew | AttachFiles);
    test::writeFile(q.CheckFolder + "inside", "q");
    for (const std::string& n : kPlainNames)
        test::writeFile(e.CheckFolder + n, "content of " + n);
    for (const std::string& n : kLineBreakNames)
        test::writeFile(e.CheckFolder + n, "broken");
    test::writeFile(e.CheckFolder + kBadUtf8, "bad");
    h.writeList({e, q});

    h.pass();
    auto files = smtp.waitForMessages(2);
    ASSERT_EQ(files.size(), 2u);
    test::ParsedMail m = test::parseEml(files[0]);
    test::ParsedMail mq = test::parseEml(files[1]);
    for (const test::ParsedMail* mail : {&m, &mq}) {
        EXPECT_EQ(mail->subject, "更新通知");
        EXPECT_EQ(mail->defects, 0) << mail->raw;
        EXPECT_EQ(mail->attachmentCount, 1) << mail->raw;
    }
    EXPECT_EQ(m.to, std::vector<std::string>{"x@example.com"});
    EXPECT_EQ(mq.to, std::vector<std::string>{"y@example.com"});
    const std::string body = test::crlf(m.body);
    for (const std::string& n : kPlainNames)
        EXPECT_NE(body.find("追加 testhost " + e.CheckFolder + n + " "), std::string::npos)
            << "[" << n << "] " << body;
    for (const std::string& n : kLineBreakNames) {
        EXPECT_EQ(body.find(n), std::string::npos);
        EXPECT_TRUE(h.logHas("改行を含む名前は記録できないため監視から除外します")) << h.log();
    }
    EXPECT_NE(test::crlf(mq.body).find(q.CheckFolder + "inside"), std::string::npos) << mq.body;

    // Stored and read back exactly (the broken names are not stored).
    h.app().watchList.clear();
    ASSERT_TRUE(ReadIni(h.app()));
    ASSERT_EQ(h.app().watchList.size(), 2u);
    std::set<std::string> stored;
    for (const CheckFile& f : h.app().watchList[0].CheckFiles)
        stored.emplace(f.Path());
    for (const std::string& n : kPlainNames)
        EXPECT_TRUE(stored.count(e.CheckFolder + n)) << "[" << n << "] not stored";
    for (const std::string& n : kLineBreakNames)
        EXPECT_FALSE(stored.count(e.CheckFolder + n));
    // The next pass finds nothing new: every stored name matched again.
    h.pass();
    EXPECT_EQ(smtp.messages().size(), 2u) << test::parseEml(smtp.messages().back()).body;

    // The archive holds every file under its own name, content intact.
    for (const WatchEntry* entry : {&e, &q}) {
        std::string archive = GetLhaFile(h.app(), entry->CheckFolder, false);
        ASSERT_FALSE(archive.empty()) << h.app().message.text;
        test::TempDir out;
        test::RunResult r =
            test::runProgram({"/usr/bin/lhasa", "xqw=" + out.path().string(), archive});
        EXPECT_EQ(r.exitCode, 0) << r.output;
        const fs::path base = out.path() / fs::path(entry->CheckFolder).parent_path().filename();
        const std::vector<std::string>& names =
            entry == &e ? kPlainNames : std::vector<std::string>{"inside"};
        for (const std::string& n : names) {
            // lhasa writes a name as stored: CP932 where CP932 holds it.
            std::string stored = n;
            if (!text::toCp932(n, stored))
                stored = n;
            fs::path extracted = base / stored;
            if (!fs::exists(extracted))
                extracted = out.path() / stored;
            EXPECT_TRUE(fs::exists(extracted)) << "[" << n << "] not in the archive";
            if (fs::exists(extracted)) {
                EXPECT_EQ(test::readFile(extracted), entry == &e ? "content of " + n : "q");
            }
        }
        // Nothing from outside the watched folder came along.
        for (const auto& d : fs::recursive_directory_iterator(out.path()))
            EXPECT_EQ(d.path().string().find(".."), std::string::npos) << d.path();
    }

    fs::current_path(oldCwd);
    EXPECT_FALSE(anyPwned({cwd.path().string(), h.fx.dir.path().string(), e.CheckFolder,
                           q.CheckFolder, h.path("w"), oldCwd.string(), "/tmp"}));
    EXPECT_EQ(h.logCount("\tシス・エラー\t"), 0u) << h.log();
}

TEST(HostileNames, NamesThatAreNoUtf8AreNeitherLostNorRepeated) {
    test::SmtpServer smtp;
    PassHarness h;
    h.writeSettings(smtp.address());
    WatchEntry e = h.folderEntry("bad", "x@example.com");
    test::writeFile(e.CheckFolder + kBadUtf8, "bad");
    test::writeFile(e.CheckFolder + "good.txt", "good");
    h.writeList({e});
    h.pass();
    auto files = smtp.waitForMessages(1);
    ASSERT_EQ(files.size(), 1u);
    test::ParsedMail m = test::parseEml(files[0]);
    EXPECT_EQ(m.defects, 0) << m.raw;
    EXPECT_NE(m.body.find(e.CheckFolder + "good.txt"), std::string::npos) << m.body;
    // The bad name is reported in some readable form or warned about.
    EXPECT_TRUE(m.body.find(e.CheckFolder + "bad") != std::string::npos ||
                h.logHas(e.CheckFolder + "bad"))
        << m.body;
    // Whatever was stored matches again: no mail at the next passes, and
    // a real deletion is still seen.
    h.pass();
    h.pass();
    EXPECT_EQ(smtp.messages().size(), 1u) << test::parseEml(smtp.messages().back()).body;
    fs::remove(e.CheckFolder + kBadUtf8);
    h.pass();
    auto after = smtp.messages();
    if (after.size() == 2u) {
        std::string body = test::parseEml(after[1]).body;
        EXPECT_NE(body.find("削除 testhost " + e.CheckFolder + "bad"), std::string::npos) << body;
    } else {
        EXPECT_EQ(after.size(), 1u);
        EXPECT_TRUE(h.logHas(e.CheckFolder + "bad")) << h.log();
    }
}

// A Shift-JIS name from a share with the wrong charset reads as Japanese,
// other bytes as \xNN; the record keeps the bytes, so nothing repeats.
TEST(HostileNames, NamesThatAreNoUtf8AreShownReadably) {
    EXPECT_EQ(text::displayName("\x82\xA0.txt"), "あ.txt");
    EXPECT_EQ(text::displayName("bad\xff\xfe.txt"), "bad\\xFF\\xFE.txt");
    EXPECT_EQ(text::displayName("é\x82"), "é\\x82"); // no CP932: a lead byte alone
    EXPECT_EQ(text::displayName("全角.txt"), "全角.txt");

    test::SmtpServer smtp;
    PassHarness h;
    h.writeSettings(smtp.address());
    WatchEntry e = h.folderEntry("sjis", "x@example.com");
    const std::string sjis = e.CheckFolder + "\x82\xA0.txt", bad = e.CheckFolder + kBadUtf8;
    test::writeFile(sjis, "a");
    test::writeFile(bad, "b");
    h.writeList({e});
    h.pass();
    auto files = smtp.waitForMessages(1);
    ASSERT_EQ(files.size(), 1u);
    const std::string body = test::parseEml(files[0]).body;
    EXPECT_NE(body.find("追加 testhost " + e.CheckFolder + "あ.txt "), std::string::npos) << body;
    EXPECT_NE(body.find("追加 testhost " + e.CheckFolder + "bad\\xFF\\xFE.txt "), std::string::npos)
        << body;
    EXPECT_TRUE(text::isValidUtf8(body));
    EXPECT_NE(h.log().find(e.CheckFolder + "あ.txt"), std::string::npos) << h.log();
    EXPECT_TRUE(text::isValidUtf8(h.log()));
    App& app = h.app();
    app.watchList.clear();
    ASSERT_TRUE(ReadIni(app));
    std::set<std::string> recorded;
    for (const CheckFile& f : app.watchList.at(0).CheckFiles)
        recorded.emplace(f.Path());
    EXPECT_EQ(recorded, (std::set<std::string>{sjis, bad}));
    h.pass();
    EXPECT_EQ(smtp.messages().size(), 1u);
}

} // namespace
} // namespace kestrova
