#include "watch/Scanner.h"

#include "core/App.h"
#include "core/FileIo.h"
#include "core/Text.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <exception>
#include <fcntl.h>
#include <functional>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>

namespace kestrova {

namespace {

constexpr std::int16_t kNotifyDelete = NotifyDelete;
constexpr std::int16_t kNotifyUpdate = NotifyUpdate;
constexpr std::int16_t kNotifyNew = NotifyNew;

// Line breaks made visible, so the log keeps one line per entry; a name
// that is no UTF-8 shown readably.
std::string printable(std::string_view raw) {
    const std::string s = text::displayName(raw);
    std::string out;
    out.reserve(s.size() + 4);
    for (char c : s) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
    return out;
}

// Logs once per run; a lasting condition must not fill the log or raise a
// message box at every pass.
bool firstTime(App& app, Warning kind, const std::string& path) {
    return app.warnedOnce.first(kind, path);
}

// Symbolic links count as what they point to; a dangling (or looping) link
// is a file with its own time.
bool statFollow(int dirFd, const char* name, struct stat& st) {
    if (::fstatat(dirFd, name, &st, 0) == 0)
        return true;
    int err = errno;
    if ((err == ENOENT || err == ELOOP) && ::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(st.st_mode))
        return true;
    errno = err;
    return false;
}

bool missingError(int err) {
    return err == ENOENT || err == ENOTDIR;
}

// Notes in trace what an item found on the entry's device dev is.
void traceItem(ScanTrace* trace, dev_t dev, const struct stat& st) {
    if (!trace)
        return;
    if (st.st_dev != dev)
        trace->otherDevice = true;
    if (!S_ISDIR(st.st_mode) && st.st_nlink > 1)
        trace->manyLinks = true;
}

// Dates found here are on the UTC scale, as records hold instants.

// The latest of a folder's own time and the times of its direct entries.
// A folder that cannot be listed stands for itself (warned once per path).
DateTime folderDate(App& app, const std::string& path, std::time_t own, ScanTrace* trace = nullptr,
                    dev_t dev = 0) {
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        if (missingError(err))
            return 0; // gone since it was looked at
        if (firstTime(app, Warning::FolderUnlistable, path))
            app.log.WriteLog(0, LogWarning, "CommonModule", "GetFileDate",
                             printable(path) + ": " + errnoText(err));
        return utcFromUnix(own);
    }
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        int err = errno;
        ::close(fd);
        if (firstTime(app, Warning::FolderUnlistable, path))
            app.log.WriteLog(0, LogWarning, "CommonModule", "GetFileDate",
                             printable(path) + ": " + errnoText(err));
        return utcFromUnix(own);
    }
    std::time_t latest = own;
    int err = 0;
    for (;;) {
        errno = 0;
        dirent* d = ::readdir(dir);
        if (!d) {
            err = errno;
            break;
        }
        const char* name = d->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
            continue;
        struct stat st {};
        if (!statFollow(::dirfd(dir), name, st))
            continue;
        if (st.st_mtim.tv_sec > latest)
            latest = st.st_mtim.tv_sec;
        if (trace) {
            if (d->d_type == DT_LNK || d->d_type == DT_UNKNOWN)
                trace->links = true;
            traceItem(trace, dev, st);
            if (S_ISDIR(st.st_mode))
                trace->nested.push_back(path + "/" + name);
        }
    }
    ::closedir(dir);
    if (err != 0) {
        if (firstTime(app, Warning::ListingFailed, path))
            app.logError("CommonModule", "GetFileDate", printable(path) + ": " + errnoText(err),
                         true);
        return 0;
    }
    return utcFromUnix(latest);
}

// Date of a path whose stat is known.
DateTime dateOf(App& app, const std::string& path, const struct stat& st,
                ScanTrace* trace = nullptr, dev_t dev = 0) {
    if (S_ISDIR(st.st_mode)) {
        if (trace)
            trace->folders.push_back(path);
        return folderDate(app, path, st.st_mtim.tv_sec, trace, dev);
    }
    return utcFromUnix(st.st_mtim.tv_sec);
}

