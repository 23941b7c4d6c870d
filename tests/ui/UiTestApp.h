// The QApplication the widget tests share (offscreen platform).
#pragma once

#include <QApplication>

namespace kestrova::test {

QApplication& uiApp();

} // namespace kestrova::test
