// Window positions and sizes as the settings file keeps them: twips
// (1/1440 inch), converted with the screen's logical dots per inch.
#pragma once

#include <string>

#include <QSize>

class QWidget;

namespace kestrova {

struct App;

class WindowPlacement {
public:
    // Twips <-> pixels for the primary screen.
    static int toPixelsX(double twips);
    static int toPixelsY(double twips);
    static double toTwipsX(int pixels);
    static double toTwipsY(int pixels);
    static double screenWidthTwips();
    static double screenHeightTwips();

    // False where the platform gives windows no global position (Wayland):
    // there positions are neither applied nor stored, sizes are.
    static bool positionsKnown();

    // Reads "Left", "Top", "Width", "Height" of section (defaults 0, 0,
    // 14500, 2850) and applies them to window. When less than marginX twips
    // of the width or marginY twips of the height would be on the screen,
    // the defaults are applied instead. Width and Height are the outer size,
    // frame and title bar included: the frame is known only once the window
    // is mapped, so the inner size is corrected then (see applyOuterSize).
    static void load(App& app, QWidget& window, const std::string& section, double marginX,
                     double marginY);

    // Writes the four values (position and outer size) when the window is
    // in its normal state (neither minimised nor maximised); a hidden window
    // keeps what is stored, and without positionsKnown() only the size is
    // written. Returns true when written.
    static bool saveIfNormal(App& app, QWidget& window, const std::string& section);

    // Gives window the outer size outer (pixels): at once with the frame
    // known so far, and again once the window manager or the decorations
    // report the frame after the window is shown.
    static void applyOuterSize(QWidget& window, QSize outer);

    static constexpr double kDefaultLeft = 0;
    static constexpr double kDefaultTop = 0;
    static constexpr double kDefaultWidth = 14500;
    static constexpr double kDefaultHeight = 2850;
};

} // namespace kestrova