// Whether path exists (as file, folder or link) and its stat; failures
// other than "not there" are logged once per path and read as absent.
// dirFd and name may name it relative to an open folder, which spares the
// kernel a walk of the whole path for every item.
bool statPath(App& app, const std::string& path, struct stat& st, int dirFd = AT_FDCWD,
              const char* name = nullptr) {
    if (statFollow(dirFd, name ? name : path.c_str(), st))
        return true;
    int err = errno;
    if (!missingError(err) && firstTime(app, Warning::StatFailed, path))
        app.logError("CommonModule", "GetFileDate", printable(path) + ": " + errnoText(err), true);
    return false;
}

// The date of a path, 0 when it does not exist.
DateTime fileDate(App& app, const std::string& path) {
    try {
        struct stat st {};
        if (!statPath(app, path, st))
            return 0;
        return dateOf(app, path, st);
    } catch (const std::exception& ex) {
        app.logError("CommonModule", "GetFileDate", ex.what(), true);
        return 0;
    }
}

// date is local time: lines show the time of the zone they are read in. The
// path is shown readably; the record keeps its bytes.
std::string changeLine(const App& app, const char* label, const std::string& rawPath,
                       DateTime date) {
    const std::string path = text::displayName(rawPath);
    std::string when = formatDateTime(date);
    const std::string& host = app.settings.ComputerName;
    std::string line;
    line.reserve(std::char_traits<char>::length(label) + host.size() + path.size() + when.size() +
                 5);
    line += label;
    line += ' ';
    line += host;
    line += ' ';
    line += path;
    line += ' ';
    line += when;
    line += "\r\n";
    return line;
}

// The item rule with the clock read only when a line needs it.
std::string itemRule(App& app, std::int16_t flags, const std::string& path, DateTime& date,
                     int dirFd, const char* name, ScanTrace* trace, dev_t dev) {
    struct stat st {};
    if (statPath(app, path, st, dirFd, name)) {
        traceItem(trace, dev, st);
        DateTime found = dateOf(app, path, st, trace, dev);
        if (date == 0 && (flags & kNotifyNew)) {
            date = found;
            return changeLine(app, "追加", path, nowDateTime());
        }
        bool changed = found > date + 10 || found < date;
        date = found;
        if ((flags & kNotifyUpdate) && changed)
            return changeLine(app, "更新", path, localFromUtc(found));
        return {};
    }
    bool wasThere = date != 0;
    date = 0;
    if (wasThere && (flags & kNotifyDelete))
        return changeLine(app, "削除", path, nowDateTime());
    return {};
}

std::string updateCheckFileAt(App& app, std::int16_t flags, const std::string& path, DateTime& date,
                              int dirFd, const char* name, ScanTrace* trace = nullptr,
                              dev_t dev = 0) {
    try {
        return itemRule(app, flags, path, date, dirFd, name, trace, dev);
    } catch (const std::exception& ex) {
        app.logError("MsgForm", "UpdateCheckFile", ex.what(), true);
        return {};
    }
}

// A name holding a line break cannot be recorded: left out, warned once
// per run.
bool unstorableName(App& app, const std::string& folder, std::string_view name) {
    if (!text::hasLineBreak(name))
        return false;
    const std::string full = folder + std::string(name);
    if (firstTime(app, Warning::NameUnstorable, full))
        app.log.WriteLog(0, LogWarning, "MsgForm", "FolderCheckSub",
                         "改行を含む名前は記録できないため監視から除外します: " + printable(full));
    return true;
}

// One listed entry of a watched folder.
struct Listed {
    std::string_view name; // points into names
    bool isDir;
};

