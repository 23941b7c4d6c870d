#include "ui/AppIcon.h"

#include <QFile>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

// Resources compiled into a static library must be registered by name, from
// the global namespace.
static void initIconResources() {
    if (!QFile::exists(QStringLiteral(":/icons/kestrova.svg")))
        Q_INIT_RESOURCE(kestrova);
}

namespace kestrova {

namespace {

QPixmap paintedIcon() {
    QPixmap pixmap(64, 64);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor("#d9a441"));
    p.drawRoundedRect(QRectF(4, 30, 56, 31), 3, 3);
    p.setBrush(QColor("#f2c45a"));
    p.drawRoundedRect(QRectF(4, 38, 56, 23), 3, 3);
    QPainterPath wings;
    wings.moveTo(32, 17);
    wings.cubicTo(24, 8, 12, 6, 2, 10);
    wings.cubicTo(12, 12, 20, 17, 27, 24);
    wings.lineTo(37, 24);
    wings.cubicTo(44, 17, 52, 12, 62, 10);
    wings.cubicTo(52, 6, 40, 8, 32, 17);
    p.setBrush(QColor("#9c5a2b"));
    p.drawPath(wings);
    p.setBrush(QColor("#b86b33"));
    p.drawEllipse(QPointF(32, 22), 5.5, 8);
    p.drawEllipse(QPointF(32, 13), 4.5, 4.5);
    p.setBrush(QColor("#f3dcc0"));
    p.drawEllipse(QPointF(32, 23), 3, 5);
    p.setBrush(QColor("#1b1b1b"));
    p.drawEllipse(QPointF(30.3, 13.2), 1.1, 1.1);
    p.drawEllipse(QPointF(33.7, 13.2), 1.1, 1.1);
    return pixmap;
}

} // namespace

QIcon AppIcon() {
    initIconResources();
    QIcon icon(QStringLiteral(":/icons/kestrova.svg"));
    if (icon.pixmap(32, 32).isNull())
        return QIcon(paintedIcon());
    return icon;
}

} // namespace kestrova
