#include "ui/UiTestApp.h"

namespace kestrova::test {

QApplication& uiApp() {
    static int argc = 1;
    static char name[] = "kestrova_ui_test";
    static char* argv[] = {name, nullptr};
    // Never destroyed: tearing Qt down among the other static destructors
    // at exit crashes; the process ends right after the tests anyway.
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

} // namespace kestrova::test
