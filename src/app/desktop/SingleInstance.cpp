#include "SingleInstance.h"

#include "base/Log.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>

#include <unistd.h>

namespace tallyvox::desktop {

namespace {

constexpr char showRequest[] = "show\n";
constexpr int answerWaitMs = 2000;

} // namespace

SingleInstance::SingleInstance(QString socketPath)
    : path_(std::move(socketPath)) {}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::defaultSocketPath() {
    QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (runtime.isEmpty())
        runtime = QDir::tempPath();
    return runtime + QStringLiteral("/tallyvox-%1.socket").arg(::getuid());
}

bool SingleInstance::askRunningToShow() {
    QLocalSocket socket;
    socket.connectToServer(path_);
    if (!socket.waitForConnected(answerWaitMs))
        return false;
    socket.write(showRequest);
    if (!socket.waitForBytesWritten(answerWaitMs))
        return false;
    // The running one closes the connection once it has read the request.
    socket.waitForDisconnected(answerWaitMs);
    return true;
}

bool SingleInstance::listen(std::function<void()> onShow) {
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    // Nobody answered, so a socket file left there belongs to an instance that crashed.
    QLocalServer::removeServer(path_);
    if (!server_->listen(path_)) {
        Log::error("Cannot listen for other launches: {}", server_->errorString().toStdString());
        return false;
    }
    connect(server_, &QLocalServer::newConnection, this, [this, onShow = std::move(onShow)] {
        while (QLocalSocket* socket = server_->nextPendingConnection()) {
            connect(socket, &QLocalSocket::readyRead, socket, [socket, onShow] {
                if (!socket->canReadLine())
                    return;
                if (socket->readLine() == showRequest)
                    onShow();
                socket->disconnectFromServer();
            });
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
    return true;
}

} // namespace tallyvox::desktop
