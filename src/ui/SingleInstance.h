// One running program per folder: the first interactive run listens on a
// local socket named from its main caption; a later start from the same
// folder asks it to come to the front and ends. Which run is the first is
// decided by a lock held for the life of the listening run, so starts at
// the same moment cannot all become it.
#pragma once

#include "core/NamedLock.h"

#include <QLocalServer>
#include <QObject>
#include <string>

namespace kestrova {

class SingleInstance : public QObject {
    Q_OBJECT
public:
    explicit SingleInstance(const std::string& mainCaption, QObject* parent = nullptr);

    // The socket path: in the user's runtime folder, or in the temporary
    // folder with the user id in its name.
    static QString serverName(const std::string& mainCaption);

    // The name of the lock that goes with the caption.
    static std::string lockName(const std::string& mainCaption);

    // Decides whether this run is the one for its folder: true when it took
    // the lock and listens; false when another run holds it, which has then
    // been asked to show itself (or did not answer within timeoutMs, still
    // starting up or stuck: either way it is the one).
    bool claim(int timeoutMs = 10000);

    // True when a running instance answered and was asked to show itself.
    // This start's xdg-activation token (from its launcher) goes with the
    // request, so that a Wayland compositor lets the window come forward.
    bool askRunningInstance(int timeoutMs = 2000);
    // Starts listening (removing a socket left behind by a crash).
    bool listen();

signals:
    // token: the asking start's activation token, "" when it had none.
    void showRequested(const QString& token);

private:
    void onConnection();

    QString name_;
    std::string lockName_;
    NamedLock lock_;
    QLocalServer server_;
};

} // namespace kestrova
