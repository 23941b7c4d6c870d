// Whether a desktop program can open its windows: looked at before the Qt
// application object exists, because Qt ends the process (status 134) when
// its platform cannot connect.
#pragma once

#include <string>

namespace kestrova {

// "" when a display can be reached (or QT_QPA_PLATFORM names a platform
// that needs none, such as offscreen); otherwise the message for standard
// error, in Japanese and English, ending with a line break. When only one of
// X11 and Wayland answers and QT_QPA_PLATFORM is unset, QT_QPA_PLATFORM is
// set to that one, so Qt does not try the other first and fail.
std::string displayProblem();

} // namespace kestrova
