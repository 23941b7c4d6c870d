// The check cycle: a timer that starts a pass when CheckSec seconds have
// passed, one pass at a time within the process (Checking) and across
// processes (the named lock "Kestrova3333").
#pragma once

#include "core/DateTime.h"
#include "core/FileIo.h"
#include "core/Settings.h"
#include "notify/Notifier.h"
#include "watch/MountTable.h"

#include <QObject>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace kestrova {

struct App;
class ChangeSource;
class InotifySource;
class HelperScans;

class CheckCycle : public QObject {
    Q_OBJECT
public:
    explicit CheckCycle(App& app, QObject* parent = nullptr);
    ~CheckCycle() override;

    // The watch switch of the main window: on sets LastCheckTime to now and
    // starts the timer; off stops it.
    void setWatching(bool on);
    bool watching() const { return FolderCheckTimer.isActive(); }

    // One tick of the timer (public for tests).
    void FolderCheckTimer_Timer();
    // A pass under the locks every pass takes; false (and nothing done)
    // when another pass holds them.
    bool tryPass();
    // One whole pass: reload, scan, dispatch, commit, clean up.
    void FolderCheckSub();

    QTimer FolderCheckTimer;
    DateTime LastCheckTime = 0;
    DateTime LastCheckSecRead = 0;
    bool Checking = false;

    // The time on the clock of App (tests replace that clock).
    DateTime now() const;

    // Where passes learn what may have changed: made for the ScanMode of
    // the first pass, made anew when a pass reads one that polls where the
    // last did not, or the other way round.
    std::unique_ptr<ChangeSource> source;
    // The source when it is inotify's, else null (for tests and benchmarks).
    InotifySource* events() const;

    // What the last pass did: notifications delivered and failed, and
    // whether it ran to its end.
    struct Outcome {
        int delivered = 0;
        int failed = 0;
        int unanswered = 0; // entries left out: their file system did not answer
        bool completed = false;
    };
    Outcome lastPass;

    // Records delivered but not yet in the watch-list file (it could not be
    // written): tried again at every pass and once more on the way out.
    bool writePending() const { return !pending_.empty(); }
    void flushPending();

signals:
    // After every pass (for windows and tests).
    void passFinished();

private:
    // What a pass read and scanned: its own settings and watch list, the
    // records its scan replaced, and the identities of the two files when
    // it read them.
    struct PassSnapshot {
        AppSettings settings;
        std::vector<WatchEntry> list;
        std::vector<std::optional<CheckFileList>> previous;
        std::pair<FileIdentity, FileIdentity> identities; // settings, list
        // The mount point of each entry scanned by a helper ("" for one
        // scanned in this process), and how long a helper may take.
        std::vector<std::string> away;
        std::chrono::milliseconds limit{0};
    };
    // Reads what changed: the entries here through the change source, the
    // others through their helpers. Returns the change list of each entry.
    std::vector<std::string> scanPass(PassSnapshot& snap);
    // The path a notification reads entry n's file from: its own, a copy
    // its helper made, "" when there is nothing to read, or nothing when
    // its file system did not answer.
    std::optional<std::string> readableSource(const PassSnapshot& snap, size_t n);
    std::string attachmentOf(const WatchEntry& entry, const std::string& source);
    // A record delivered but not written: the entry of that folder that
    // still holds before gets after.
    struct PendingRecord {
        std::string folder;
        CheckFileList before;
        CheckFileList after;
    };
    // Writes the new records of the entries which (indexes into snap.list)
    // to the files as they are now: an entry edited or removed meanwhile
    // keeps what the edit gave it.
    void commitEntries(PassSnapshot& snap, const std::vector<size_t>& which);
    // Puts the pending records into list; true when any was put.
    bool applyPending(std::vector<WatchEntry>& list) const;
    // The pending records are also kept in the runtime folder (not the
    // full disk), so a stop or a kill before the write loses none of them:
    // the next run takes them up.
    std::string pendingFile() const;
    void keepPendingAside();
    void takeUpPendingAside();
    void noteWrite(bool ok, const std::string& file, const std::string& failure);

    // Where the helper of a file system that may stop answering copies a
    // watched file for its mail.
    std::string stageFolder() const;
    // Those helpers, started at the first pass that needs one.
    std::unique_ptr<HelperScans> helpers_;
    // Which file system each entry lies on: read again only when it changed.
    MountTable mounts_;

    bool sourcePolls_ = false;
    std::vector<PendingRecord> pending_;
    bool writeFailing_ = false;

    App& app_;
};

} // namespace kestrova