// Files first, then folders, each in the order readdir gives them. Names
// holding a line break are left out (warned once per run).
bool listFolder(App& app, DIR* dir, const std::string& folder, std::string& names,
                std::vector<Listed>& out, int& err, ScanTrace* trace) {
    std::vector<std::pair<size_t, size_t>> files, folders; // offsets into names
    for (;;) {
        errno = 0;
        dirent* d = ::readdir(dir);
        if (!d) {
            err = errno;
            break;
        }
        const char* name = d->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
            continue;
        std::string_view n(name);
        if (unstorableName(app, folder, n))
            continue;
        bool isDir = false;
        if (trace && (d->d_type == DT_LNK || d->d_type == DT_UNKNOWN))
            trace->links = true;
        if (d->d_type == DT_DIR) {
            isDir = true;
        } else if (d->d_type == DT_LNK || d->d_type == DT_UNKNOWN) {
            struct stat st {};
            isDir = statFollow(::dirfd(dir), name, st) && S_ISDIR(st.st_mode);
        }
        (isDir ? folders : files).emplace_back(names.size(), n.size());
        names.append(n);
    }
    if (err != 0)
        return false;
    out.reserve(files.size() + folders.size());
    std::string_view all(names);
    for (auto [pos, len] : files)
        out.push_back({all.substr(pos, len), false});
    for (auto [pos, len] : folders)
        out.push_back({all.substr(pos, len), true});
    return true;
}

// A recorded date text read back once; a text that does not parse ends the
// pass. older is set for a text without an offset, which is rewritten in the
// current form.
bool parseRecorded(App& app, const CheckFile& item, DateTime& out, bool* older = nullptr) {
    std::optional<DateTime> d = parseRecordDate(item.Date());
    if (!d) {
        app.logError("MsgForm", "FolderCheckSub",
                     "日付を読み取れません: " + printable(item.Path()) + " = " +
                         printable(item.Date()),
                     false);
        return false;
    }
    out = *d;
    if (older && *d != 0 && !hasUtcOffset(item.Date()))
        *older = true;
    return true;
}

// A folder entry's folder, open for listing and for looking at its items.
struct OpenFolder {
    DIR* dir = nullptr;
    dev_t dev = 0; // known when traced
    OpenFolder() = default;
    OpenFolder(const OpenFolder&) = delete;
    OpenFolder& operator=(const OpenFolder&) = delete;
    ~OpenFolder() {
        if (dir)
            ::closedir(dir);
    }
};

enum class Opened { Yes, Keep, Fail };

// A watched path that is not there is said once, and again after it came
// back and went missing anew.
void noteMissing(App& app, const std::string& path, bool missing) {
    if (!missing) {
        app.warnedOnce.forget(Warning::WatchedPathMissing, path);
        return;
    }
    if (firstTime(app, Warning::WatchedPathMissing, path))
        app.log.WriteLog(0, LogWarning, "MsgForm", "FolderCheckSub",
                         "監視するフォルダまたはファイルがありません: " + printable(path));
}

// Keep: the record stays as it is (the folder is missing, or cannot be
// listed, which is warned about once rather than failing every pass).
Opened openFolder(App& app, const std::string& folder, OpenFolder& out, ScanTrace* trace) {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        if (trace)
            trace->unopened = true;
        if (!missingError(err) && firstTime(app, Warning::FolderUnlistable, folder))
            app.log.WriteLog(0, LogWarning, "MsgForm", "FolderCheckSub",
                             printable(folder) + ": " + errnoText(err));
        if (missingError(err))
            noteMissing(app, folder, true);
        return Opened::Keep;
    }
    out.dir = ::fdopendir(fd);
    if (!out.dir) {
        int err = errno;
        ::close(fd);
        app.logError("MsgForm", "FolderCheckSub", printable(folder) + ": " + errnoText(err), false);
        return Opened::Fail;
    }
    if (trace) {
        struct stat own {};
        if (::fstat(fd, &own) == 0)
            out.dev = own.st_dev;
        else
            trace->unopened = true;
    }
    return Opened::Yes;
}

// The item's name when a recorded path lies directly in folder, else "".
std::string_view directName(std::string_view path, const std::string& folder) {
    if (path.size() <= folder.size() || path.compare(0, folder.size(), folder) != 0)
        return {};
    std::string_view name = path.substr(folder.size());
    return name.find('/') == std::string_view::npos ? name : std::string_view{};
}

