#include "cycle/CheckCycle.h"

#include "core/App.h"
#include "core/FileIo.h"
#include "core/FolderLock.h"
#include "core/NamedLock.h"
#include "core/Numeric.h"
#include "core/Text.h"
#include "core/UnixSignals.h"
#include "notify/Archiver.h"
#include "notify/MailBody.h"
#include "watch/ChangeSource.h"
#include "watch/InotifySource.h"
#include "watch/MountTable.h"
#include "watch/ScanHelper.h"
#include "watch/Scanner.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <exception>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrova {

namespace {

constexpr const char* kLockName = "Kestrova3333";
constexpr int kIdleInterval = 1000;
constexpr int kBusyInterval = 300;
constexpr DateTime kCheckSecReread = 60;
constexpr int kSettleMs = 3000;

void setInterval(QTimer& timer, int ms) {
    // Setting the same interval again would restart the timer.
    if (timer.interval() != ms)
        timer.setInterval(ms);
}

std::string notificationText(const AppSettings& s, const std::string& list) {
    if (!s.MailFListAdd)
        return s.MailMsg;
    return s.MailMsg + "\r\n＜更新一覧＞\r\n" + list;
}

// A setting's number as a 32-bit integer, saturated rather than wrapped.
std::int32_t int32Value(const std::string& text) {
    double v = numericValue(text);
    if (v >= 2147483647.0)
        return 2147483647;
    if (v <= -2147483648.0)
        return -2147483647 - 1;
    return static_cast<std::int32_t>(v);
}

bool isFolder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The Temp folder holds this pass's archives. A folder removed while the
// program runs is made again; one replaced by a file is left to the user
// (archives then fail and mails go without them). Either is logged once.
void ensureTempFolder(App& app) {
    const std::string& temp = app.settings.TempFolder;
    if (temp.empty())
        return;
    struct stat st {};
    if (::stat(temp.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode) && app.warnedOnce.first(Warning::TempFolder, temp))
            app.log.WriteLog(0, LogWarning, "MsgForm", "FolderCheckSub",
                             temp + ": フォルダではありません");
        return;
    }
    if (::mkdir(temp.c_str(), 0700) != 0 && errno != EEXIST) {
        int err = errno;
        if (app.warnedOnce.first(Warning::TempFolder, temp))
            app.log.WriteLog(0, LogWarning, "MsgForm", "FolderCheckSub",
                             temp + ": " + errnoText(err));
        return;
    }
    if (app.warnedOnce.first(Warning::TempFolder, temp))
        app.log.WriteLog(0, LogWarning, "MsgForm", "FolderCheckSub",
                         temp + ": フォルダがないため作り直しました");
}

// Deletes every file directly in the Temp folder; subfolders stay.
void emptyTempFolder(App& app) {
    const std::string& temp = app.settings.TempFolder;
    if (temp.empty())
        return;
    int fd = ::open(temp.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return; // missing or not a folder: nothing of ours to delete
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return;
    }
    std::string failure;
    while (dirent* d = ::readdir(dir)) {
        const char* name = d->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
            continue;
        struct stat st {};
        if (::fstatat(::dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(st.st_mode))
            continue;
        if (::unlinkat(::dirfd(dir), name, 0) != 0 && errno != ENOENT && failure.empty())
            failure = temp + "/" + name + ": " + errnoText(errno);
    }
    ::closedir(dir);
    if (!failure.empty())
        app.logError("MsgForm", "FolderCheckSub", failure, false);
}

} // namespace

CheckCycle::CheckCycle(App& app, QObject* parent) : QObject(parent), app_(app) {
    FolderCheckTimer.setInterval(kIdleInterval);
    LastCheckTime = app_.settings.Interactive ? now() : 0;
    connect(&FolderCheckTimer, &QTimer::timeout, this, &CheckCycle::FolderCheckTimer_Timer);
}

CheckCycle::~CheckCycle() = default;

InotifySource* CheckCycle::events() const {
    return dynamic_cast<InotifySource*>(source.get());
}

DateTime CheckCycle::now() const {
    return app_.clock->now();
}

void CheckCycle::setWatching(bool on) {
    if (on) {
        LastCheckTime = now();
        FolderCheckTimer.start();
    } else {
        FolderCheckTimer.stop();
    }
}

