// Ends the event loop cleanly on SIGINT and SIGTERM.
#pragma once

namespace kestrova {

// Installs the handlers; the running QCoreApplication quits when a signal
// arrives. Call once, after the application object exists.
void quitOnTerminationSignals();

} // namespace kestrova
