#include "ui/FolderChooser.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHeaderView>
#include <QScreen>
#include <QTreeView>
#include <algorithm>

namespace kestrova {

void showFullColumns(QFileDialog& dialog) {
    dialog.setViewMode(QFileDialog::Detail);
    // Qt's own chooser opens small, the name column cut; a desktop's own
    // chooser (where one is used) has none of these widgets.
    QSize size(dialog.fontMetrics().averageCharWidth() * 110, dialog.fontMetrics().height() * 28);
    if (QScreen* screen = QGuiApplication::primaryScreen())
        size = size.boundedTo(screen->availableSize() * 0.9);
    dialog.resize(size.expandedTo(dialog.sizeHint()));
    if (auto* view = dialog.findChild<QTreeView*>(QStringLiteral("treeView"))) {
        QHeaderView* header = view->header();
        header->setStretchLastSection(false);
        header->setSectionResizeMode(QHeaderView::ResizeToContents);
        header->setSectionResizeMode(0, QHeaderView::Stretch);
    }
}

QString ChooseFile(QWidget* owner, const QString& start) {
    QFileDialog dialog(owner, QString(), start, QStringLiteral("全てのﾌｧｲﾙ(*)"));
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    if (QFileInfo(start).isFile())
        dialog.selectFile(start);
    showFullColumns(dialog);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return QString();
    return dialog.selectedFiles().first();
}

QString BrowseFolder(QWidget* owner, const QString& prompt, const QString& startFolder) {
    QFileDialog dialog(owner, prompt);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly, true);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    // A start folder that names no folder (a shortened row, say) just
    // leaves the chooser without a pre-selection.
    if (!startFolder.isEmpty() && QFileInfo(startFolder).isDir())
        dialog.setDirectory(startFolder);
    showFullColumns(dialog);
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
