#include "watch/InotifySource.h"

#include "core/App.h"
#include "core/FileIo.h"
#include "core/Text.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string_view>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrova {

namespace {

// What a watched folder reports: changes of its direct entries and of
// itself. A nested folder (one below a subfolder) only counts by its own
// time, which changes when entries are added, removed or renamed in it.
constexpr std::uint32_t kFolderMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                      IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_DELETE_SELF |
                                      IN_MOVE_SELF | IN_ONLYDIR;
constexpr std::uint32_t kNestedMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                      IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

// The folder whose events report changes of an entry's own path.
std::string watchedFolder(const WatchEntry& e) {
    const std::string& p = e.CheckFolder;
    if (e.isFolder())
        return p.size() > 1 ? p.substr(0, p.size() - 1) : p;
    size_t slash = p.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : p.substr(0, slash);
}

// The item of a folder entry that a watched folder below it counts for:
// the first name after the entry's folder.
std::string itemOf(const std::string& folder, const std::string& path) {
    if (path.size() <= folder.size() || path.compare(0, folder.size(), folder) != 0)
        return {};
    const size_t end = path.find('/', folder.size());
    return path.substr(folder.size(),
                       end == std::string::npos ? std::string::npos : end - folder.size());
}

} // namespace

InotifySource::~InotifySource() {
    if (fd_ >= 0)
        ::close(fd_);
}

bool InotifySource::mountsChanged() {
    return fd_ >= 0 && mounts_.refresh();
}

bool InotifySource::mountBelow(const WatchEntry& w) const {
    // The table spells paths without links.
    const std::string path = w.isFolder() && w.CheckFolder.size() > 1
                                 ? w.CheckFolder.substr(0, w.CheckFolder.size() - 1)
                                 : w.CheckFolder;
    char real[PATH_MAX];
    if (!::realpath(path.c_str(), real))
        return false;
    for (const MountTable::Mount& m : mounts_.mounts())
        if (mountMatters(real, w.isFolder(), m.point))
            return true;
    return false;
}

void InotifySource::wholeAll(FullScan why) {
    for (Entry& e : entries_)
        if (!e.whole)
            e.whole = why;
}

bool InotifySource::open(App& app) {
    if (fd_ >= 0)
        return true;
    if (openTried_)
        return false;
    openTried_ = true;
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) {
        int err = errno;
        if (app.warnedOnce.first(Warning::EventsUnavailable))
            app.log.WriteLog(0, LogWarning, "MsgForm", "FolderCheckSub",
                             "変更通知を使えないため毎回すべてを走査します: " + errnoText(err));
        return false;
    }
    // Mounts send no inotify event: a file system mounted on a watched
    // folder would go unseen until the next full scan. The table is looked
    // at afresh from here on.
    mounts_.refresh();
    return true;
}

void InotifySource::drain(App& app) {
    alignas(inotify_event) char buf[64 * 1024];
    for (;;) {
        ssize_t got = ::read(fd_, buf, sizeof buf);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN) {
                // The queue cannot be read: nothing it says can be trusted.
                int err = errno;
                if (app.warnedOnce.first(Warning::EventsUnreadable))
                    app.log.WriteLog(0, LogWarning, "MsgForm", "FolderCheckSub",
                                     "変更通知を読めません: " + errnoText(err));
                wholeAll(FullScan::QueueUnreadable);
            }
            return;
        }
        if (got == 0)
            return;
        for (ssize_t at = 0; at < got;) {
            const auto* ev = reinterpret_cast<const inotify_event*>(buf + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
            if (ev->mask & IN_Q_OVERFLOW) {
                wholeAll(FullScan::Overflow);
                continue;
            }
            auto it = owners_.find(ev->wd);
            if (it == owners_.end())
                continue;
            constexpr std::uint32_t kSelf = IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED;
            for (const Owner& o : it->second) {
                if (o.entry >= entries_.size())
                    continue;
                Entry& e = entries_[o.entry];
                // A watched folder itself gone or moved, a file entry's
                // folder, or a folder entry's own folder changed: scanned
                // whole. Otherwise the name that changed is enough.
                if (ev->mask & kSelf) {
                    if (!e.whole)
                        e.whole = FullScan::WatchGone;
                } else if (!o.item.empty() && e.folderEntry) {
                    e.names.insert(o.item);
                } else if (ev->len > 0 && ev->name[0] && e.folderEntry) {
                    e.names.emplace(ev->name);
                } else if (!e.whole) {
                    e.whole = FullScan::ChangeReported;
                }
            }
            if (ev->mask & IN_IGNORED) {
                // The watch is gone (folder removed, moved away, unmounted).
                for (const Owner& o : it->second) {
                    const std::size_t n = o.entry;
                    if (n >= entries_.size())
                        continue;
                    Entry& e = entries_[n];
                    e.wds.erase(std::remove(e.wds.begin(), e.wds.end(), ev->wd), e.wds.end());
                    if (e.mainWd == ev->wd)
                        e.mainWd = -1;
                    if (!e.whole)
                        e.whole = FullScan::WatchGone;
                }
                owners_.erase(it);
            }
        }
    }
}

