#include "ui/UiTestApp.h"

#include <gtest/gtest.h>

namespace kestrova::test {

QApplication& uiApp() {
    return *static_cast<QApplication*>(QCoreApplication::instance());
}

} // namespace kestrova::test

// The widget tests' own main: the QApplication lives on main's stack so that
// Qt is torn down before the process's exit handlers run.
int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
