// Message boxes of the desktop program.
#pragma once

#include "core/OperationLog.h"

class QWidget;

namespace kestrova {

struct App;

// Shows a modal message box with the request's title and text; the style
// bits choose the buttons (0 OK, 1 OK/Cancel, 4 Yes/No) and the icon (16,
// 32, 48, 64). Returns IdOk, IdCancel, IdYes or IdNo.
int ShowMessageBox(const MessageBoxRequest& request, QWidget* parent = nullptr);

// Routes the program's and the log's message boxes to ShowMessageBox.
void installMessageBoxes(App& app);

} // namespace kestrova
