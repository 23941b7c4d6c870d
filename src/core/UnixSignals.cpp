#include "core/UnixSignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrova {

namespace {

// The one descriptor a signal handler may touch; written once at set-up.
int signalWriteFd = -1;

void onSignal(int) {
    char c = 1;
    ssize_t r = ::write(signalWriteFd, &c, 1);
    (void)r;
}

} // namespace

void quitOnTerminationSignals() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return;
    signalWriteFd = fds[0];
    auto* notifier = new QSocketNotifier(fds[1], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [fd = fds[1]] {
        char c;
        ssize_t r = ::read(fd, &c, 1);
        (void)r;
        QCoreApplication::quit();
    });
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
}

} // namespace kestrova