bool CheckCycle::tryPass() {
    NamedLock lock;
    std::string error;
    if (!lock.tryAcquire(kLockName, error)) {
        if (error.empty())
            return false; // held by another pass
        // The lock file itself is unusable: no pass can be made safely.
        // Said once; retried at the idle pace.
        lastPass = Outcome{};
        if (app_.warnedOnce.first(Warning::PassLock, error))
            app_.logError("MsgForm", "FolderCheckTimer_Timer", error, app_.settings.Interactive);
        return true;
    }
    // Runs on this program folder in another environment count too.
    FolderLock folderLock;
    error.clear();
    const bool ours = folderLock.tryAcquire(parentFolder(app_.settings.SettingsFile), error);
    if (!error.empty() && app_.warnedOnce.first(Warning::PassLock, error))
        app_.log.WriteLog(0, LogWarning, "MsgForm", "FolderCheckTimer_Timer", error);
    if (!ours)
        return false;
    LastCheckTime = now();
    Checking = true;
    try {
        FolderCheckSub();
    } catch (...) {
        Checking = false;
        throw;
    }
    Checking = false;
    return true;
    // The lock goes with the handle.
}

void CheckCycle::FolderCheckTimer_Timer() {
    try {
        AppSettings& s = app_.settings;
        const DateTime t = now();
        // The scale is local time: when the clock goes back (end of summer
        // time, a corrected clock) the wait restarts instead of lasting
        // until the old time comes round again.
        if (t < LastCheckTime)
            LastCheckTime = t;
        if (t < LastCheckSecRead)
            LastCheckSecRead = t;
        if (static_cast<double>(t - LastCheckTime) < numericValue(s.CheckSec)) {
            if (!s.Interactive && t - LastCheckSecRead >= kCheckSecReread) {
                double sec =
                    numericValue(GetIniValue(app_, kInitSetting, "CheckSec", "", s.SettingsFile));
                // Zero or less would start a pass at every tick.
                s.CheckSec = sec > 0 ? numberText(sec) : "10";
                LastCheckSecRead = now();
            }
            return;
        }

        // Another pass (here, inside a wait of this one, or in another
        // process) runs: poll faster and try again without touching
        // LastCheckTime.
        if (Checking || !tryPass()) {
            setInterval(FolderCheckTimer, kBusyInterval);
            return;
        }
        LastCheckTime = now();
        setInterval(FolderCheckTimer, kIdleInterval);
    } catch (const std::exception& ex) {
        app_.logError("MsgForm", "FolderCheckTimer_Timer", ex.what(), app_.settings.Interactive);
    }
}

std::string CheckCycle::stageFolder() const {
    return app_.settings.TempFolder + "/stage";
}

std::vector<std::string> CheckCycle::scanPass(PassSnapshot& snap) {
    // Entries on file systems that may stop answering are scanned by
    // helper processes, so one such file system holds up nothing else.
    mounts_.refresh();
    const MountTable& mounts = mounts_;
    snap.away.assign(snap.list.size(), std::string());
    std::vector<HelperScans::Job> away;
    if (!app_.scanHelperProgram.empty()) {
        for (size_t n = 0; n < snap.list.size(); ++n) {
            std::string& point = snap.away[n];
            if (!mounts.mayHang(snap.list[n].CheckFolder, &point))
                continue;
            if (watchedInThisRun(snap.settings, snap.list[n]))
                away.push_back({n, point});
        }
    }
    snap.limit = std::chrono::milliseconds(
        static_cast<std::int64_t>(1000 * std::max(numericValue(snap.settings.FsTimeoutSec),
                                                  3 * numericValue(snap.settings.CheckSec))));
    const bool polls = pollsOnly(snap.settings.ScanMode);
    if (!source || sourcePolls_ != polls) {
        source = makeChangeSource(snap.settings.ScanMode);
        sourcePolls_ = polls;
    }
    ScanRequest request;
    request.entries.resize(snap.list.size());
    for (size_t n = 0; n < snap.list.size(); ++n)
        request.entries[n].scan = snap.away[n].empty();
    source->plan(app_, snap.list, request);
    ScanResult scan;
    if (!scanWatchList(app_, snap.list, request, scan))
        throw std::runtime_error("");
    source->scanned(app_, snap.list, scan);
    std::vector<std::string> lists = std::move(scan.updateLists);
    snap.previous = std::move(scan.replaced);
    snap.previous.resize(snap.list.size());
    if (!away.empty()) {
        if (!helpers_)
            helpers_ = std::make_unique<HelperScans>(app_.scanHelperProgram);
        // A stop while waiting ends the pass as any stop does: nothing
        // new goes out below.
        helpers_->scan(app_, snap.list, away, lists, snap.previous, snap.limit);
        lastPass.unanswered = helpers_->leftOut;
    }
    return lists;
}

