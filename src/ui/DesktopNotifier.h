// Every showing of the update message window also goes to the desktop's
// notification service (org.freedesktop.Notifications on the session bus),
// so a message reaches the notification list, the lock screen, and a
// Wayland desktop where the window cannot raise itself.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QStringList>
#include <array>
#include <set>

namespace kestrova {

struct App;

class DesktopNotifier : public QObject {
    Q_OBJECT
public:
    // bus: the session bus, or a test's own.
    explicit DesktopNotifier(App& app, QDBusConnection bus = QDBusConnection::sessionBus(),
                             QObject* parent = nullptr);

    // Sends caption and text (unless "DesktopNotify" is off). A message of
    // the same kind replaces the previous one on the desktop.
    void notify(const QString& caption, const QString& text);

    // The body: at most kBodyLines lines of text, then "…" when more follow.
    static QString bodyText(const QString& text);
    // 0 update notice, 1 mail failure, 2 archive failure.
    static int kindOf(const QString& caption);

    static constexpr int kBodyLines = 10;

signals:
    // The user chose "表示" on one of this program's notifications; token is
    // the activation token the service handed over with it ("" when none).
    void showRequested(const QString& token);

private slots:
    void onActionInvoked(uint id, const QString& key);
    void onActivationToken(uint id, const QString& token);

private:
    bool ours(uint id) const;
    QString icon();
    void send(const QString& caption, const QString& text);
    void failed(const QString& error);

    App& app_;
    QDBusConnection bus_;
    bool capabilitiesKnown_ = false;
    bool asking_ = false;
    bool markup_ = false;
    QStringList pending_; // caption, text pairs waiting for the capabilities
    std::array<uint, 3> lastId_{};
    std::set<uint> sent_; // every notice of this run, for its action
    QString activationToken_;
    QString iconName_;
};

} // namespace kestrova
