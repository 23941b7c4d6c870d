// The QApplication that widget tests need, created once and kept for the
// whole run (tests are started with QT_QPA_PLATFORM=offscreen).
#pragma once

#include <QApplication>

namespace kestrova::test {

inline QApplication& widgetApp() {
    static int argc = 1;
    static char name[] = "ui_dialogs_test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

} // namespace kestrova::test
