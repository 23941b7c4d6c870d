#include "ui/TrayIcon.h"

#include <QMenu>

namespace kestrova {

TrayIcon::TrayIcon(QObject* parent) : QObject(parent) {
    connect(&icon_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                switch (reason) {
                case QSystemTrayIcon::DoubleClick:
                    emit doubleClicked();
                    break;
                case QSystemTrayIcon::Trigger:
                    emit clicked();
                    break;
                case QSystemTrayIcon::Context:
                    emit contextClicked();
                    break;
                default:
                    break;
                }
            });
}

QString TrayIcon::TrayTip(const std::string& mainCaption) {
    const QString caption = QString::fromStdString(mainCaption);
    const QList<uint> chars = caption.toUcs4();
    const qsizetype product = QStringLiteral("ケストロバ").toUcs4().size();
    const qsizetype tail = 20;
    QList<uint> head = chars.mid(0, product);
    QList<uint> last = chars.size() > tail ? chars.mid(chars.size() - tail) : chars;
    return QString::fromUcs4(reinterpret_cast<const char32_t*>(head.constData()), head.size()) +
           QStringLiteral("...") +
           QString::fromUcs4(reinterpret_cast<const char32_t*>(last.constData()), last.size());
}

void TrayIcon::AddIconTray(const QIcon& icon, const QString& tip, QMenu* menu) {
    icon_.setIcon(icon);
    icon_.setToolTip(tip);
    icon_.setContextMenu(menu);
    icon_.show();
}

void TrayIcon::DelIconTray() {
    icon_.hide();
}

} // namespace kestrova
