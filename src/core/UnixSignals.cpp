#include "core/UnixSignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <chrono>
#include <csignal>
#include <semaphore.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace kestrova {

namespace {

// A pass may sit in a library call (a mail server that never answers) that
// no event loop can end. A mail in progress gets this long to finish (and
// its entry to be committed); then the process ends anyway, by the signal's
// own default action.
constexpr auto kGrace = std::chrono::seconds(9);

// What a signal handler may touch, set up once before the handlers: the
// descriptor that wakes the event loop, the semaphore that starts the
// watchdog, and the signal that came.
int signalWriteFd = -1;
sem_t watchdogStart;
volatile sig_atomic_t signalReceived = 0;

void onSignal(int sig) {
    if (signalReceived == 0) {
        signalReceived = sig;
        ::sem_post(&watchdogStart);
    }
    char c = 1;
    ssize_t r = ::write(signalWriteFd, &c, 1);
    (void)r;
}

void watchdog() {
    while (::sem_wait(&watchdogStart) != 0) {
    }
    std::this_thread::sleep_for(kGrace);
    const int sig = signalReceived;
    ::signal(sig, SIG_DFL);
    ::kill(::getpid(), sig);
}

} // namespace

bool terminationRequested() {
    return signalReceived != 0;
}

void quitOnTerminationSignals() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return;
    if (::sem_init(&watchdogStart, 0, 0) != 0)
        return;
    signalWriteFd = fds[0];
    std::thread(watchdog).detach();
    auto* notifier =
        new QSocketNotifier(fds[1], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [fd = fds[1]] {
        char c;
        ssize_t r = ::read(fd, &c, 1);
        (void)r;
        // Windows get their close first (placements are saved); a window
        // that only hides when closed would make quit() alone be refused,
        // so exit() then ends every event loop, the nested ones of a pass's
        // waits too. A wait begun after this returns at once.
        QCoreApplication::quit();
        QCoreApplication::exit(0);
    });
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
}

} // namespace kestrova
