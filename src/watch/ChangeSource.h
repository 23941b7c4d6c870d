// Where a pass learns which watch entries may have changed since the last
// one: which to scan, which only for some names, and which in full.
#pragma once

#include "core/Settings.h"
#include "watch/Scanner.h"

#include <memory>
#include <string>
#include <vector>

namespace kestrova {

struct App;

class ChangeSource {
public:
    virtual ~ChangeSource() = default;
    // The scan this pass makes of list. request comes with the entries
    // this process may look at: one marked not to be scanned is scanned
    // elsewhere and must not even be looked at. The source narrows it to
    // what may have changed, and says how to scan each.
    virtual void plan(App& app, const std::vector<WatchEntry>& list, ScanRequest& request) = 0;
    // After the scan of list as planned, when it succeeded.
    virtual void scanned(App& app, const std::vector<WatchEntry>& list,
                         const ScanResult& result) = 0;
};

// The source of a ScanMode: "poll" looks at everything at every pass; any
// other value lets inotify's events stand in where they can.
bool pollsOnly(const std::string& scanMode);
std::unique_ptr<ChangeSource> makeChangeSource(const std::string& scanMode);

} // namespace kestrova