std::optional<std::string> CheckCycle::readableSource(const PassSnapshot& snap, size_t n) {
    const WatchEntry& entry = snap.list[n];
    const std::string& point = snap.away[n];
    if (point.empty() || !helpers_)
        return entry.CheckFolder;
    // On a file system that may stop answering, the file (or the folder to
    // archive) is read through a copy its helper makes.
    if (entry.isFolder() && !(entry.FileChkMode & AttachFiles))
        return std::string();
    std::error_code ignored;
    std::filesystem::remove_all(stageFolder(), ignored);
    if (::mkdir(stageFolder().c_str(), 0700) != 0 && errno != EEXIST)
        return std::string();
    return helpers_->stage(app_, point, entry.CheckFolder,
                           (entry.FileChkMode & IncludeSubfolders) != 0, stageFolder(), snap.limit);
}

std::string CheckCycle::attachmentOf(const WatchEntry& entry, const std::string& source) {
    const std::int32_t mode = entry.FileChkMode;
    if (!(mode & AttachFiles) || source.empty())
        return "";
    // Only a regular file can be sent or archived: a named pipe or a device
    // goes as no attachment (warned once).
    if (!entry.isFolder() && regularFileOrWarn(app_, source, "FolderCheckSub"))
        return (mode & LhaArchive) ? GetLhaFile(app_, source, false) : source;
    if (entry.isFolder() && isFolder(source))
        return GetLhaFile(app_, source, (mode & IncludeSubfolders) != 0);
    return "";
}

