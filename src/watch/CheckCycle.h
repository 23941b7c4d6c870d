// The check cycle: a timer that starts a pass when CheckSec seconds have
// passed, one pass at a time within the process (Checking) and across
// processes (the named lock "Kestrova3333").
#pragma once

#include "core/DateTime.h"
#include "core/FileIo.h"
#include "core/Settings.h"
#include "notify/Notifier.h"

#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace kestrova {

struct App;
class EventWatcher;

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
    // One whole pass: reload, scan, dispatch, commit, clean up.
    void FolderCheckSub();

    QTimer FolderCheckTimer;
    DateTime LastCheckTime = 0;
    DateTime LastCheckSecRead = 0;
    bool Checking = false;

    // The clock, replaceable by tests that count seconds.
    std::function<DateTime()> now = nowDateTime;

    // The change events of ScanMode "auto"; made at the first such pass,
    // dropped when the mode is "poll".
    std::unique_ptr<EventWatcher> events;

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
    };
    void commitPass(PassSnapshot& snap);

    App& app_;
};

} // namespace kestrova