int InotifySource::addWatch(App& app, const std::string& path, std::uint32_t mask) {
    int wd = ::inotify_add_watch(fd_, path.c_str(), mask | IN_MASK_ADD);
    if (wd < 0 && errno == ENOSPC && app.warnedOnce.first(Warning::WatchLimit))
        app.log.WriteLog(0, LogWarning, "MsgForm", "FolderCheckSub",
                         "変更通知の監視数が上限 (fs.inotify.max_user_watches) "
                         "に達したため、監視できないフォルダは毎回走査します: " +
                             path);
    return wd;
}

void InotifySource::own(std::size_t n, int wd, const std::string& item) {
    std::vector<Owner>& o = owners_[wd];
    for (const Owner& x : o)
        if (x.entry == n && x.item == item)
            return;
    o.push_back({n, item});
}

void InotifySource::release(std::size_t n, int wd) {
    auto it = owners_.find(wd);
    if (it == owners_.end())
        return;
    std::vector<Owner>& o = it->second;
    o.erase(std::remove_if(o.begin(), o.end(), [n](const Owner& x) { return x.entry == n; }),
            o.end());
    if (o.empty()) {
        ::inotify_rm_watch(fd_, wd);
        owners_.erase(it);
    }
}

void InotifySource::releaseAll(std::size_t n) {
    Entry& e = entries_[n];
    for (int wd : e.wds)
        release(n, wd);
    if (e.mainWd >= 0)
        release(n, e.mainWd);
    e.wds.clear();
    e.mainWd = -1;
}

void InotifySource::plan(App& app, const std::vector<WatchEntry>& list, ScanRequest& request) {
    request.entries.resize(list.size());
    request.trace = false;
    lastPlanned = list.size();
    lastPartial = 0;
    lastWhy.assign(list.size(), std::nullopt);
    for (Entry& e : entries_)
        e.partial = false;
    if (!open(app)) {
        lastWhy.assign(list.size(), FullScan::NoEvents);
        return;
    }
    request.trace = true;
    drain(app);
    if (mountsChanged())
        wholeAll(FullScan::MountTableChanged);

    const auto now = std::chrono::steady_clock::now();
    fullPending_ = !everFull_ || now - lastFull_ >= fullScanEvery;
    while (entries_.size() > list.size()) {
        releaseAll(entries_.size() - 1);
        entries_.pop_back();
    }
    entries_.resize(list.size());

    lastPlanned = 0;
    for (std::size_t n = 0; n < list.size(); ++n) {
        const WatchEntry& w = list[n];
        Entry& e = entries_[n];
        if (!watchedInThisRun(app.settings, w)) {
            request.entries[n].scan = false; // never scanned in this run
            continue;
        }
        if (!request.entries[n].scan) {
            // Even a look at it could block: it is someone else's.
            releaseAll(n);
            e = Entry{};
            continue;
        }
        // Another folder, mode or record (an edit, a pass that was not
        // committed) than this entry's last scan left: events say nothing.
        if (!e.seen || e.folder != w.CheckFolder || e.mode != w.FileChkMode ||
            !(e.record == w.CheckFiles)) {
            if (!e.whole)
                e.whole = FullScan::EntryChanged;
        } else {
            e.record = w.CheckFiles; // the same record read again: shared from now on
        }
        e.folderEntry = w.isFolder();
        const std::string folder = watchedFolder(w);
        struct stat st {};
        const bool named = ::stat(folder.c_str(), &st) == 0;
        if ((!named || st.st_dev != e.dev || st.st_ino != e.ino) && !e.whole)
            e.whole = FullScan::PathMoved;
        const EntryPlan p =
            planEntry(e.whole, fullPending_, e.folderEntry, e.names.size(), w.CheckFiles.size());
        e.onlyFull = p.onlyDue;
        request.entries[n].scan = p.scan;
        if (!p.scan)
            continue;
        lastWhy[n] = e.whole        ? e.whole
                     : fullPending_ ? std::optional<FullScan>(FullScan::RegularFullScan)
                                    : std::nullopt;
        ++lastPlanned;
        if (p.onlyNames) {
            e.partial = true;
            ++lastPartial;
            request.entries[n].only.emplace(e.names.begin(), e.names.end());
        }
        // Watched before it is read: a change after the read is an event.
        // The folder is looked at before the watch is added, so a folder
        // put in its place meanwhile differs at the next pass.
        e.dev = named ? st.st_dev : 0;
        e.ino = named ? st.st_ino : 0;
        e.local = named && eventsReported(folder);
        e.mountBelow = named && mountBelow(w);
        int wd = e.local ? addWatch(app, folder, kFolderMask) : -1;
        if (e.mainWd >= 0 && e.mainWd != wd)
            release(n, e.mainWd);
        e.mainWd = wd;
        if (wd >= 0)
            own(n, wd, {});
    }
}

