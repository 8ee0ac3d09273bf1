#include "app/single_instance.h"

#include <QDir>
#include <QElapsedTimer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>

#include <unistd.h>

namespace zoranth {
namespace {

const QByteArray raiseRequest = QByteArrayLiteral("raise\n");
const QByteArray raiseAnswer = QByteArrayLiteral("ok\n");
constexpr int requestTimeoutMs = 2000;

}  // namespace

SingleInstance::SingleInstance(QString folder, QString name, QObject* parent)
    : QObject(parent),
      folder_(std::move(folder)),
      name_(std::move(name)),
      lock_(folder_ + QLatin1Char('/') + name_ + QStringLiteral(".lock")) {
    // The lock is held for the life of the first launch, however long; only a holder
    // that is gone makes it stale.
    lock_.setStaleLockTime(0);
}

SingleInstance::~SingleInstance() {
    server_.close();
}

QString SingleInstance::defaultFolder() {
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    return runtime.isEmpty() ? QDir::tempPath() : runtime;
}

QString SingleInstance::defaultName() {
    return QStringLiteral("zoranth-host-") + QString::number(getuid());
}

QString SingleInstance::socketPath() const {
    return folder_ + QLatin1Char('/') + name_;
}

SingleInstance::Outcome SingleInstance::claim(std::chrono::milliseconds patience) {
    if (!QDir().mkpath(folder_)) {
        failure_ = QStringLiteral("cannot create the runtime folder ") + folder_;
        return Outcome::failed;
    }
    if (!lock_.tryLock(0)) {
        if (lock_.error() == QLockFile::LockFailedError) {
            return handOver(patience);
        }
        failure_ = QStringLiteral("cannot take the lock ") + folder_ + QLatin1Char('/') + name_ +
                   QStringLiteral(".lock");
        return Outcome::failed;
    }
    // A socket left behind by a launch that crashed would refuse the listen.
    QLocalServer::removeServer(socketPath());
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_.listen(socketPath())) {
        failure_ = QStringLiteral("cannot listen on ") + socketPath() + QStringLiteral(": ") +
                   server_.errorString();
        lock_.unlock();
        return Outcome::failed;
    }
    connect(&server_, &QLocalServer::newConnection, this, &SingleInstance::serve);
    return Outcome::first;
}

SingleInstance::Outcome SingleInstance::handOver(std::chrono::milliseconds patience) {
    QElapsedTimer elapsed;
    elapsed.start();
    while (true) {
        QLocalSocket socket;
        socket.connectToServer(socketPath());
        if (socket.waitForConnected(requestTimeoutMs)) {
            socket.write(raiseRequest);
            if (socket.waitForBytesWritten(requestTimeoutMs)) {
                while (socket.bytesAvailable() < raiseAnswer.size() &&
                       socket.waitForReadyRead(requestTimeoutMs)) {
                }
                if (socket.readLine(64) == raiseAnswer) {
                    return Outcome::handedOver;
                }
            }
        }
        if (elapsed.elapsed() >= patience.count()) {
            failure_ = QStringLiteral("another launch holds ") + socketPath() +
                       QStringLiteral(" but did not answer");
            return Outcome::failed;
        }
        QThread::msleep(100);
    }
}

void SingleInstance::serve() {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine()) {
                if (socket->bytesAvailable() > 64) {
                    socket->abort();
                }
                return;
            }
            if (socket->readLine(64) == raiseRequest) {
                socket->write(raiseAnswer);
                socket->flush();
                emit raiseRequested();
            }
            socket->disconnectFromServer();
        });
        // A peer that never says anything does not keep its socket forever.
        QTimer::singleShot(requestTimeoutMs, socket, &QLocalSocket::abort);
    }
}

}  // namespace zoranth
