#include "ui/MessageBoxes.h"

#include "core/App.h"

#include <QMessageBox>

namespace kestrova {

int ShowMessageBox(const MessageBoxRequest& request, QWidget* parent) {
    QMessageBox box(parent);
    box.setWindowTitle(QString::fromStdString(request.title));
    box.setText(QString::fromStdString(request.text));
    switch (request.style & 0x0F) {
    case MbOkCancel:
        box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        break;
    case MbYesNo:
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        break;
    default:
        box.setStandardButtons(QMessageBox::Ok);
        break;
    }
    switch (request.style & 0x70) {
    case MbIconCritical:
        box.setIcon(QMessageBox::Critical);
        break;
    case MbIconQuestion:
        box.setIcon(QMessageBox::Question);
        break;
    case MbIconExclamation:
        box.setIcon(QMessageBox::Warning);
        break;
    case MbIconInformation:
        box.setIcon(QMessageBox::Information);
        break;
    default:
        box.setIcon(QMessageBox::NoIcon);
        break;
    }
    switch (box.exec()) {
    case QMessageBox::Cancel:
        return IdCancel;
    case QMessageBox::Yes:
        return IdYes;
    case QMessageBox::No:
        return IdNo;
    default:
        return IdOk;
    }
}

void installMessageBoxes(App& app) {
    app.messageBox = [](const MessageBoxRequest& r) { return ShowMessageBox(r); };
    app.log.messageBox = app.messageBox;
}

} // namespace kestrova
