#include "support/TestClock.h"

#include <QCoreApplication>
#include <QThread>

namespace kestrova::test {

DateTime TestClock::now() {
    return (wall ? wall : nowDateTime()) +
           std::chrono::duration_cast<std::chrono::seconds>(advanced).count();
}

std::chrono::steady_clock::time_point TestClock::steadyNow() {
    return std::chrono::steady_clock::now() + advanced;
}

void TestClock::sleepFor(int ms) {
    if (ms <= 0)
        return;
    waits.push_back(ms);
    advanced += std::chrono::milliseconds(ms);
    if (QCoreApplication::instance() &&
        QThread::currentThread() == QCoreApplication::instance()->thread())
        QCoreApplication::processEvents();
    if (onWait)
        onWait(ms);
}

} // namespace kestrova::test
