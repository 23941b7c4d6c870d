// An App laid out as a portable folder inside a temporary directory, as
// start-up would prepare it, without touching the real program folder, on
// a clock that does not wait.
#pragma once

#include "core/App.h"
#include "support/TempDir.h"
#include "support/TestClock.h"

#include <vector>

namespace kestrova::test {

class AppFixture {
public:
    explicit AppFixture(bool interactive = true);

    App app;
    TempDir dir;
    // The app's clock: waits return at once (useRealClock puts the
    // system's clock back for a case that times real waits).
    TestClock* clock = nullptr;
    void useRealClock();
    // Every message box the log asked for; answered with answer.
    std::vector<MessageBoxRequest> boxes;
    int answer = 1;

    std::string settingsFile() const { return app.settings.SettingsFile; }
    std::string watchListFile() const { return app.settings.WatchListFile; }
    // The log file's lines, decoded.
    std::vector<std::string> logLines() const;
};

} // namespace kestrova::test
