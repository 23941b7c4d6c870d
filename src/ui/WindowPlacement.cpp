#include "ui/WindowPlacement.h"

#include "core/App.h"
#include "core/Numeric.h"

#include <QEvent>
#include <QGuiApplication>
#include <QPointer>
#include <QScreen>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <cmath>

namespace kestrova {

namespace {

constexpr double kTwipsPerInch = 1440.0;

QScreen* screen() {
    return QGuiApplication::primaryScreen();
}

double dpiX() {
    QScreen* s = screen();
    double dpi = s ? s->logicalDotsPerInchX() : 96.0;
    return dpi > 0 ? dpi : 96.0;
}

double dpiY() {
    QScreen* s = screen();
    double dpi = s ? s->logicalDotsPerInchY() : 96.0;
    return dpi > 0 ? dpi : 96.0;
}

const QString kKeeperName = QStringLiteral("kestrova-outer-size");

QSize frameExtra(const QWidget& w) {
    return w.frameGeometry().size() - w.size();
}

// Waits for the first showing of a window whose frame was not known when
// its outer size was applied, then corrects the inner size once the frame
// is there. The frame arrives a little after mapping (the window manager
// reparents the window, or the decorations are made), so a few short looks
// follow the show event.
class OuterSizeKeeper : public QObject {
public:
    OuterSizeKeeper(QWidget& window, QSize outer)
        : QObject(&window), window_(window), outer_(outer) {
        setObjectName(kKeeperName);
        window.installEventFilter(this);
        timer_.setInterval(50);
        connect(&timer_, &QTimer::timeout, this, [this] { look(); });
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == &window_ && event->type() == QEvent::Show && !timer_.isActive()) {
            looks_ = 0;
            timer_.start();
        }
        return false;
    }

private:
    void look() {
        QSize extra = frameExtra(window_);
        if (!extra.isNull() || ++looks_ >= 40) {
            timer_.stop();
            if (!extra.isNull()) {
                window_.resize(std::max(1, outer_.width() - extra.width()),
                               std::max(1, outer_.height() - extra.height()));
                deleteLater();
            }
        }
    }

    QWidget& window_;
    QSize outer_;
    QTimer timer_;
    int looks_ = 0;
};

} // namespace

void WindowPlacement::applyOuterSize(QWidget& window, QSize outer) {
    // A size applied again replaces the one still waiting.
    delete window.findChild<QObject*>(kKeeperName, Qt::FindDirectChildrenOnly);
    QSize extra = window.isVisible() ? frameExtra(window) : QSize(0, 0);
    QSize inner(std::max(1, outer.width() - extra.width()),
                std::max(1, outer.height() - extra.height()));
    window.resize(inner);
    if (extra.isNull())
        new OuterSizeKeeper(window, outer);
}

int WindowPlacement::toPixelsX(double twips) {
    return static_cast<int>(std::lround(twips * dpiX() / kTwipsPerInch));
}

int WindowPlacement::toPixelsY(double twips) {
    return static_cast<int>(std::lround(twips * dpiY() / kTwipsPerInch));
}

double WindowPlacement::toTwipsX(int pixels) {
    return pixels * kTwipsPerInch / dpiX();
}
double WindowPlacement::toTwipsY(int pixels) {
    return pixels * kTwipsPerInch / dpiY();
}

double WindowPlacement::screenWidthTwips() {
    QScreen* s = screen();
    return s ? toTwipsX(s->geometry().width()) : 0;
}

double WindowPlacement::screenHeightTwips() {
    QScreen* s = screen();
    return s ? toTwipsY(s->geometry().height()) : 0;
}

bool WindowPlacement::positionsKnown() {
    return !QGuiApplication::platformName().startsWith(QStringLiteral("wayland"));
}

void WindowPlacement::load(App& app, QWidget& window, const std::string& section, double marginX,
                           double marginY) {
    const std::string& file = app.settings.SettingsFile;
    double left = numericValue(GetIniValue(app, section, "Left", "0", file));
    double top = numericValue(GetIniValue(app, section, "Top", "0", file));
    double width = numericValue(GetIniValue(app, section, "Width", "14500", file));
    double height = numericValue(GetIniValue(app, section, "Height", "2850", file));
    if (left + width - marginX < 0 || top + height - marginY < 0 ||
        left + marginX > screenWidthTwips() || top + marginY > screenHeightTwips()) {
        left = kDefaultLeft;
        top = kDefaultTop;
        width = kDefaultWidth;
        height = kDefaultHeight;
    }
    // A stored position is kept for the next X11 session all the same.
    if (positionsKnown())
        window.move(toPixelsX(left), toPixelsY(top));
    applyOuterSize(window, QSize(std::max(1, toPixelsX(width)), std::max(1, toPixelsY(height))));
}

bool WindowPlacement::saveIfNormal(App& app, QWidget& window, const std::string& section) {
    if (!window.isVisible() || window.isMinimized() || window.isMaximized() ||
        window.isFullScreen())
        return false;
    const std::string& file = app.settings.SettingsFile;
    QSize size = window.frameGeometry().size();
    bool ok = true;
    if (positionsKnown()) {
        QPoint pos = window.pos();
        ok = WriteIniValue(app, section, "Left", numberText(toTwipsX(pos.x())), file);
        ok = WriteIniValue(app, section, "Top", numberText(toTwipsY(pos.y())), file) && ok;
    }
    ok = WriteIniValue(app, section, "Width", numberText(toTwipsX(size.width())), file) && ok;
    ok = WriteIniValue(app, section, "Height", numberText(toTwipsY(size.height())), file) && ok;
    return ok;
}

} // namespace kestrova
