// The folder chooser of the main window.
#pragma once

#include <QString>

class QWidget;

namespace kestrova {

// Shows a directory chooser modal to owner with prompt as its title, opened
// at startFolder when that names an existing folder. Returns the chosen
// folder (no trailing "/" except for the root), or startFolder unchanged
// when the user cancels.
QString BrowseFolder(QWidget* owner, const QString& prompt, const QString& startFolder);

} // namespace kestrova
