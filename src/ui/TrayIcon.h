// The icon in the system tray and the decoding of its mouse events.
#pragma once

#include <QObject>
#include <QSystemTrayIcon>
#include <string>

class QMenu;

namespace kestrova {

class TrayIcon : public QObject {
    Q_OBJECT
public:
    explicit TrayIcon(QObject* parent = nullptr);

    // The product name (as many characters as "ケストロバ" has), "..." and
    // the last 20 characters of the caption.
    static QString TrayTip(const std::string& mainCaption);

    void AddIconTray(const QIcon& icon, const QString& tip, QMenu* menu);
    void DelIconTray();
    bool isShown() const { return icon_.isVisible(); }
    QString toolTip() const { return icon_.toolTip(); }

signals:
    void doubleClicked();
    // Left click; a right click also opens the menu.
    void clicked();
    void contextClicked();

private:
    QSystemTrayIcon icon_;
};

} // namespace kestrova
