// Bringing a window back to the user when they asked for it (the tray, a
// second start, the action of a desktop notice), on X11 and on Wayland.
#pragma once

#include <QString>

class QWidget;

namespace kestrova {

// Restores, shows, raises and activates window. token is an xdg-activation
// token from whoever asked ("" when none): the Wayland compositor lets a
// window take the focus with it. Under Wayland, where a client can neither
// raise nor un-minimise its own window, a window that is not active is
// mapped anew, which brings it back on every compositor.
void bringBack(QWidget& window, const QString& token = QString());

} // namespace kestrova
