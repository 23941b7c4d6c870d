// The item rule and the scan of watch entries against their records, on
// real folders whose times are set explicitly.
#include "core/DateTime.h"
#include "support/AppFixture.h"
#include "watch/Scanner.h"

#include <gtest/gtest.h>

#include <ctime>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kestrova {
namespace {

using test::setMtime;
using test::writeFile;

constexpr std::int32_t kAll = NotifyDelete | NotifyUpdate | NotifyNew;

// A fixed base time well in the past, so "now" never collides with it.
const long long T0 = static_cast<long long>(std::time(nullptr)) - 7200;

std::string when(long long unixSeconds) {
    return formatDateTime(fromUnix(unixSeconds));
}

// A date as records hold it.
std::string recorded(long long unixSeconds) {
    return formatRecordDate(utcFromUnix(unixSeconds));
}

class Scan : public ::testing::Test {
protected:
    explicit Scan(bool interactive = true) : fx(interactive) {}

    std::string root() const { return fx.dir.path().string() + "/w/"; }
    std::string file(const std::string& name, long long mtime, const std::string& data = "x") {
        std::string p = root() + name;
        writeFile(p, data);
        setMtime(p, mtime);
        return p;
    }
    std::string folder(const std::string& name, long long mtime) {
        std::string p = root() + name;
        ::mkdir(p.c_str(), 0755);
        setMtime(p, mtime);
        return p;
    }
    WatchEntry& add(std::string path, std::int32_t mode, std::string mailTo = "a@example.com") {
        WatchEntry e;
        e.CheckFolder = std::move(path);
        e.SendMailTo = std::move(mailTo);
        e.FileChkMode = mode;
        fx.app.watchList.push_back(std::move(e));
        return fx.app.watchList.back();
    }
    std::vector<std::string> scan() {
        std::vector<std::string> lists;
        EXPECT_TRUE(scanWatchList(fx.app, lists));
        return lists;
    }
    std::string line(const char* label, const std::string& path, long long mtime) const {
        return std::string(label) + " testhost " + path + " " + when(mtime) + "\r\n";
    }
    // Lines that carry the current time: the label, path and a time taken
    // between from and now.
    void expectNowLine(const std::string& list, const char* label, const std::string& path,
                       DateTime from) {
        std::string head = std::string(label) + " testhost " + path + " ";
        ASSERT_EQ(list.rfind(head, 0), 0u) << list;
        ASSERT_EQ(list.substr(list.size() - 2), "\r\n");
        auto t = parseDateTime(list.substr(head.size(), list.size() - head.size() - 2));
        ASSERT_TRUE(t);
        EXPECT_GE(*t, from);
        EXPECT_LE(*t, nowDateTime());
    }
    void SetUp() override { ::mkdir(root().c_str(), 0755); }

