// A clock for tests whose waits return at once: each wait moves the clock
// forward by its length instead, and pending events are still handled, as
// they are inside a real wait. The time otherwise follows the system clock,
// or stands at wall when a test sets it.
#pragma once

#include "core/Clock.h"

#include <chrono>
#include <functional>
#include <vector>

namespace kestrova::test {

class TestClock : public Clock {
public:
    DateTime now() override;
    std::chrono::steady_clock::time_point steadyNow() override;
    void sleepFor(int ms) override;

    // A fixed local time (0: the system's time), moved on by the waits too.
    DateTime wall = 0;
    // Every wait asked for, in order, and their sum.
    std::vector<int> waits;
    std::chrono::milliseconds advanced{0};
    // Called inside every wait, after the clock moved on: a test acts "while
    // the program waits".
    std::function<void(int ms)> onWait;
};

} // namespace kestrova::test
