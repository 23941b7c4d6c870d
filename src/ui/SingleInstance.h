// One running program per folder: the first interactive run listens on a
// local socket named from its main caption; a later start from the same
// folder asks it to come to the front and ends.
#pragma once

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

    // True when a running instance answered and was asked to show itself.
    bool askRunningInstance(int timeoutMs = 2000);
    // Starts listening (removing a socket left behind by a crash).
    bool listen();

signals:
    void showRequested();

private:
    void onConnection();

    QString name_;
    QLocalServer server_;
};

} // namespace kestrova