    test::AppFixture fx;
};

class ScanBackground : public Scan {
protected:
    ScanBackground() : Scan(false) {}
};

TEST_F(Scan, ItemRuleTenSecondWindowAndTimeGoingBack) {
    std::string p = file("a.txt", T0 + 10);
    DateTime d = fromUnix(T0);
    EXPECT_EQ(UpdateCheckFile(fx.app, kAll, p, d), "");
    EXPECT_EQ(d, fromUnix(T0 + 10)); // the record follows the file either way

    d = fromUnix(T0);
    setMtime(p, T0 + 11);
    EXPECT_EQ(UpdateCheckFile(fx.app, kAll, p, d), line("更新", p, T0 + 11));

    setMtime(p, T0 + 5); // restored from a backup
    EXPECT_EQ(UpdateCheckFile(fx.app, kAll, p, d), line("更新", p, T0 + 5));

    // Without NotifyUpdate the change is recorded but not reported.
    setMtime(p, T0 + 100);
    EXPECT_EQ(UpdateCheckFile(fx.app, NotifyNew, p, d), "");
    EXPECT_EQ(d, fromUnix(T0 + 100));
}

TEST_F(Scan, FolderDateIsLatestOfDirectContentsOnly) {
    std::string sub = folder("sub", T0);
    file("sub/f", T0 + 50);
    ::mkdir((sub + "/deep").c_str(), 0755);
    file("sub/deep/g", T0 + 500);
    setMtime(sub + "/deep", T0 + 20);
    setMtime(sub, T0);
    EXPECT_EQ(GetFileDate(fx.app, sub), fromUnix(T0 + 50));
    EXPECT_EQ(GetFileDate(fx.app, sub + "/"), fromUnix(T0 + 50));
    setMtime(sub, T0 + 60);
    EXPECT_EQ(GetFileDate(fx.app, sub), fromUnix(T0 + 60));
    EXPECT_EQ(GetFileDate(fx.app, root() + "missing"), 0);

    // A dangling link is a file with its own time; a link to a folder
    // counts as that folder.
    std::string dangling = root() + "dangling";
    ASSERT_EQ(::symlink("nowhere", dangling.c_str()), 0);
    setMtime(dangling, T0 + 7);
    EXPECT_EQ(GetFileDate(fx.app, dangling), fromUnix(T0 + 7));
    std::string link = root() + "link";
    ASSERT_EQ(::symlink(sub.c_str(), link.c_str()), 0);
    EXPECT_EQ(GetFileDate(fx.app, link), fromUnix(T0 + 60));
    EXPECT_TRUE(fx.boxes.empty());
}

TEST_F(Scan, FolderEntryOrderAdditionsAndPruning) {
    std::string a = file("a", T0), b = file("b", T0);
    folder("d1", T0 + 1);
    WatchEntry& e = add(root(), kAll);
    e.CheckFiles = {{b, recorded(T0)}, {root() + "gone", recorded(T0)}, {a, recorded(T0)}};
    std::string c = file("c", T0 + 3);
    setMtime(b, T0 + 30);

    DateTime start = nowDateTime();
    auto lists = scan();
    ASSERT_EQ(lists.size(), 1u);
    // Updates and deletions in recorded order, then additions: files
    // before folders.
    std::string expected = line("更新", b, T0 + 30);
    ASSERT_EQ(lists[0].rfind(expected, 0), 0u) << lists[0];
    std::string rest = lists[0].substr(expected.size());
    size_t cut = rest.find("\r\n") + 2;
    expectNowLine(rest.substr(0, cut), "削除", root() + "gone", start);
    EXPECT_EQ(rest.substr(cut), line("追加", c, T0 + 3) + line("追加", root() + "d1", T0 + 1));

    const auto& rec = fx.app.watchList[0].CheckFiles;
    ASSERT_EQ(rec.size(), 4u);
    EXPECT_EQ(rec[0].Path(), b);
    EXPECT_EQ(rec[0].Date(), recorded(T0 + 30));
    EXPECT_EQ(rec[1].Path(), a);
    EXPECT_EQ(rec[2].Path(), c);
    EXPECT_EQ(rec[3].Path(), root() + "d1"); // no trailing "/"

    // Nothing changed: nothing reported, and the deletion is not repeated.
    EXPECT_EQ(scan()[0], "");
    // Reappearing is a new item.
    file("gone", T0 + 4);
    EXPECT_EQ(scan()[0], line("追加", root() + "gone", T0 + 4));
}

// Items are looked up beside the open folder; a record that names a path
// elsewhere (edited by hand) is still checked by its whole path, and an
// unchanged record keeps its texts as they were stored.
TEST_F(Scan, ForeignRecordedPathsAndUntouchedRecord) {
    ::mkdir((root() + "sub").c_str(), 0755);
    std::string inside = file("a", T0), deeper = file("sub/x", T0);
    std::string elsewhere = fx.dir.path().string() + "/outside";
    writeFile(elsewhere, "o");
    setMtime(elsewhere, T0);
    WatchEntry& e = add(root(), kAll);
    const std::string oddText = recorded(T0) + " "; // parses, but not as we write it
    e.CheckFiles = {{inside, oddText}, {deeper, recorded(T0)}, {elsewhere, recorded(T0)}};
    setMtime(root() + "sub", T0);
    std::vector<CheckFile> before = e.CheckFiles;
    // "sub" is new; the rest is as recorded.
    EXPECT_EQ(scan()[0], line("追加", root() + "sub", T0));
    before.push_back({root() + "sub", recorded(T0)});
    auto rec = fx.app.watchList[0].CheckFiles;
    ASSERT_EQ(rec.size(), before.size());
    for (size_t i = 0; i < rec.size(); ++i) {
        EXPECT_EQ(rec[i].Path(), before[i].Path());
        EXPECT_EQ(rec[i].Date(), before[i].Date());
    }
    setMtime(deeper, T0 + 60);
    setMtime(elsewhere, T0 + 60);
    // The folder item "sub" moves with what is inside it.
    EXPECT_EQ(scan()[0], line("更新", deeper, T0 + 60) + line("更新", elsewhere, T0 + 60) +
                             line("更新", root() + "sub", T0 + 60));
    ::unlink(elsewhere.c_str());
    std::string lines = scan()[0];
    EXPECT_EQ(lines.rfind("削除 testhost " + elsewhere + " ", 0), 0u) << lines;
}

TEST_F(Scan, AdditionsWithoutNotifyNewAreSilentForGood) {
    WatchEntry& e = add(root(), NotifyUpdate | NotifyDelete);
    (void)e;
    std::string a = file("a", T0);
    EXPECT_EQ(scan()[0], "");
    ASSERT_EQ(fx.app.watchList[0].CheckFiles.size(), 1u);
    EXPECT_EQ(fx.app.watchList[0].CheckFiles[0].Date(), recorded(T0));
    EXPECT_EQ(scan()[0], "");
    setMtime(a, T0 + 11);
    EXPECT_EQ(scan()[0], line("更新", a, T0 + 11));
}

// Records of Windows or of earlier versions hold local time without an
// offset: read as local time, reported as unchanged, written anew.
TEST_F(Scan, RecordsWithoutOffsetReadAsLocalTimeAndGainOne) {
    std::string a = file("a", T0), f = file("f", T0);
    add(root(), kAll).CheckFiles = {{a, when(T0)}, {f, when(T0)}};
    add(f, kAll).CheckFiles = {{f, when(T0)}};
    EXPECT_EQ(scan(), (std::vector<std::string>{"", ""}));
    EXPECT_EQ(fx.app.watchList[0].CheckFiles.at(0).Date(), recorded(T0));
    EXPECT_EQ(fx.app.watchList[1].CheckFiles.at(0).Date(), recorded(T0));
}

TEST_F(Scan, SubfolderItemSeesChangesOneLevelDown) {
    add(root(), kAll);
    std::string sub = folder("sub", T0);
    EXPECT_EQ(scan()[0], line("追加", sub, T0));

    std::string f = file("sub/f", T0 + 10);
    setMtime(sub, T0);
    EXPECT_EQ(scan()[0], ""); // exactly 10 s later is no update
    setMtime(f, T0 + 21);
    EXPECT_EQ(scan()[0], line("更新", sub, T0 + 21));

    // Two levels down is not seen unless the subfolder's own time moves.
    ::mkdir((sub + "/deep").c_str(), 0755);
    setMtime(sub + "/deep", T0);
    setMtime(sub, T0);
    file("sub/deep/g", T0 + 900);
    setMtime(sub + "/deep", T0);
    EXPECT_EQ(scan()[0], "");
}

TEST_F(Scan, MissingFolderKeepsItsRecord) {
    std::string gone = fx.dir.path().string() + "/nothere/";
    WatchEntry& e = add(gone, kAll);
    e.CheckFiles = {{gone + "x", recorded(T0)}};
    EXPECT_EQ(scan()[0], "");
    ASSERT_EQ(fx.app.watchList[0].CheckFiles.size(), 1u);
    EXPECT_EQ(fx.app.watchList[0].CheckFiles[0].Date(), recorded(T0));
}

TEST_F(Scan, SingleFileDeletedOnceThenBack) {
    std::string p = file("one.txt", T0);
    add(p, kAll).CheckFiles = {{p, recorded(T0)}};
    add(p, NotifyUpdate | NotifyDelete).CheckFiles = {{p, recorded(T0)}};
    ::unlink(p.c_str());

    DateTime start = nowDateTime();
    auto lists = scan();
    expectNowLine(lists[0], "削除", p, start);
    expectNowLine(lists[1], "削除", p, start);
    // The file entry keeps its item with the absent date.
    ASSERT_EQ(fx.app.watchList[0].CheckFiles.size(), 1u);
    EXPECT_EQ(fx.app.watchList[0].CheckFiles[0].Date(), "0:00:00");
    lists = scan();
    EXPECT_EQ(lists[0] + lists[1], "");

    file("one.txt", T0 + 2);
    start = nowDateTime();
    lists = scan();
    expectNowLine(lists[0], "追加", p, start);
    EXPECT_EQ(lists[1], line("更新", p, T0 + 2));
    EXPECT_EQ(fx.app.watchList[0].CheckFiles[0].Date(), recorded(T0 + 2));

    // A file entry written by hand without its record gets, silently, the
    // record adding it gives, and is checked from then on.
    add(p, kAll);
    EXPECT_EQ(scan()[2], "");
    ASSERT_EQ(fx.app.watchList[2].CheckFiles.size(), 1u);
    EXPECT_EQ(fx.app.watchList[2].CheckFiles[0].Date(), recorded(T0 + 2));
    file("one.txt", T0 + 20);
    EXPECT_EQ(scan()[2], line("更新", p, T0 + 20));
}

TEST_F(ScanBackground, MessageOnlyEntriesAreLeftAloneWithoutWindows) {
    std::string p = file("a", T0 + 60);
    add(root(), kAll, kMessageDisplay);
    add(root(), kAll, "");
    add(p, kAll, kMessageDisplay).CheckFiles = {{p, recorded(T0)}};
    add(root(), kAll);
    auto lists = scan();
    EXPECT_EQ(lists[0] + lists[1] + lists[2], "");
    EXPECT_TRUE(fx.app.watchList[0].CheckFiles.empty());
    EXPECT_EQ(fx.app.watchList[2].CheckFiles[0].Date(), recorded(T0));
    EXPECT_EQ(lists[3], line("追加", p, T0 + 60));
}

TEST_F(Scan, UnreadableRecordedDateEndsThePassAndChangesNothing) {
    std::string p = file("a", T0 + 60);
    add(root(), kAll).CheckFiles = {{p, recorded(T0)}};
    add(root(), kAll).CheckFiles = {{p, "12-07-2026 6:00"}};
    std::vector<std::string> lists;
    EXPECT_FALSE(scanWatchList(fx.app, lists));
    EXPECT_EQ(fx.app.watchList[0].CheckFiles[0].Date(), recorded(T0)); // first entry untouched too
    auto log = fx.logLines();
    ASSERT_FALSE(log.empty());
    EXPECT_NE(log.back().find("\tMsgForm\tFolderCheckSub\t"), std::string::npos);
    EXPECT_TRUE(fx.boxes.empty());
}

TEST_F(Scan, NameWithLineBreakIsLeftOutAndWarnedOnce) {
    add(root(), kAll);
    file("bad\nname", T0);
    std::string ok = file("ok", T0);
    EXPECT_EQ(scan()[0], line("追加", ok, T0));
    EXPECT_EQ(scan()[0], "");
    ASSERT_EQ(fx.app.watchList[0].CheckFiles.size(), 1u);
    int warnings = 0;
    for (const std::string& l : fx.logLines())
        if (l.find("bad\\nname") != std::string::npos)
            ++warnings;
    EXPECT_EQ(warnings, 1);
    EXPECT_EQ(watchListText(fx.app.watchList).find("bad"), std::string::npos);
}

// Runs the unlistable-subfolder case; returns "" or what went wrong.
std::string unlistableSubfolderCase() {
    test::AppFixture fx(true);
    std::string root = fx.dir.path().string() + "/w/";
    ::mkdir(root.c_str(), 0755);
    std::string sub = root + "locked";
    ::mkdir(sub.c_str(), 0755);
    writeFile(sub + "/inside", "x");
    setMtime(sub + "/inside", T0 + 99);
    setMtime(sub, T0 + 5);
    ::chmod(sub.c_str(), 0);
    WatchEntry e;
    e.CheckFolder = root;
    e.SendMailTo = "a@example.com";
    e.FileChkMode = kAll;
    fx.app.watchList.push_back(e);
    std::vector<std::string> lists;
    std::string expected = "追加 testhost " + sub + " " + when(T0 + 5) + "\r\n";
    for (int pass = 0; pass < 3; ++pass) {
        if (!scanWatchList(fx.app, lists))
            return "scan failed";
        if (lists[0] != (pass == 0 ? expected : ""))
            return "pass " + std::to_string(pass) + ": " + lists[0];
    }
    if (!fx.boxes.empty())
        return "message box shown";
    int warnings = 0;
    for (const std::string& l : fx.logLines())
        if (l.find(sub) != std::string::npos)
            ++warnings;
    if (warnings != 1)
        return "warnings: " + std::to_string(warnings);
    ::chmod(sub.c_str(), 0700);
    return "";
}

TEST(ScanPermissions, UnlistableSubfolderStandsForItself) {
    if (::geteuid() != 0) {
        EXPECT_EQ(unlistableSubfolderCase(), "");
        return;
    }
    // Permissions do not bind root: run the case as an unprivileged user.
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::close(fds[0]);
        std::string result;
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            result = "cannot drop privileges";
        else
            result = unlistableSubfolderCase();
        if (!result.empty() && ::write(fds[1], result.data(), result.size()) < 0)
            _exit(3);
        _exit(result.empty() ? 0 : 1);
    }
    ::close(fds[1]);
    std::string out;
    char buf[512];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;)
        out.append(buf, static_cast<size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (out == "cannot drop privileges")
        GTEST_SKIP() << out;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;
}

} // namespace
} // namespace kestrova
