// The desktop program: single instance, main window, tray, log viewer and
// the update message window.
#pragma once

#include <memory>

namespace kestrova {

struct App;
class CheckCycle;

class Desktop {
public:
    Desktop(App& app, CheckCycle& cycle);
    ~Desktop();
    Desktop(const Desktop&) = delete;
    Desktop& operator=(const Desktop&) = delete;

    // Shows the windows. Returns false when an instance from the same
    // folder already runs: it has been asked to come to the front, and this
    // process should end with status 0 without writing anything.
    bool start();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace kestrova