void CheckCycle::FolderCheckSub() {
    lastPass = Outcome{};
    try {
        ensureTempFolder(app_);
        // The pass works on its own copy from reload to commit: library
        // calls pump events, and a window may reload or rewrite the files
        // and app_.watchList meanwhile.
        PassSnapshot snap;
        snap.settings = app_.settings;
        if (!ReadIni(app_, snap.settings, snap.list, &snap.identities))
            throw std::runtime_error("");
        // What was delivered but could not be written counts as recorded.
        takeUpPendingAside();
        applyPending(snap.list);
        std::vector<std::string> lists = scanPass(snap);

        const AppSettings& settings = snap.settings;
        const std::vector<WatchEntry>& watchList = snap.list;
        const size_t count = std::min(lists.size(), watchList.size());
        PassState pass;
        pass.settings = &settings;
        pass.deferPause = true;
        std::vector<bool> done(snap.list.size(), false); // committed, or kept as it was
        bool committed = false;
        // An entry whose notification did not go out keeps the record it
        // started from, so its changes are found and notified again.
        auto keepOld = [&](const std::vector<size_t>& group) {
            for (size_t j : group) {
                if (snap.previous[j]) {
                    snap.list[j].CheckFiles = std::move(*snap.previous[j]);
                    snap.previous[j].reset();
                }
                done[j] = true;
            }
        };
        // Delivered: the group's records are written before anything else
        // is sent, so a stop or a crash cannot send them again.
        auto deliver = [&](const std::vector<size_t>& group, bool ok) {
            if (!ok) {
                ++lastPass.failed;
                keepOld(group);
                return;
            }
            ++lastPass.delivered;
            commitEntries(snap, group);
            committed = true;
            for (size_t j : group)
                done[j] = true;
            app_.clock->sleepFor(pass.pauseMs);
            pass.pauseMs = 0;
        };
        for (size_t c = 0; c < count; ++c) {
            const WatchEntry& entry = watchList[c];
            std::string list = std::move(lists[c]);
            lists[c].clear();
            const std::int32_t mode = entry.FileChkMode;
            std::vector<size_t> group{c};

            if (!(mode & (BodyFromFile | AttachFiles))) {
                for (size_t j = c + 1; j < count; ++j) {
                    const WatchEntry& other = watchList[j];
                    if (other.SendMailTo == entry.SendMailTo && !lists[j].empty() &&
                        !(other.FileChkMode & (BodyFromFile | AttachFiles))) {
                        list += lists[j];
                        lists[j].clear();
                        group.push_back(j);
                    }
                }
                if (list.empty())
                    continue;
                // Stopping: nothing new goes out; it is found again later.
                if (terminationRequested()) {
                    keepOld(group);
                    continue;
                }
                deliver(group, SendFileUpdMsg(app_, pass, entry.SendMailTo,
                                              notificationText(settings, list), ""));
                continue;
            }
            if (list.empty())
                continue;
            if (terminationRequested()) {
                keepOld(group);
                continue;
            }
            // Let whatever is writing the watched file finish first.
            app_.clock->sleepFor(kSettleMs);
            const std::optional<std::string> source = readableSource(snap, c);
            if (!source) {
                ++lastPass.unanswered;
                keepOld(group); // not answering: tried at a later pass
                continue;
            }
            const std::string attachment = attachmentOf(entry, *source);
            std::string body = source->empty()
                                   ? std::string()
                                   : GetMailMessage(app_, *source, int32Value(entry.MailBdLines));
            std::string text =
                (mode & BodyFromFile) && !body.empty() ? body : notificationText(settings, list);
            deliver(group, SendFileUpdMsg(app_, pass, entry.SendMailTo, text, attachment));
            if (*source != entry.CheckFolder) {
                std::error_code ignored;
                std::filesystem::remove_all(stageFolder(), ignored);
            }
        }

        // Records that changed without anything to notify (a new item
        // nobody asked about, a time within ten seconds) are kept too. A
        // pass with nothing new leaves the watch list as it is.
        std::vector<size_t> rest;
        for (size_t j = 0; j < snap.list.size(); ++j)
            if (!done[j] && snap.previous[j])
                rest.push_back(j);
        if (!rest.empty() || !pending_.empty()) {
            commitEntries(snap, rest);
            committed = true;
        }
        // Settings read with their defaults filled in are stored so, unless
        // a window wrote the file meanwhile.
        // Nothing delivered: memory is what the files say, as before the
        // pass (the windows show it).
        if (!committed && lastPass.failed > 0)
            ReadIni(app_);
        if (!committed && fileIdentity(snap.settings.SettingsFile) == snap.identities.first) {
            std::string ignored; // only tidying: tried again at the next pass
            WriteSettings(app_, snap.settings, &ignored);
        }
        emptyTempFolder(app_);
        lastPass.completed = true;
    } catch (const std::exception& ex) {
        // Reload and scan failures are logged where they happen.
        if (*ex.what())
            app_.logError("MsgForm", "FolderCheckSub", ex.what(), false);
    }
    emit passFinished();
}

bool CheckCycle::applyPending(std::vector<WatchEntry>& list) const {
    bool any = false;
    std::vector<bool> taken(list.size(), false);
    for (const PendingRecord& p : pending_) {
        for (size_t k = 0; k < list.size(); ++k) {
            if (taken[k] || list[k].CheckFolder != p.folder || !(list[k].CheckFiles == p.before))
                continue;
            taken[k] = true;
            list[k].CheckFiles = p.after;
            any = true;
            break;
        }
    }
    return any;
}

