#include "ui/WindowActivation.h"

#include "ui/WindowPlacement.h"

#include <QWidget>

namespace kestrova {

void bringBack(QWidget& window, const QString& token) {
    const bool wayland = !WindowPlacement::positionsKnown();
    // Qt's Wayland plugin hands this variable to the compositor with the
    // next activation request and clears it.
    if (wayland && !token.isEmpty())
        qputenv("XDG_ACTIVATION_TOKEN", token.toUtf8());
    if (wayland && window.isVisible() && (window.isMinimized() || !window.isActiveWindow()))
        window.hide();
    window.setWindowState(window.windowState() & ~Qt::WindowMinimized);
    window.show();
    window.raise();
    window.activateWindow();
    // Never left for a child process to find.
    if (wayland && !token.isEmpty())
        qunsetenv("XDG_ACTIVATION_TOKEN");
}

} // namespace kestrova
