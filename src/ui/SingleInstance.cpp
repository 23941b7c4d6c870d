#include "ui/SingleInstance.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocalSocket>
#include <QThread>
#include <csignal>
#include <unistd.h>

namespace kestrova {

namespace {

const QByteArray kShowRequest = "show\n";
const QByteArray kShowAnswer = "ok\n";

} // namespace

SingleInstance::SingleInstance(const std::string& mainCaption, QObject* parent)
    : QObject(parent), name_(serverName(mainCaption)), lockName_(lockName(mainCaption)) {
    connect(&server_, &QLocalServer::newConnection, this, [this] { onConnection(); });
}

namespace {

QByteArray captionHash(const std::string& mainCaption) {
    return QCryptographicHash::hash(QByteArray::fromStdString(mainCaption),
                                    QCryptographicHash::Sha256)
        .toHex()
        .left(32);
}

} // namespace

std::string SingleInstance::lockName(const std::string& mainCaption) {
    return "kestrova-" + captionHash(mainCaption).toStdString();
}

bool SingleInstance::claim(int timeoutMs) {
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        std::string error;
        if (lock_.tryAcquire(lockName_, error)) {
            listen();
            return true;
        }
        if (!error.empty()) {
            // No usable lock file: only the socket can tell.
            if (askRunningInstance(500))
                return false;
            listen();
            return true;
        }
        // Held: the holder may not be listening yet.
        if (askRunningInstance(200) || waited.elapsed() >= timeoutMs)
            return false;
        QThread::msleep(50);
    }
}

QString SingleInstance::serverName(const std::string& mainCaption) {
    const QByteArray hash = captionHash(mainCaption);
    QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo(runtime).isDir())
        return runtime + QStringLiteral("/kestrova-") + QString::fromLatin1(hash);
    return QDir::tempPath() + QStringLiteral("/kestrova-%1-").arg(::getuid()) +
           QString::fromLatin1(hash);
}

bool SingleInstance::askRunningInstance(int timeoutMs) {
    QLocalSocket socket;
    socket.connectToServer(name_);
    if (!socket.waitForConnected(timeoutMs))
        return false;
    // "show" alone, or "show <token>".
    QByteArray request = kShowRequest;
    const QByteArray token = qgetenv("XDG_ACTIVATION_TOKEN").trimmed();
    if (!token.isEmpty() && !token.contains(' '))
        request = "show " + token + "\n";
    socket.write(request);
    socket.waitForBytesWritten(timeoutMs);
    // The answer only confirms; the running one shows itself either way.
    socket.waitForReadyRead(timeoutMs);
    socket.disconnectFromServer();
    return true;
}

bool SingleInstance::listen() {
    // A second start that gave up waiting has closed its end; answering it
    // must not kill this process with SIGPIPE.
    ::signal(SIGPIPE, SIG_IGN);
    // Only reached when nobody answered: a socket file still there is left
    // over from a run that crashed.
    QLocalServer::removeServer(name_);
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    return server_.listen(name_);
}

void SingleInstance::onConnection() {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine())
                return;
            QByteArray line = socket->readLine();
            QString token;
            if (line.startsWith("show ") && line.endsWith('\n'))
                token = QString::fromUtf8(line.mid(5).trimmed());
            if (line == kShowRequest || !token.isEmpty()) {
                emit showRequested(token);
                socket->write(kShowAnswer);
                socket->flush();
            }
            socket->disconnectFromServer();
        });
    }
}

} // namespace kestrova
