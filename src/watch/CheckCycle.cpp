#include "watch/CheckCycle.h"

#include "core/App.h"

namespace kestrova {

// Placeholder until the pass is built: the timer runs, no pass is made.
CheckCycle::CheckCycle(App& app, QObject* parent) : QObject(parent), app_(app) {
    FolderCheckTimer.setInterval(1000);
}

void CheckCycle::setWatching(bool on) {
    if (on) {
        LastCheckTime = now();
        FolderCheckTimer.start();
    } else {
        FolderCheckTimer.stop();
    }
}

void CheckCycle::FolderCheckTimer_Timer() {}
void CheckCycle::FolderCheckSub() {}

} // namespace kestrova
