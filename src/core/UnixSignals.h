// Ends the event loop cleanly on SIGINT and SIGTERM; a run that has not
// ended a few seconds later (stuck in a library call) is ended by the signal.
#pragma once

namespace kestrova {

// Installs the handlers; the running QCoreApplication quits when a signal
// arrives. Call once, after the application object exists.
void quitOnTerminationSignals();

} // namespace kestrova
