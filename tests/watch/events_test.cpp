// Event-assisted scanning against polling: the same random changes made to
// two identical folders, one checked with ScanMode=poll and one with
// ScanMode=auto, must give the same notification lines and records.
#include "core/DateTime.h"
#include "core/Settings.h"
#include "core/Text.h"
#include "cycle/CheckCycle.h"
#include "support/AppFixture.h"
#include "watch/InotifySource.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <random>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrova {
namespace {

using test::readFile;
using test::setMtime;
using test::writeFile;

constexpr std::int32_t kAll = NotifyDelete | NotifyUpdate | NotifyNew;
const long long T0 = static_cast<long long>(std::time(nullptr)) - 7200;

class Environment : public ::testing::Environment {
public:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "watch_events_test";
        static char* argv[] = {name, nullptr};
        if (!QCoreApplication::instance()) // one per program
            app_ = std::make_unique<QCoreApplication>(argc, argv);
    }
    void TearDown() override { app_.reset(); }

private:
    std::unique_ptr<QCoreApplication> app_;
};
[[maybe_unused]] const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new Environment);

long long mtimeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_mtim.tv_sec) : 0;
}

bool there(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// One interactive App whose entries report to the message window: a folder
// entry w/d/ and a file entry w/p/target.
struct Side {
    explicit Side(const std::string& mode, std::int32_t chkMode = kAll) {
        root = fx.dir / "w";
        ::mkdir(root.c_str(), 0755);
        ::mkdir((root + "/d").c_str(), 0755);
        ::mkdir((root + "/p").c_str(), 0755);
        writeFile(root + "/p/target", "t");
        setMtime(root + "/p/target", T0);
        writeFile(root + "/p/other", "o");
        writeFile(fx.settingsFile(), "[InitSetting]\r\nScanMode=" + mode + "\r\n");
        std::vector<WatchEntry> list(2);
        list[0].CheckFolder = root + "/d/";
        list[1].CheckFolder = root + "/p/target";
        list[1].CheckFiles = {{root + "/p/target", formatDateTime(fromUnix(T0))}};
        for (WatchEntry& e : list) {
            e.SendMailTo = kMessageDisplay;
            e.FileChkMode = chkMode;
        }
        writeFile(fx.watchListFile(), text::encodeFile(watchListText(list)));
        fx.app.showMessageWindow = [this] { messages.push_back(normal(fx.app.message.text)); };
        cycle = std::make_unique<CheckCycle>(fx.app);
    }

    // The root replaced, and the times of 追加 and 削除 lines that are the
    // time of the pass (every file time is hours in the past) made equal.
    std::string normal(const std::string& t) const {
        std::string s = text::replaceAll(t, root, "ROOT");
        std::string out;
        size_t pos = 0;
        const DateTime now = nowDateTime();
        while (pos < s.size()) {
            size_t end = s.find("\r\n", pos);
            std::string line = s.substr(pos, end == std::string::npos ? end : end - pos);
            pos = end == std::string::npos ? s.size() : end + 2;
            size_t b = line.rfind(' ');
            size_t a =
                b == std::string::npos || b == 0 ? std::string::npos : line.rfind(' ', b - 1);
            if (a != std::string::npos) {
                std::optional<DateTime> d = parseDateTime(line.substr(a + 1));
                if (d && *d > now - 120 && *d <= now + 5)
                    line = line.substr(0, a) + " NOW";
            }
            out += line + "\n";
        }
        return out;
    }

    std::vector<std::string> pass() {
        messages.clear();
        cycle->FolderCheckSub();
        return messages;
    }
    std::string records() const {
        return text::replaceAll(readFile(fx.watchListFile()), root, "ROOT");
    }

    test::AppFixture fx{true};
    std::string root;
    std::unique_ptr<CheckCycle> cycle;
    std::vector<std::string> messages;
};

// One random change, made the same way below each root.
struct Change {
    int kind;
    int a, b;
    long long t;
    int shift;
};

// Where a change leaves a folder's time to the kernel (the time of the
// change), the watched side goes first and the polled side copies its
// times afterwards, through source: the polled side needs no events.
void applyChange(const std::string& root, const Change& c, const std::string& source = "") {
    const std::string d = root + "/d/";
    auto natural = [&](const std::string& path) {
        if (!source.empty() && there(path))
            setMtime(path, mtimeOf(source + path.substr(root.size())));
    };
    const std::string f = d + "f" + std::to_string(c.a);
    const std::string sub = d + "s" + std::to_string(c.a % 3);
    switch (c.kind) {
    case 0: // create
        if (!there(f)) {
            writeFile(f, "new");
            setMtime(f, c.t);
        }
        break;
    case 1: // delete
        ::unlink(f.c_str());
        break;
    case 2: { // rename
        const std::string to = d + "f" + std::to_string(c.b);
        if (there(f) && !there(to))
            ::rename(f.c_str(), to.c_str());
        break;
    }
    case 3: // rewrite, then a time near the old one
        if (there(f) && !there(f + "/")) {
            long long old = mtimeOf(f);
            writeFile(f, "rewritten " + std::to_string(c.t));
            setMtime(f, old + c.shift);
        }
        break;
    case 4: // time shift
        if (there(f))
            setMtime(f, mtimeOf(f) + c.shift);
        break;
    case 5: // a subfolder
        if (!there(sub)) {
            ::mkdir(sub.c_str(), 0755);
            setMtime(sub, c.t);
        }
        break;
    case 6: { // a change one level down: the subfolder's date moves with it
        if (!there(sub))
            break;
        const std::string inner = sub + "/i" + std::to_string(c.b % 4);
        if (c.b % 3 == 0)
            ::unlink(inner.c_str());
        else
            writeFile(inner, "inner");
        if (there(inner))
            setMtime(inner, c.t + (c.b % 2 ? 11 : 5));
        if (c.shift == 0)
            natural(sub);
        else
            setMtime(sub, c.t);
        break;
    }
    case 7: { // a folder inside a subfolder, and a change in it
        if (!there(sub))
            break;
        const std::string nested = sub + "/n";
        if (!there(nested)) {
            ::mkdir(nested.c_str(), 0755);
            setMtime(nested, c.t);
            setMtime(sub, c.t - 20);
        } else {
            const std::string x = nested + "/x" + std::to_string(c.b % 2);
            if (there(x))
                ::unlink(x.c_str());
            else
                writeFile(x, "x");
            // Only the nested folder's own time tells the subfolder.
            if (c.shift == 0)
                natural(nested);
            else
                setMtime(nested, c.t + c.shift);
        }
        break;
    }
    case 8: { // the watched file and its neighbour
        const std::string target = root + "/p/target";
        if (c.b % 4 == 0) {
            ::unlink(target.c_str());
        } else if (c.b % 4 == 1) {
            if (!there(target)) {
                writeFile(target, "back");
                setMtime(target, c.t);
            }
        } else if (c.b % 4 == 2) {
            if (there(target))
                setMtime(target, mtimeOf(target) + c.shift);
        } else {
            writeFile(root + "/p/other", "o" + std::to_string(c.t));
        }
        break;
    }
    case 9: { // the watched folder removed and restored
        const std::string away = root + "/d.away";
        const std::string dir = root + "/d";
        if (there(away)) {
            if (!there(dir))
                ::rename(away.c_str(), dir.c_str());
        } else if (c.b % 3 == 0) {
            test::removeTree(dir);
            ::mkdir(dir.c_str(), 0755);
        } else {
            ::rename(dir.c_str(), away.c_str());
        }
        break;
    }
    case 10: // a subfolder's own time
        if (there(sub))
            setMtime(sub, mtimeOf(sub) + c.shift);
        break;
    case 12: { // a link to a file outside the entry, or the link removed
        const std::string link = d + "l" + std::to_string(c.a % 2);
        if (there(link)) {
            ::unlink(link.c_str());
        } else {
            const std::string target = root + "/p/other";
            if (::symlink(target.c_str(), link.c_str()) != 0)
                break;
        }
        break;
    }
    case 13: { // a subfolder renamed
        const std::string to = d + "s" + std::to_string((c.a + 1) % 3);
        if (there(sub) && !there(to))
            ::rename(sub.c_str(), to.c_str());
        break;
    }
    default: // a file moved into a subfolder, or back
        if (there(sub) && there(f) && !there(sub + "/m"))
            ::rename(f.c_str(), (sub + "/m").c_str());
        else if (there(sub + "/m") && !there(f))
            ::rename((sub + "/m").c_str(), f.c_str());
        natural(sub);
        break;
    }
}

Change randomChange(std::mt19937& rng) {
    static const int shifts[] = {5, 11, -1, 0};
    Change c{};
    c.kind = static_cast<int>(rng() % 17);
    if (c.kind >= 15)
        c.kind = 7; // the change no event on the entry's folders reports
    else if (c.kind == 14)
        c.kind = 11;
    c.a = static_cast<int>(rng() % 8);
    c.b = static_cast<int>(rng() % 12);
    c.t = T0 + static_cast<long long>(rng() % 600);
    c.shift = shifts[rng() % 4];
    return c;
}

TEST(Events, RandomChangeStreamsGiveWhatPollingGives) {
    static const std::int32_t modes[] = {kAll, kAll, NotifyUpdate, NotifyDelete | NotifyNew};
    size_t skipped = 0, partial = 0;
    for (unsigned stream = 0; stream < 50; ++stream) {
        std::mt19937 rng(stream * 7919 + 1);
        const std::int32_t mode = modes[stream % 4];
        Side poll("poll", mode), events("auto", mode);
        for (int step = 0; step < 14; ++step) {
            // Up to four at once: new names in one pass come in the order
            // a listing gives them.
            const int changes = step == 0 ? 0 : static_cast<int>(rng() % 5);
            std::string what;
            for (int i = 0; i < changes; ++i) {
                Change c = randomChange(rng);
                what += " " + std::to_string(c.kind) + "/" + std::to_string(c.a) + "/" +
                        std::to_string(c.b) + "/" + std::to_string(c.shift);
                applyChange(events.root, c);
                applyChange(poll.root, c, events.root);
            }
            std::vector<std::string> p = poll.pass();
            std::vector<std::string> e = events.pass();
            ASSERT_EQ(p, e) << "stream " << stream << " step " << step << " changes" << what;
            ASSERT_EQ(poll.records(), events.records())
                << "stream " << stream << " step " << step << " changes" << what;
            ASSERT_TRUE(events.cycle->events());
            skipped += 2 - events.cycle->events()->lastPlanned;
            partial += events.cycle->events()->lastPartial;
        }
    }
    // Events did stand in for scans, or the comparison proves nothing.
    EXPECT_GT(skipped, 100u);
    EXPECT_GT(partial, 50u);
}

// More events than the kernel queues: the overflow makes every entry a full
// scan, and what follows is still reported like polling.
TEST(Events, QueueOverflowFallsBackToAFullScan) {
    long long limit = 16384;
    std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> limit;
    const long long count = limit + 2000;
    Side poll("poll"), events("auto");
    for (Side* s : {&poll, &events}) {
        s->pass();
        s->pass();
    }
    EXPECT_EQ(events.cycle->events()->lastPlanned, 0u);
    for (Side* s : {&poll, &events})
        for (long long i = 0; i < count; ++i) {
            const std::string f = s->root + "/d/b" + std::to_string(i);
            writeFile(f, "");
            setMtime(f, T0 + i % 100);
        }
    std::vector<std::string> p = poll.pass();
    EXPECT_EQ(p, events.pass());
    ASSERT_EQ(p.size(), 1u);
    EXPECT_NE(p[0].find("ROOT/d/b" + std::to_string(count - 1) + " "), std::string::npos);
    EXPECT_EQ(poll.records(), events.records());
    for (Side* s : {&poll, &events}) {
        setMtime(s->root + "/d/b7", T0 + 500);
        ::unlink((s->root + "/d/b8").c_str());
    }
    p = poll.pass();
    EXPECT_EQ(p, events.pass());
    ASSERT_EQ(p.size(), 1u);
    EXPECT_NE(p[0].find("更新 testhost ROOT/d/b7 "), std::string::npos);
    EXPECT_NE(p[0].find("削除 testhost ROOT/d/b8 "), std::string::npos);
    EXPECT_EQ(poll.records(), events.records());
}

// What decides whether an entry is scanned: events, things events cannot
// see, an edit of the record, and the regular full scan.
TEST(Events, WhenAnEntryIsScanned) {
    Side s("auto");
    writeFile(s.root + "/d/a", "a");
    setMtime(s.root + "/d/a", T0);
    s.pass();
    s.pass(); // watches in place since the last read
    s.pass();
    InotifySource& w = *s.cycle->events();
    EXPECT_EQ(w.lastPlanned, 0u);
    setMtime(s.root + "/d/a", T0 + 30);
    EXPECT_EQ(s.pass().size(), 1u);
    EXPECT_EQ(w.lastPlanned, 1u);
    s.pass();
    EXPECT_EQ(w.lastPlanned, 0u);

    // A folder two levels down counts by its own time, which changes
    // without any event on the subfolder.
    ::mkdir((s.root + "/d/s").c_str(), 0755);
    ::mkdir((s.root + "/d/s/n").c_str(), 0755);
    setMtime(s.root + "/d/s/n", T0);
    setMtime(s.root + "/d/s", T0);
    s.pass();
    s.pass();
    s.pass();
    EXPECT_EQ(w.lastPlanned, 0u);
    writeFile(s.root + "/d/s/n/x", "x");
    std::vector<std::string> nested = s.pass();
    ASSERT_EQ(nested.size(), 1u);
    EXPECT_NE(nested[0].find("更新 testhost ROOT/d/s "), std::string::npos);

    // An edit of the stored record is seen although no file changed.
    std::string list = readFile(s.fx.watchListFile());
    writeFile(s.fx.watchListFile(), text::replaceAll(list, formatDateTime(fromUnix(T0 + 30)),
                                                     formatDateTime(fromUnix(T0))));
    std::vector<std::string> m = s.pass();
    ASSERT_EQ(m.size(), 1u);
    EXPECT_NE(m[0].find("更新 testhost ROOT/d/a "), std::string::npos);

    // A symbolic link's target changes where no watch sees it: polled.
    writeFile(s.fx.dir / "outside", "o");
    setMtime(s.fx.dir / "outside", T0);
    ASSERT_EQ(::symlink((s.fx.dir / "outside").c_str(), (s.root + "/d/link").c_str()), 0);
    s.pass();
    s.pass();
    EXPECT_EQ(w.lastPlanned, 1u);
    setMtime(s.fx.dir / "outside", T0 + 60);
    m = s.pass();
    ASSERT_EQ(m.size(), 1u);
    EXPECT_NE(m[0].find("更新 testhost ROOT/d/link "), std::string::npos);
    ::unlink((s.root + "/d/link").c_str());
    // The subfolders are watched again from this scan on, which one more
    // scan settles.
    s.pass();
    s.pass();
    s.pass();
    EXPECT_EQ(w.lastPlanned, 0u);

    // A folder above the entry renamed and another put in its place: no
    // event reaches the old watch, but the path names another folder.
    const std::string w0 = s.root, moved = s.fx.dir / "w.old";
    ASSERT_EQ(::rename(w0.c_str(), moved.c_str()), 0);
    ASSERT_EQ(::mkdir(w0.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((w0 + "/d").c_str(), 0755), 0);
    ASSERT_EQ(::rename((moved + "/p").c_str(), (w0 + "/p").c_str()), 0);
    m = s.pass();
    ASSERT_EQ(m.size(), 1u);
    EXPECT_NE(m[0].find("削除 testhost ROOT/d/a "), std::string::npos);

    // The regular full scan.
    w.fullScanEvery = std::chrono::seconds(0);
    s.pass();
    EXPECT_EQ(w.lastPlanned, 2u);
    EXPECT_EQ(s.pass().size(), 0u);
}

// A mount made by a test, detached at the end; mounts need root.
struct Mounted {
    std::string at;
    bool mount(const std::string& source, const std::string& target, const char* type,
               const std::string& options, unsigned long flags = 0) {
        if (::mount(source.c_str(), target.c_str(), type, flags, options.c_str()) != 0)
            return false;
        at = target;
        return true;
    }
    void release() {
        if (!at.empty())
            ::umount2(at.c_str(), MNT_DETACH);
        at.clear();
    }
    ~Mounted() { release(); }
};

// Mounts send no inotify event: a change of the mount table makes the next
// pass scan every entry, and a change events did not report is logged.
TEST(Events, FileSystemsMountedOnAWatchedFolderAreSeenAtTheNextPass) {
    Side s("auto");
    const std::string sub = s.root + "/d/m";
    ::mkdir(sub.c_str(), 0755);
    setMtime(sub, T0);
    s.pass();
    s.pass();
    s.pass();
    InotifySource& w = *s.cycle->events();
    EXPECT_EQ(w.lastPlanned, 0u);
    Mounted tmpfs;
    if (!tmpfs.mount("tmpfs", sub, "tmpfs", "size=1m"))
        GTEST_SKIP() << "mount needs root here";
    writeFile(sub + "/x", "x"); // the mount's time is now
    std::vector<std::string> m = s.pass();
    ASSERT_EQ(m.size(), 1u);
    EXPECT_NE(m[0].find("更新 testhost ROOT/d/m "), std::string::npos) << m[0];
    // Unmounted again before the regular full scan: seen as well.
    s.pass();
    tmpfs.release();
    m = s.pass();
    ASSERT_EQ(m.size(), 1u);
    EXPECT_NE(m[0].find("更新 testhost ROOT/d/m "), std::string::npos) << m[0];

    // A mount between a pass's look at the table and its scan is found by
    // the regular full scan and logged as missed.
    s.pass();
    s.pass();
    App& app = s.fx.app;
    std::vector<WatchEntry> list;
    ASSERT_TRUE(ReadIni(app, app.settings, list));
    w.fullScanEvery = std::chrono::seconds(0);
    ScanRequest request;
    w.plan(app, list, request);
    ASSERT_TRUE(tmpfs.mount("tmpfs", sub, "tmpfs", "size=1m"));
    writeFile(sub + "/y", "y");
    ScanResult result;
    ASSERT_TRUE(scanWatchList(app, list, request, result));
    w.scanned(app, list, result);
    size_t missed = 0;
    for (const std::string& line : s.fx.logLines())
        if (line.find("\tMsgForm\tFolderCheckSub\tトレース") != std::string::npos &&
            line.find("missed by events: " + sub) != std::string::npos)
            ++missed;
    EXPECT_EQ(missed, 1u);
}

// A file of the same file system mounted on an item of a watched folder,
// or in a subfolder, changes through its other path: no event on the
// watched folders reports it, so the entry is scanned.
TEST(Events, BindMountsBelowAWatchedFolderAreScanned) {
    Side s("auto");
    const std::string src = s.fx.dir / "src", sub = s.root + "/d/s";
    ::mkdir(sub.c_str(), 0755);
    for (const std::string& f : {src, sub + "/g", s.root + "/d/f"}) {
        writeFile(f, "f");
        setMtime(f, T0);
    }
    setMtime(sub, T0);
    Mounted item, nested;
    if (!item.mount(src, s.root + "/d/f", nullptr, "", MS_BIND) ||
        !nested.mount(src, sub + "/g", nullptr, "", MS_BIND))
        GTEST_SKIP() << "mount needs root here";
    s.pass();
    s.pass();
    s.pass();
    setMtime(src, T0 + 60);
    std::vector<std::string> m = s.pass();
    ASSERT_EQ(m.size(), 1u);
    EXPECT_NE(m[0].find("更新 testhost ROOT/d/f "), std::string::npos) << m[0];
    EXPECT_NE(m[0].find("更新 testhost ROOT/d/s "), std::string::npos) << m[0];
    EXPECT_EQ(s.cycle->events()->lastWhy[0], FullScan::MountBelow);
}

// A mount matters on an item, or on a folder one level into one (its time
// counts for the item); deeper, or beside the entry, it does not.
TEST(Events, MountsThatMatterToAnEntry) {
    EXPECT_TRUE(mountMatters("/w/d", true, "/w/d/f"));
    EXPECT_TRUE(mountMatters("/w/d", true, "/w/d/s/n"));
    EXPECT_FALSE(mountMatters("/w/d", true, "/w/d/s/n/deep"));
    EXPECT_FALSE(mountMatters("/w/d", true, "/w/d"));
    EXPECT_FALSE(mountMatters("/w/d", true, "/w/dx/f"));
    EXPECT_TRUE(mountMatters("/", true, "/proc"));
    EXPECT_TRUE(mountMatters("/w/p/f", false, "/w/p/f"));
    EXPECT_FALSE(mountMatters("/w/p/f", false, "/w/p"));
}

// Changes made in an overlay's lower folder send no event through the
// overlay: such a folder is polled.
TEST(Events, OverlayLowerFolderChangesAreSeen) {
    Side s("auto");
    const std::string base = s.fx.dir / "ov";
    for (const char* f : {"", "/lower", "/upper", "/work"})
        ::mkdir((base + f).c_str(), 0755);
    writeFile(base + "/lower/a", "a");
    setMtime(base + "/lower/a", T0);
    Mounted overlay;
    if (!overlay.mount("overlay", s.root + "/d", "overlay",
                       "lowerdir=" + base + "/lower,upperdir=" + base + "/upper,workdir=" + base +
                           "/work"))
        GTEST_SKIP() << "overlay mount needs root here";
    s.pass();
    s.pass();
    s.pass();
    for (int i = 1; i <= 3; ++i) {
        setMtime(base + "/lower/a", T0 + 30 * i);
        std::vector<std::string> m = s.pass();
        ASSERT_EQ(m.size(), 1u) << i;
        EXPECT_NE(m[0].find("更新 testhost ROOT/d/a "), std::string::npos) << m[0];
    }
}

} // namespace
} // namespace kestrova