// Whether a scan changed the record: a date moved, an item is gone (date
// 0, pruned), or an item was found new.
bool recordChanged(const std::vector<DateTime>& dates, const std::vector<DateTime>& before,
                   const std::vector<DateTime>& addedDates) {
    for (size_t k = 0; k < dates.size(); ++k)
        if (dates[k] != before[k] || dates[k] == 0)
            return true;
    for (DateTime d : addedDates)
        if (d != 0)
            return true;
    return false;
}

// The new record: the old one with the dates looked at (those of the items
// at lists, or of every item when at is null), without items now gone
// (date 0), followed by the items found new.
std::vector<CheckFile> rebuilt(const std::vector<CheckFile>& old, const std::vector<size_t>* at,
                               const std::vector<DateTime>& dates,
                               const std::vector<DateTime>& before, std::vector<CheckFile>& added,
                               const std::vector<DateTime>& addedDates) {
    std::vector<CheckFile> kept;
    kept.reserve(old.size() + added.size());
    size_t k = 0; // next position looked at
    for (size_t i = 0; i < old.size(); ++i) {
        if (!at || (k < at->size() && (*at)[k] == i)) {
            const DateTime d = dates[k], b = before[k];
            ++k;
            if (d == 0)
                continue;
            kept.push_back(d != b || !hasUtcOffset(old[i].Date())
                               ? CheckFile{old[i].Path(), formatRecordDate(d)}
                               : old[i]);
            continue;
        }
        kept.push_back(old[i]);
    }
    for (size_t i = 0; i < added.size(); ++i) {
        if (addedDates[i] == 0)
            continue;
        kept.emplace_back(added[i].Path(), formatRecordDate(addedDates[i]));
    }
    return kept;
}

// Names by open addressing over views: no allocation per name, for the
// 100,000 names of a large folder.
class NameIndex {
public:
    explicit NameIndex(size_t count) {
        size_t slots = 16;
        while (slots < count * 2)
            slots *= 2;
        slots_.resize(slots);
    }
    void insert(std::string_view name) { slots_[slotOf(name)] = name; }
    bool contains(std::string_view name) const { return slots_[slotOf(name)].data() != nullptr; }

private:
    size_t slotOf(std::string_view name) const {
        const size_t mask = slots_.size() - 1;
        size_t slot = std::hash<std::string_view>()(name) & mask;
        while (slots_[slot].data() && slots_[slot] != name)
            slot = (slot + 1) & mask;
        return slot;
    }
    std::vector<std::string_view> slots_;
};

// The positions in the record of the items named in only (every copy of a
// name a hand-edited record repeats), their names put in recorded. An item
// outside the folder is noted in trace.
std::vector<size_t> recordPositions(const std::vector<CheckFile>& old, const std::string& folder,
                                    const std::vector<std::string>& only,
                                    std::unordered_set<std::string_view>& recorded,
                                    ScanTrace* trace) {
    const std::unordered_set<std::string_view> wanted(only.begin(), only.end());
    std::vector<size_t> at;
    for (size_t i = 0; i < old.size(); ++i) {
        std::string_view name = directName(old[i].Path(), folder);
        if (name.empty()) {
            if (trace)
                trace->outside = true;
            continue;
        }
        if (!wanted.count(name))
            continue;
        at.push_back(i);
        recorded.insert(name);
    }
    return at;
}

