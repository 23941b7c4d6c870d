// Ends the event loop cleanly on SIGINT and SIGTERM; a run that has not
// ended 9 seconds later (stuck in a library call) is ended by the signal, so
// a stop never takes longer than 10 seconds.
#pragma once

namespace kestrova {

// Installs the handlers; the running QCoreApplication quits when a signal
// arrives. Call once, after the application object exists.
void quitOnTerminationSignals();

// True once SIGINT or SIGTERM has come: a pass starts no new notification
// and commits what was delivered.
bool terminationRequested();

} // namespace kestrova
