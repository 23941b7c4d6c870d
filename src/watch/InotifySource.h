// Change events from the kernel standing in for the scan of entries that
// did not change (ScanMode "auto"). Entries on local file systems are
// watched through inotify; a pass scans only the entries with events since
// their last scan, and every entry watch/Trust.h does not trust, in full.
#pragma once

#include "core/Settings.h"
#include "watch/ChangeSource.h"
#include "watch/MountTable.h"
#include "watch/Scanner.h"
#include "watch/Trust.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace kestrova {

struct App;

class InotifySource : public ChangeSource {
public:
    InotifySource() = default;
    ~InotifySource() override;
    InotifySource(const InotifySource&) = delete;
    InotifySource& operator=(const InotifySource&) = delete;

    // The entries of list this pass must scan. Reads every event queued
    // since the last pass, and watches the folder of each entry it returns
    // before that entry is read, so no later change goes unseen. A folder
    // entry whose events are trusted is scanned for the names that changed
    // in it only.
    void plan(App& app, const std::vector<WatchEntry>& list, ScanRequest& request) override;
    // After a scan of list (as plan gave it) that succeeded: watches the
    // folders each scanned entry showed and trusts its events from now on
    // when watch/Trust.h says so. A change the regular full scan found that
    // events did not report is logged as a trace line "missed by events".
    void scanned(App& app, const std::vector<WatchEntry>& list, const ScanResult& result) override;

    // Every entry is scanned in full this often regardless of events.
    std::chrono::steady_clock::duration fullScanEvery = std::chrono::minutes(10);

    // How many entries the last plan returned, and how many of them only
    // for the names reported (for tests and benchmarks).
    std::size_t lastPlanned = 0;
    std::size_t lastPartial = 0;
    // Why the last plan scanned each entry in full (nullopt: it did not).
    std::vector<std::optional<FullScan>> lastWhy;

private:
    struct Entry {
        std::string folder;
        std::int32_t mode = 0;
        CheckFileList record; // shares the vector the last scan left
        bool seen = false;    // the fields above hold what the last scan left
        // Why the next scan is whole; nullopt while events report every
        // change of the entry.
        std::optional<FullScan> whole = FullScan::FirstScan;
        bool local = false;      // the entry's folder is on a file system with events
        bool mountBelow = false; // the mount table shows a mount its items depend on
        bool folderEntry = false;
        bool partial = false;  // planned for the names below only
        bool onlyFull = false; // planned whole only because a full scan is due
        // Names directly in a folder entry's folder reported changed since
        // the last scan: items, or subfolders whose contents changed.
        std::unordered_set<std::string> names;
        int mainWd = -1; // the entry's own folder (or a file entry's folder)
        // What the entry's path named when mainWd was added: a folder above
        // it renamed, or a link in the path changed, sends no event to it.
        dev_t dev = 0;
        ino_t ino = 0;
        std::vector<int> wds; // every watch the entry relies on
    };

    bool open(App& app);
    void noteMissed(App& app, const Entry& e, const WatchEntry& w);
    void drain(App& app);
    // Marks every entry for a whole scan.
    void wholeAll(FullScan why);
    // Whether the mount table changed since the last look (never blocks);
    // then reads it again.
    bool mountsChanged();
    bool mountBelow(const WatchEntry& w) const;
    // Whom a watch reports to: an entry, and the item of it that the
    // watched folder's changes count for ("" for the entry's own folder).
    struct Owner {
        std::size_t entry;
        std::string item;
    };

    int addWatch(App& app, const std::string& path, std::uint32_t mask);
    void own(std::size_t n, int wd, const std::string& item);
    void releaseAll(std::size_t n);
    void release(std::size_t n, int wd);

    int fd_ = -1;
    bool openTried_ = false;
    bool fullPending_ = false;
    bool everFull_ = false;
    std::chrono::steady_clock::time_point lastFull_{};
    std::vector<Entry> entries_;
    MountTable mounts_; // read again whenever it changed
    std::unordered_map<int, std::vector<Owner>> owners_;
};

} // namespace kestrova
