// The folder and file choosers of the main window.
#pragma once

#include <QString>

class QFileDialog;
class QWidget;

namespace kestrova {

// Shows a directory chooser modal to owner with prompt as its title, opened
// at startFolder when that names an existing folder. Returns the chosen
// folder (no trailing "/" except for the root), or startFolder unchanged
// when the user cancels.
QString BrowseFolder(QWidget* owner, const QString& prompt, const QString& startFolder);

// Shows the open-file chooser (filter "全てのﾌｧｲﾙ(*)") opened at start, a
// folder or a file to preselect. Returns the chosen file, "" when cancelled.
QString ChooseFile(QWidget* owner, const QString& start);

// Big enough, in the detail view, with every column shown whole.
void showFullColumns(QFileDialog& dialog);

} // namespace kestrova
