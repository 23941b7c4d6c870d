#include "ui/DesktopNotifier.h"

#include "core/App.h"
#include "ui/AppIcon.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QUrl>
#include <unistd.h>

namespace kestrova {

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
const QString kShowAction = QStringLiteral("表示");

QDBusMessage call(const QString& method) {
    return QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
}

} // namespace

DesktopNotifier::DesktopNotifier(App& app, QDBusConnection bus, QObject* parent)
    : QObject(parent), app_(app), bus_(bus) {
    bus_.connect(QString(), kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                 SLOT(onActionInvoked(uint, QString)));
    bus_.connect(QString(), kPath, kInterface, QStringLiteral("ActivationToken"), this,
                 SLOT(onActivationToken(uint, QString)));
}

int DesktopNotifier::kindOf(const QString& caption) {
    if (caption == QStringLiteral("メール送信エラー"))
        return 1;
    if (caption == QStringLiteral("ファイル圧縮エラー"))
        return 2;
    return 0;
}

QString DesktopNotifier::bodyText(const QString& text) {
    QString plain = text;
    plain.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace('\r', '\n');
    while (plain.endsWith('\n'))
        plain.chop(1);
    QStringList lines = plain.split('\n');
    if (lines.size() > kBodyLines) {
        lines = lines.mid(0, kBodyLines);
        lines << QStringLiteral("…");
    }
    return lines.join('\n');
}

void DesktopNotifier::notify(const QString& caption, const QString& text) {
    if (!app_.settings.DesktopNotify || !bus_.isConnected())
        return;
    if (capabilitiesKnown_) {
        send(caption, text);
        return;
    }
    // The body is marked up only where the service reads markup: asked once,
    // before the first notice.
    pending_ << caption << text;
    if (asking_)
        return;
    asking_ = true;
    auto* watcher =
        new QDBusPendingCallWatcher(bus_.asyncCall(call(QStringLiteral("GetCapabilities"))), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        asking_ = false;
        QDBusPendingReply<QStringList> reply = *w;
        QStringList waiting;
        waiting.swap(pending_);
        if (reply.isError()) {
            failed(reply.error().message());
            return; // asked again with the next message
        }
        capabilitiesKnown_ = true;
        markup_ = reply.value().contains(QStringLiteral("body-markup"));
        for (qsizetype i = 0; i + 1 < waiting.size(); i += 2)
            send(waiting[i], waiting[i + 1]);
    });
}

QString DesktopNotifier::icon() {
    if (!iconName_.isEmpty())
        return iconName_;
    if (QIcon::hasThemeIcon(QStringLiteral("kestrova"))) {
        iconName_ = QStringLiteral("kestrova");
    } else {
        // Not installed (a portable folder): the program's own icon as a
        // file the service can read.
        QString dir = qEnvironmentVariable("XDG_RUNTIME_DIR");
        if (dir.isEmpty() || !QFileInfo(dir).isDir())
            dir = QDir::tempPath();
        const QString file = dir + QStringLiteral("/kestrova-%1.png").arg(::getuid());
        if (QFileInfo::exists(file) || AppIcon().pixmap(64, 64).save(file, "PNG"))
            iconName_ = QUrl::fromLocalFile(file).toString();
        else
            iconName_ = QStringLiteral("kestrova");
    }
    return iconName_;
}

void DesktopNotifier::send(const QString& caption, const QString& text) {
    const int kind = kindOf(caption);
    QString body = bodyText(text);
    if (markup_)
        body = body.toHtmlEscaped();
    QVariantMap hints;
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue<uchar>(kind == 0 ? 1 : 2));
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("kestrova"));
    QDBusMessage message = call(QStringLiteral("Notify"));
    // "default" is what a click on the notice runs; the named action is the
    // button some desktops show.
    message << QStringLiteral("ケストロバ") << lastId_[kind] << icon() << caption << body
            << QStringList{QStringLiteral("default"), kShowAction, QStringLiteral("show"),
                           kShowAction}
            << hints << -1;
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(message), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, kind](QDBusPendingCallWatcher* w) {
                w->deleteLater();
                QDBusPendingReply<uint> reply = *w;
                if (reply.isError())
                    failed(reply.error().message());
                else
                    sent_.insert(lastId_[kind] = reply.value());
            });
}

void DesktopNotifier::failed(const QString& error) {
    // No service on this desktop is a lasting condition: one line per run.
    if (app_.warnedOnce.first(Warning::DesktopNotifications))
        app_.log.WriteLog(0, LogWarning, "MsgForm", "MsgShow",
                          "デスクトップ通知を送れません: " + error.toStdString());
}

bool DesktopNotifier::ours(uint id) const {
    return sent_.count(id) > 0;
}

void DesktopNotifier::onActivationToken(uint id, const QString& token) {
    // Sent just before the action it belongs to.
    if (ours(id))
        activationToken_ = token;
}

void DesktopNotifier::onActionInvoked(uint id, const QString& key) {
    if (!ours(id) || (key != QStringLiteral("default") && key != QStringLiteral("show")))
        return;
    QString token;
    token.swap(activationToken_);
    emit showRequested(token);
}

} // namespace kestrova
