// Change events from the kernel standing in for the scan of entries that
// did not change. Entries on local file systems are watched through
// inotify; a pass scans only the entries with events since their last scan,
// and every entry whose events cannot be trusted, at every pass.
#pragma once

#include "core/Settings.h"
#include "watch/Scanner.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace kestrova {

struct App;

class EventWatcher {
public:
    EventWatcher() = default;
    ~EventWatcher();
    EventWatcher(const EventWatcher&) = delete;
    EventWatcher& operator=(const EventWatcher&) = delete;

    // The entries of list this pass must scan. Reads every event queued
    // since the last pass, and watches the folder of each entry it returns
    // before that entry is read, so no later change goes unseen. hints,
    // when given, receives for each folder entry whose events can be
    // trusted the names that changed in it: only those need a look.
    // Entries marked false in here (when given) are scanned elsewhere: not
    // looked at, and not watched.
    std::vector<bool> plan(App& app, const std::vector<WatchEntry>& list,
                           std::vector<ScanHint>* hints = nullptr,
                           const std::vector<bool>* here = nullptr);
    // After a scan of list (as plan gave it) that succeeded: watches the
    // folders each scanned entry showed and marks it clean when its events
    // can be trusted. updateLists are the scan's change lists (indexed like
    // list): a change the regular full scan found that events did not
    // report is logged as a trace line "missed by events".
    void scanned(App& app, const std::vector<WatchEntry>& list,
                 const std::vector<ScanTrace>& traces,
                 const std::vector<std::string>& updateLists = {});

    // Every entry is scanned in full this often regardless of events.
    std::chrono::steady_clock::duration fullScanEvery = std::chrono::minutes(10);

    // How many entries the last plan returned, and how many of them only
    // for the names reported (for tests and benchmarks).
    std::size_t lastPlanned = 0;
    std::size_t lastPartial = 0;

private:
    struct Entry {
        std::string folder;
        std::int32_t mode = 0;
        CheckFileList record; // shares the vector the last scan left
        bool seen = false;    // the fields above hold what the last scan left
        bool trusted = false; // events report every change of the entry
        bool dirty = true;    // changed (or unknown) since the last scan: scanned whole
        bool local = false;   // the entry's folder is on a file system with events
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
    // Whether the mount table changed since the last look (never blocks).
    bool mountsChanged();
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
    int mountsFd_ = -1; // /proc/self/mountinfo, polled for changes
    bool openTried_ = false;
    bool fullPending_ = false;
    bool everFull_ = false;
    std::chrono::steady_clock::time_point lastFull_{};
    std::vector<Entry> entries_;
    std::unordered_map<int, std::vector<Owner>> owners_;
};

} // namespace kestrova
