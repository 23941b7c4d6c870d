// The program's own icon (window and tray).
#pragma once

#include <QIcon>

namespace kestrova {

// The drawn icon from the resources; painted in code when the SVG image
// plugin is missing.
QIcon AppIcon();

} // namespace kestrova