void InotifySource::noteMissed(App& app, const Entry& e, const WatchEntry& w) {
    // What the record had before the scan, by path.
    std::unordered_map<std::string_view, std::string_view> before;
    before.reserve(e.record.size());
    for (const CheckFile& f : e.record)
        before.emplace(f.Path(), f.Date());
    std::vector<std::string_view> missed;
    auto reported = [&](std::string_view path) {
        return e.folderEntry && e.names.count(itemOf(w.CheckFolder, std::string(path)));
    };
    auto sameDate = [](std::string_view a, std::string_view b) {
        return a == b || parseRecordDate(a) == parseRecordDate(b);
    };
    for (const CheckFile& f : w.CheckFiles) {
        auto it = before.find(f.Path());
        if (it == before.end() || !sameDate(it->second, f.Date())) {
            if (!reported(f.Path()))
                missed.push_back(f.Path());
        }
        if (it != before.end())
            before.erase(it);
    }
    for (const auto& [path, date] : before)
        if (!reported(path))
            missed.push_back(path);
    for (std::string_view path : missed)
        app.log.WriteLog(0, LogTrace, "MsgForm", "FolderCheckSub",
                         "missed by events: " + text::displayName(path));
}

void InotifySource::scanned(App& app, const std::vector<WatchEntry>& list,
                            const ScanResult& result) {
    if (fd_ < 0)
        return;
    const std::vector<ScanTrace>& traces = result.traces;
    const std::vector<std::string>& updateLists = result.updateLists;
    if (fullPending_) {
        lastFull_ = std::chrono::steady_clock::now();
        everFull_ = true;
        fullPending_ = false;
    }
    for (std::size_t n = 0; n < list.size() && n < entries_.size() && n < traces.size(); ++n) {
        const ScanTrace& t = traces[n];
        if (!t.scanned)
            continue;
        Entry& e = entries_[n];
        const WatchEntry& w = list[n];
        // Scanned whole only because a full scan was due, yet changed
        // beyond what events reported: events missed it.
        if (e.onlyFull && n < updateLists.size() && !updateLists[n].empty())
            noteMissed(app, e, w);
        e.onlyFull = false;
        e.folder = w.CheckFolder;
        e.mode = w.FileChkMode;
        e.record = w.CheckFiles;
        e.seen = true;
        e.names.clear();

        std::optional<FullScan> why = distrust(t, {e.local, e.mainWd >= 0, e.mountBelow});
        std::vector<int> now;
        if (!why) {
            now.reserve(t.folders.size() + t.nested.size());
            auto watch = [&](const std::string& path, std::uint32_t mask) {
                int wd = addWatch(app, path, mask);
                if (wd < 0) {
                    // Removed since the scan saw it (an event is queued for
                    // that), or over the limit: trusted no further.
                    if (!why)
                        why = errno == ENOSPC ? FullScan::WatchLimit : FullScan::WatchGone;
                    return;
                }
                const std::string item = itemOf(w.CheckFolder, path);
                // A folder first watched after the scan read it may have
                // changed in between: its item is looked at once more.
                if (std::find(e.wds.begin(), e.wds.end(), wd) == e.wds.end() && wd != e.mainWd)
                    e.names.insert(item);
                now.push_back(wd);
                own(n, wd, item);
            };
            for (const std::string& f : t.folders)
                watch(f, kFolderMask);
            for (const std::string& f : t.nested)
                watch(f, kNestedMask);
        }
        if (e.partial) {
            // The other items' watches stand; the new ones join them.
            for (int wd : now)
                if (std::find(e.wds.begin(), e.wds.end(), wd) == e.wds.end())
                    e.wds.push_back(wd);
        } else {
            for (int wd : e.wds)
                if (wd != e.mainWd && std::find(now.begin(), now.end(), wd) == now.end())
                    release(n, wd);
            e.wds = std::move(now);
        }
        e.whole = why;
        if (why)
            e.names.clear();
    }
}

} // namespace kestrova