// Scans one folder entry, open: every item of its record and every name
// listed, or, given only, just the items of those names, with the same item
// rule, lines and order (every other item is as its record says; new names
// come in the order a listing gives them). record stays empty when nothing
// in it changed.
bool scanFolder(App& app, const WatchEntry& e, const OpenFolder& open,
                const std::vector<std::string>* only, std::optional<CheckFileList>& record,
                std::string& list, ScanTrace* trace) {
    const std::string& folder = e.CheckFolder;
    const int dirFd = ::dirfd(open.dir);
    const dev_t dev = open.dev;

    // The record is only read here; a new one is built at the end, and only
    // when something in it changed. Given only, at holds the positions of
    // its items in the record (every copy of a name a hand-edited record
    // repeats).
    const std::vector<CheckFile>& old = e.CheckFiles;
    std::vector<size_t> at;
    std::unordered_set<std::string_view> recorded;
    if (only)
        at = recordPositions(old, folder, *only, recorded, trace);
    const size_t looked = only ? at.size() : old.size();
    auto item = [&](size_t k) -> const CheckFile& { return old[only ? at[k] : k]; };
    std::vector<DateTime> dates(looked);
    bool older = false;
    for (size_t k = 0; k < looked; ++k)
        if (!parseRecorded(app, item(k), dates[k], &older))
            return false;
    const std::vector<DateTime> before = dates;

    // Without a listing, links are found by asking each name.
    auto noteLink = [&](const char* name) {
        struct stat st {};
        if (only && trace && ::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISLNK(st.st_mode))
            trace->links = true;
    };
    const auto flags = static_cast<std::int16_t>(e.FileChkMode);
    std::string out;
    std::string p; // one buffer for every item's path
    for (size_t k = 0; k < looked; ++k) {
        p = item(k).Path();
        if (directName(p, folder).empty()) {
            if (trace)
                trace->outside = true;
            out += updateCheckFileAt(app, flags, p, dates[k], AT_FDCWD, nullptr);
            continue;
        }
        const char* name = p.c_str() + folder.size();
        out += updateCheckFileAt(app, flags, p, dates[k], dirFd, name, trace, dev);
        noteLink(name);
    }

    std::vector<CheckFile> added;
    std::vector<DateTime> addedDates;
    // A name found new. One that vanished since its listing is added as
    // gone; one only reported is added when it is there.
    auto addItem = [&](std::string_view name) {
        std::string path;
        path.reserve(folder.size() + name.size());
        path += folder;
        path += name;
        const char* relative = path.c_str() + folder.size();
        DateTime date = 0;
        struct stat st {};
        if (statPath(app, path, st, dirFd, relative)) {
            noteLink(relative);
            traceItem(trace, dev, st);
            date = dateOf(app, path, st, trace, dev);
        } else if (only) {
            return;
        }
        if (e.FileChkMode & NotifyNew)
            out += changeLine(app, "追加", path, localFromUtc(date));
        added.push_back({std::move(path), {}});
        addedDates.push_back(date);
    };
    // The names to look for: every listed one not in the record, or the
    // reported ones not in it (a single one needs no listing).
    std::vector<std::string_view> fresh;
    if (only) {
        for (const std::string& n : *only) {
            if (!recorded.insert(n).second) // in the record, or named twice
                continue;
            if (unstorableName(app, folder, n))
                continue;
            fresh.push_back(n);
        }
        if (fresh.size() == 1)
            addItem(fresh[0]);
    }
    if (!only || fresh.size() > 1) {
        // The listing and the index are gone before the new record is built.
        std::string names;
        std::vector<Listed> listed;
        int err = 0;
        if (!listFolder(app, open.dir, folder, names, listed, err, only ? nullptr : trace)) {
            app.logError("MsgForm", "FolderCheckSub", printable(folder) + ": " + errnoText(err),
                         false);
            return false;
        }
        // Given only, the fresh names are looked for; else those the record
        // does not hold below this folder. Listed names are unique, so items
        // added below never need to be found again.
        NameIndex index(only ? fresh.size() : old.size());
        if (only) {
            for (std::string_view n : fresh)
                index.insert(n);
        } else {
            for (const CheckFile& f : old) {
                std::string_view p(f.Path());
                if (p.size() > folder.size() && p.compare(0, folder.size(), folder) == 0)
                    index.insert(p.substr(folder.size()));
            }
        }
        for (const Listed& l : listed)
            if (index.contains(l.name) == (only != nullptr))
                addItem(l.name);
    }

    if (older || recordChanged(dates, before, addedDates))
        record = rebuilt(old, only ? &at : nullptr, dates, before, added, addedDates);
    list = std::move(out);
    return true;
}

} // namespace

DateTime GetFileDate(App& app, const std::string& path) {
    return localFromUtc(fileDate(app, path));
}

std::string recordDateOf(App& app, const std::string& path) {
    return formatRecordDate(fileDate(app, path));
}

