#include "watch/CheckCycle.h"

#include "core/App.h"
#include "core/FileIo.h"
#include "core/FolderLock.h"
#include "core/NamedLock.h"
#include "core/Numeric.h"
#include "notify/Archiver.h"
#include "notify/MailBody.h"
#include "watch/EventWatcher.h"
#include "watch/Scanner.h"

#include <cerrno>
#include <dirent.h>
#include <exception>
#include <fcntl.h>
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
        if (!S_ISDIR(st.st_mode) && app.warnedOnce.insert("temp:" + temp).second)
            app.log.WriteLog(0, LogWarning, "MsgForm", "FolderCheckSub",
                             temp + ": フォルダではありません");
        return;
    }
    if (::mkdir(temp.c_str(), 0700) != 0 && errno != EEXIST) {
        int err = errno;
        if (app.warnedOnce.insert("temp:" + temp).second)
            app.log.WriteLog(0, LogWarning, "MsgForm", "FolderCheckSub",
                             temp + ": " + errnoText(err));
        return;
    }
    if (app.warnedOnce.insert("temp:" + temp).second)
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

void CheckCycle::setWatching(bool on) {
    if (on) {
        LastCheckTime = now();
        FolderCheckTimer.start();
    } else {
        FolderCheckTimer.stop();
    }
}

void CheckCycle::FolderCheckTimer_Timer() {
    NamedLock lock;
    FolderLock folderLock;
    bool checkingSet = false;
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

        std::string error;
        if (!lock.tryAcquire(kLockName, error)) {
            if (!error.empty()) {
                // The lock file itself is unusable: no pass can be made
                // safely. Said once; retried at the idle pace.
                if (app_.warnedOnce.insert("lock:" + error).second)
                    app_.logError("MsgForm", "FolderCheckTimer_Timer", error,
                                  app_.settings.Interactive);
                setInterval(FolderCheckTimer, kIdleInterval);
                return;
            }
            // Another pass (here or in another process) runs: poll faster
            // and try again without touching LastCheckTime.
            setInterval(FolderCheckTimer, kBusyInterval);
            return;
        }
        // Runs on this program folder in another environment count too.
        const bool ours = folderLock.tryAcquire(parentFolder(s.SettingsFile), error);
        if (!error.empty() && app_.warnedOnce.insert("lock:" + error).second)
            app_.log.WriteLog(0, LogWarning, "MsgForm", "FolderCheckTimer_Timer", error);
        if (!ours) {
            setInterval(FolderCheckTimer, kBusyInterval);
            return;
        }
        LastCheckTime = now();
        setInterval(FolderCheckTimer, kIdleInterval);
        if (!Checking) {
            Checking = true;
            checkingSet = true;
            FolderCheckSub();
            Checking = false;
            checkingSet = false;
            LastCheckTime = now();
            setInterval(FolderCheckTimer, kIdleInterval);
        }
    } catch (const std::exception& ex) {
        if (checkingSet)
            Checking = false;
        app_.logError("MsgForm", "FolderCheckTimer_Timer", ex.what(), app_.settings.Interactive);
    }
    // The lock goes with the handle at the end of the tick.
}

