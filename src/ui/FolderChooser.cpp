#include "ui/FolderChooser.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>

namespace kestrova {

QString BrowseFolder(QWidget* owner, const QString& prompt, const QString& startFolder) {
    QFileDialog dialog(owner, prompt);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly, true);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    // A start folder that names no folder (a shortened row, say) just
    // leaves the chooser without a pre-selection.
    if (!startFolder.isEmpty() && QFileInfo(startFolder).isDir())
        dialog.setDirectory(startFolder);
    if (dialog.exec() != QDialog::Accepted)
        return startFolder;
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty())
        return startFolder;
    QString path = chosen.first();
    if (path.size() > 1 && path.endsWith('/'))
        path.chop(1);
    return path;
}

} // namespace kestrova
