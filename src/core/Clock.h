// The time a pass reads and every wait it makes, behind one object held by
// App: the program runs on the system clock; tests hand in a clock whose
// waits return at once, so they run the same code without sleeping.
#pragma once

#include "core/DateTime.h"
#include "core/OperationLog.h"

#include <chrono>

namespace kestrova {

class Clock {
public:
    virtual ~Clock() = default;

    // Local date and time on the day-number scale (LastCheckTime, captions).
    virtual DateTime now() { return nowDateTime(); }
    // Monotonic time, for intervals that must not follow a changed clock.
    virtual std::chrono::steady_clock::time_point steadyNow() {
        return std::chrono::steady_clock::now();
    }
    // Waits ms milliseconds while window events and timer ticks keep being
    // handled (My_Sleep); returns at once for 0 or less.
    virtual void sleepFor(int ms) { My_Sleep(ms); }
};

} // namespace kestrova
