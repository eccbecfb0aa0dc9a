#include "SingleInstance.h"

#include "base/Log.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tallyvox::desktop {

namespace {

constexpr char showRequest[] = "show\n";
constexpr int answerWaitMs = 2000;

// Only we may place a socket in it: ours, not a link, and nobody else may enter it. Anyone
// who could would be able to answer in our place and keep the app from starting.
bool isPrivateFolder(const QByteArray& path) {
    struct stat facts {};
    return ::lstat(path.constData(), &facts) == 0 && S_ISDIR(facts.st_mode) &&
           facts.st_uid == ::getuid() && (facts.st_mode & 077) == 0;
}

// The other end of a connection runs as this user; the folder check makes this so for
// sockets in it, and this check does not depend on where the socket is.
bool peerIsThisUser(qintptr descriptor) {
    ucred peer{};
    socklen_t length = sizeof peer;
    return descriptor >= 0 &&
           ::getsockopt(static_cast<int>(descriptor), SOL_SOCKET, SO_PEERCRED, &peer, &length) ==
               0 &&
           peer.uid == ::getuid();
}

} // namespace

SingleInstance::SingleInstance(QString socketPath)
    : path_(std::move(socketPath)) {}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::defaultSocketPath() {
    const QString name = QStringLiteral("/tallyvox-%1.socket").arg(::getuid());
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && isPrivateFolder(runtime))
        return QString::fromLocal8Bit(runtime) + name;
    // Without a runtime folder: one of our own in the temporary folder, never that shared
    // folder itself. One we did not make stops the hand-over, not the app.
    const QByteArray folder =
        QFile::encodeName(QDir::tempPath() + QStringLiteral("/tallyvox-%1").arg(::getuid()));
    ::mkdir(folder.constData(), 0700);
    if (!isPrivateFolder(folder)) {
        Log::error("{} is not a private folder; other launches are not handed over",
                   folder.toStdString());
        return {};
    }
    return QFile::decodeName(folder) + name;
}

bool SingleInstance::askRunningToShow() {
    if (path_.isEmpty())
        return false;
    QLocalSocket socket;
    socket.connectToServer(path_);
    if (!socket.waitForConnected(answerWaitMs))
        return false;
    if (!peerIsThisUser(socket.socketDescriptor())) {
        Log::error("Another user listens on {}; starting anyway", path_.toStdString());
        return false;
    }
    socket.write(showRequest);
    if (!socket.waitForBytesWritten(answerWaitMs))
        return false;
    // The running one closes the connection once it has read the request.
    socket.waitForDisconnected(answerWaitMs);
    return true;
}

bool SingleInstance::listen(std::function<void()> onShow) {
    if (path_.isEmpty())
        return false;
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
            if (!peerIsThisUser(socket->socketDescriptor())) {
                socket->abort();
                socket->deleteLater();
                continue;
            }
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