void CheckCycle::FolderCheckSub() {
    try {
        ensureTempFolder(app_);
        // The pass works on its own copy from reload to commit: library
        // calls pump events, and a window may reload or rewrite the files
        // and app_.watchList meanwhile.
        PassSnapshot snap;
        snap.settings = app_.settings;
        if (!ReadIni(app_, snap.settings, snap.list, &snap.identities))
            throw std::runtime_error("");
        std::vector<std::string> lists;
        if (snap.settings.ScanMode == "poll") {
            events.reset();
            if (!scanWatchList(app_, snap.list, lists, &snap.previous))
                throw std::runtime_error("");
        } else {
            if (!events)
                events = std::make_unique<EventWatcher>();
            std::vector<ScanHint> hints;
            const std::vector<bool> due = events->plan(app_, snap.list, &hints);
            std::vector<ScanTrace> traces;
            if (!scanWatchList(app_, snap.list, lists, &snap.previous, &due, &traces, &hints))
                throw std::runtime_error("");
            events->scanned(app_, snap.list, traces, lists);
        }

        const AppSettings& settings = snap.settings;
        const std::vector<WatchEntry>& watchList = snap.list;
        PassState pass;
        pass.settings = &settings;
        bool MailPending = false;
        bool MailSent = false;
        for (size_t c = 0; c < lists.size() && c < watchList.size(); ++c) {
            const WatchEntry& entry = watchList[c];
            std::string list = std::move(lists[c]);
            lists[c].clear();
            const std::int32_t mode = entry.FileChkMode;
            const bool toMail = entry.mailsTo();

            if (!(mode & (BodyFromFile | AttachFiles))) {
                for (size_t j = c + 1; j < lists.size() && j < watchList.size(); ++j) {
                    const WatchEntry& other = watchList[j];
                    if (other.SendMailTo == entry.SendMailTo && !lists[j].empty() &&
                        !(other.FileChkMode & (BodyFromFile | AttachFiles))) {
                        list += lists[j];
                        lists[j].clear();
                    }
                }
                if (list.empty())
                    continue;
                if (toMail)
                    MailPending = true;
                if (SendFileUpdMsg(app_, pass, entry.SendMailTo, notificationText(settings, list),
                                   "") &&
                    toMail)
                    MailSent = true;
                continue;
            }
            if (list.empty())
                continue;
            if (toMail)
                MailPending = true;
            // Let whatever is writing the watched file finish first.
            My_Sleep(kSettleMs);
            std::string attachment;
            if (mode & AttachFiles) {
                // Only a regular file can be sent or archived: a named pipe
                // or a device goes as no attachment (warned once).
                if (!entry.isFolder() &&
                    regularFileOrWarn(app_, entry.CheckFolder, "FolderCheckSub"))
                    attachment = (mode & LhaArchive) ? GetLhaFile(app_, entry.CheckFolder, false)
                                                     : entry.CheckFolder;
                else if (entry.isFolder() && isFolder(entry.CheckFolder))
                    attachment =
                        GetLhaFile(app_, entry.CheckFolder, (mode & IncludeSubfolders) != 0);
            }
            std::string body =
                GetMailMessage(app_, entry.CheckFolder, int32Value(entry.MailBdLines));
            std::string text =
                (mode & BodyFromFile) && !body.empty() ? body : notificationText(settings, list);
            if (SendFileUpdMsg(app_, pass, entry.SendMailTo, text, attachment) && toMail)
                MailSent = true;
        }

        // Nothing mailed although mail was due: forget the new records so
        // the same changes are found and sent at the next pass.
        if (MailPending && !MailSent)
            ReadIni(app_);
        else
            commitPass(snap);
        emptyTempFolder(app_);
    } catch (const std::exception& ex) {
        // Reload and scan failures are logged where they happen.
        if (*ex.what())
            app_.logError("MsgForm", "FolderCheckSub", ex.what(), false);
    }
    emit passFinished();
}

void CheckCycle::commitPass(PassSnapshot& snap) {
    if (fileIdentity(snap.settings.SettingsFile) == snap.identities.first &&
        fileIdentity(snap.settings.WatchListFile) == snap.identities.second) {
        // Nobody wrote the files during the pass: its copy is what is stored.
        snap.previous.clear(); // the records it replaced are not needed
        app_.settings = std::move(snap.settings);
        app_.watchList = std::move(snap.list);
        WriteIni(app_);
        return;
    }
    // The files were edited meanwhile. The edit stands; the pass's new
    // records go to the entries that still hold the record the pass
    // started from, so what was notified is not notified again and a
    // removed or re-added entry keeps what the edit gave it.
    AppSettings stored = app_.settings;
    std::vector<WatchEntry> edited;
    if (!ReadIni(app_, stored, edited))
        return; // logged; the files stay as the edit left them
    std::vector<bool> taken(snap.list.size(), false);
    for (WatchEntry& e : edited) {
        for (size_t j = 0; j < snap.list.size(); ++j) {
            if (taken[j] || snap.list[j].CheckFolder != e.CheckFolder)
                continue;
            const CheckFileList& started = j < snap.previous.size() && snap.previous[j]
                                               ? *snap.previous[j]
                                               : snap.list[j].CheckFiles;
            if (started != e.CheckFiles)
                continue;
            taken[j] = true;
            e.CheckFiles = std::move(snap.list[j].CheckFiles);
            break;
        }
    }
    app_.settings = std::move(stored);
    app_.watchList = std::move(edited);
    WriteIni(app_);
}

} // namespace kestrova