void CheckCycle::commitEntries(PassSnapshot& snap, const std::vector<size_t>& which) {
    // The files as they are now: unchanged since this pass read them, or as
    // an edit (a window, a command) left them.
    AppSettings stored = app_.settings;
    std::vector<WatchEntry> onDisk;
    if (!ReadIni(app_, stored, onDisk)) {
        // Unreadable now: what was delivered waits in memory.
        for (size_t j : which)
            if (snap.previous[j])
                pending_.push_back(
                    {snap.list[j].CheckFolder, *snap.previous[j], snap.list[j].CheckFiles});
        return;
    }
    std::vector<WatchEntry> list = onDisk;
    applyPending(list);
    std::vector<bool> taken(list.size(), false);
    for (size_t j : which) {
        if (!snap.previous[j])
            continue; // its record did not change
        const CheckFileList& started = *snap.previous[j];
        for (size_t k = 0; k < list.size(); ++k) {
            if (taken[k] || list[k].CheckFolder != snap.list[j].CheckFolder ||
                !(list[k].CheckFiles == started))
                continue;
            taken[k] = true;
            list[k].CheckFiles = snap.list[j].CheckFiles;
            break;
        }
        // Written (or pending): later commits start from the new record.
        snap.previous[j] = snap.list[j].CheckFiles;
    }
    bool changed = list.size() != onDisk.size();
    for (size_t k = 0; !changed && k < list.size(); ++k)
        changed = !list[k].CheckFiles.sharedWith(onDisk[k].CheckFiles) &&
                  !(list[k].CheckFiles == onDisk[k].CheckFiles);
    if (!changed) {
        pending_.clear();
        keepPendingAside();
        noteWrite(true, stored.WatchListFile, "");
        return;
    }
    std::string failure;
    const bool ok = WriteIni(app_, stored, list, &failure);
    if (ok) {
        pending_.clear();
        keepPendingAside();
        app_.settings = std::move(stored);
        app_.watchList = std::move(list);
    } else {
        // The file stays as it was; the delivered records stand for it in
        // memory until a write succeeds.
        pending_.clear();
        for (size_t k = 0; k < list.size() && k < onDisk.size(); ++k)
            if (!(list[k].CheckFiles == onDisk[k].CheckFiles))
                pending_.push_back({list[k].CheckFolder, onDisk[k].CheckFiles, list[k].CheckFiles});
        keepPendingAside();
    }
    noteWrite(ok, stored.WatchListFile, failure);
}

std::string CheckCycle::pendingFile() const {
    const std::string folder = parentFolder(NamedLock::lockPath(kLockName));
    const std::size_t key = std::hash<std::string>{}(app_.settings.WatchListFile);
    char name[64];
    std::snprintf(name, sizeof name, "/kestrova-%016zx.pending", key);
    return folder + name;
}

void CheckCycle::keepPendingAside() {
    const std::string file = pendingFile();
    if (pending_.empty()) {
        ::unlink(file.c_str());
        return;
    }
    // Entry 2k is what the file holds, 2k + 1 what was delivered.
    std::vector<WatchEntry> pairs;
    for (const PendingRecord& p : pending_) {
        WatchEntry before, after;
        before.CheckFolder = after.CheckFolder = p.folder;
        before.CheckFiles = p.before;
        after.CheckFiles = p.after;
        pairs.push_back(std::move(before));
        pairs.push_back(std::move(after));
    }
    std::string error;
    if (!writeFileAtomic(file, text::encodeFile(watchListText(pairs), true), 0600, error) &&
        app_.warnedOnce.first(Warning::PendingRecords, error))
        app_.log.WriteLog(0, LogWarning, "MsgForm", "FolderCheckSub", error);
}

void CheckCycle::takeUpPendingAside() {
    if (!pending_.empty())
        return; // this run holds them itself
    const std::string file = pendingFile();
    std::vector<WatchEntry> pairs;
    std::string error;
    if (!readWatchListFile(file, pairs, error) || pairs.empty())
        return;
    for (size_t k = 0; k + 1 < pairs.size(); k += 2)
        pending_.push_back({pairs[k].CheckFolder, pairs[k].CheckFiles, pairs[k + 1].CheckFiles});
}

void CheckCycle::noteWrite(bool ok, const std::string& file, const std::string& failure) {
    if (ok) {
        if (writeFailing_)
            app_.log.WriteLog(0, LogWarning, "MsgForm", "FolderCheckSub",
                              file + ": 書き込めるようになり、通知済みの記録を保存しました。");
        writeFailing_ = false;
        return;
    }
    if (writeFailing_)
        return;
    writeFailing_ = true;
    app_.logError("MsgForm", "FolderCheckSub",
                  failure +
                      " (通知済みの記録はメモリに保ち、書き込めるまで確認のたびに書き込みをやり"
                      "直します。同じ変更を再び通知することはありません。)",
                  false);
}

void CheckCycle::flushPending() {
    if (pending_.empty())
        return;
    PassSnapshot none;
    commitEntries(none, {});
}

} // namespace kestrova
