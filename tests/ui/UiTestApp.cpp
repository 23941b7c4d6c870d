#include "ui/UiTestApp.h"

namespace kestrova::test {

QApplication& uiApp() {
    static int argc = 1;
    static char name[] = "kestrova_ui_test";
    static char* argv[] = {name, nullptr};
    static QApplication app(argc, argv);
    return app;
}

} // namespace kestrova::test