std::string UpdateCheckFile(App& app, std::int16_t flags, const std::string& path, DateTime& date) {
    DateTime utc = utcFromLocal(date);
    std::string line = updateCheckFileAt(app, flags, path, utc, AT_FDCWD, nullptr);
    date = localFromUtc(utc);
    return line;
}

bool scanWatchList(App& app, std::vector<std::string>& updateLists) {
    return scanWatchList(app, app.watchList, updateLists);
}

bool scanWatchList(App& app, std::vector<WatchEntry>& list, std::vector<std::string>& updateLists) {
    ScanResult result;
    const bool ok = scanWatchList(app, list, ScanRequest{}, result);
    updateLists = std::move(result.updateLists);
    return ok;
}

bool scanWatchList(App& app, std::vector<WatchEntry>& list, const ScanRequest& request,
                   ScanResult& result) {
    const size_t count = list.size();
    result.updateLists.assign(count, std::string());
    result.replaced.clear();
    result.traces.assign(request.trace ? count : 0, ScanTrace{});
    try {
        // New records are held apart until every entry is scanned, so a
        // failed pass leaves memory as it was read.
        std::vector<std::optional<CheckFileList>> records(count);
        for (size_t n = 0; n < count; ++n) {
            const WatchEntry& e = list[n];
            if (!watchedInThisRun(app.settings, e))
                continue;
            const EntryScan* how = n < request.entries.size() ? &request.entries[n] : nullptr;
            if (how && !how->scan)
                continue;
            ScanTrace* trace = request.trace ? &result.traces[n] : nullptr;
            if (trace)
                trace->scanned = true;
            std::string& updates = result.updateLists[n];
            if (e.isFolder()) {
                // A missing folder (or one that cannot be listed) keeps its
                // record.
                OpenFolder open;
                const Opened opened = openFolder(app, e.CheckFolder, open, trace);
                if (opened == Opened::Fail)
                    return false;
                if (opened == Opened::Keep)
                    continue;
                noteMissing(app, e.CheckFolder, false);
                const std::vector<std::string>* only = how && how->only ? &*how->only : nullptr;
                if (!scanFolder(app, e, open, only, records[n], updates, trace))
                    return false;
                continue;
            }
            if (trace) {
                // A file entry is watched through its folder, which reports
                // changes to the file itself only.
                struct stat st {};
                if (::lstat(e.CheckFolder.c_str(), &st) == 0) {
                    if (S_ISLNK(st.st_mode))
                        trace->links = true;
                    if (S_ISDIR(st.st_mode))
                        trace->kindMismatch = true;
                    if (st.st_nlink > 1)
                        trace->manyLinks = true;
                }
                if (e.CheckFiles.size() != 1 || e.CheckFiles[0].Path() != e.CheckFolder)
                    trace->outside = true;
            }
            if (e.CheckFiles.empty()) {
                // Written by hand without its record: it gets, silently, the
                // record that adding it gives, and is checked from now on.
                records[n] = CheckFileList{{e.CheckFolder, recordDateOf(app, e.CheckFolder)}};
                continue;
            }
            DateTime date = 0;
            bool older = false;
            if (!parseRecorded(app, e.CheckFiles[0], date, &older))
                return false;
            DateTime old = date;
            const std::string path(e.CheckFiles[0].Path());
            updates = UpdateCheckFile(app, static_cast<std::int16_t>(e.FileChkMode), path, date);
            noteMissing(app, path, date == 0);
            if (date != old || (older && date != 0)) {
                CheckFileList::Builder record(e.CheckFiles);
                record.setDate(0, formatRecordDate(date));
                records[n] = record.build();
            }
        }
        result.replaced.assign(count, std::nullopt);
        for (size_t n = 0; n < count; ++n) {
            if (!records[n])
                continue;
            result.replaced[n] = std::move(list[n].CheckFiles);
            list[n].CheckFiles = std::move(*records[n]);
        }
        return true;
    } catch (const std::exception& ex) {
        app.logError("MsgForm", "FolderCheckSub", ex.what(), false);
        return false;
    }
}

} // namespace kestrova
