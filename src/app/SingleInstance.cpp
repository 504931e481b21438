#include "app/SingleInstance.h"

#include "platform/Console.h"
#include "platform/Preferences.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>

#include <unistd.h>

namespace orvel {

namespace {

const QByteArray kShowRequest = QByteArrayLiteral("show\n");
const QByteArray kShowAnswer = QByteArrayLiteral("ok\n");
constexpr qint64 kMaxRequest = 64;

QString lockPath(const QString& serverName)
{
    const QString socketPath =
        QDir::isAbsolutePath(serverName) ? serverName : QDir::tempPath() + QLatin1Char('/') + serverName;
    return socketPath + QStringLiteral(".lock");
}

} // namespace

SingleInstance::SingleInstance(QString serverName, QObject* parent)
    : QObject(parent)
    , serverName_(std::move(serverName))
{}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::defaultServerName()
{
    const QByteArray hash =
        QCryptographicHash::hash(QFileInfo(Preferences::defaultPath()).absoluteFilePath().toUtf8(),
                                 QCryptographicHash::Sha1)
            .toHex()
            .left(12);
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo(runtime).isDir() && QFileInfo(runtime).isWritable())
        return runtime + QStringLiteral("/orvel-") + QString::fromLatin1(hash) + QStringLiteral(".sock");
    return QStringLiteral("orvel-%1-%2").arg(::getuid()).arg(QString::fromLatin1(hash));
}

SingleInstance::Role SingleInstance::claim(int answerTimeoutMs)
{
    QLockFile lock(lockPath(serverName_));
    // Held only while deciding; a copy that died holding it leaves a lock its PID shows stale.
    const bool locked = lock.tryLock(answerTimeoutMs + 2000);
    if (!locked)
        printLine(QStringLiteral("could not lock %1; deciding without it").arg(lockPath(serverName_)));

    QLocalSocket socket;
    socket.connectToServer(serverName_);
    if (socket.waitForConnected(answerTimeoutMs))
        return askRunningCopy(socket, answerTimeoutMs);

    // Nobody answers: whatever sits at the name was left by a copy that is gone.
    QLocalServer::removeServer(serverName_);
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(serverName_)) {
        printLine(QStringLiteral("cannot listen on %1 (%2); a second start will not find this one")
                      .arg(serverName_, server_->errorString()));
        return Role::Primary;
    }
    connect(server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* client = server_->nextPendingConnection())
            serve(client);
    });
    return Role::Primary;
}

SingleInstance::Role SingleInstance::askRunningCopy(QLocalSocket& socket, int answerTimeoutMs)
{
    socket.write(kShowRequest);
    if (!socket.waitForBytesWritten(answerTimeoutMs))
        return Role::Unresponsive;
    QByteArray answer;
    while (!answer.contains('\n') && answer.size() < kMaxRequest) {
        if (!socket.waitForReadyRead(answerTimeoutMs))
            break;
        answer += socket.readAll();
    }
    socket.disconnectFromServer();
    return answer.startsWith(kShowAnswer) ? Role::HandedOver : Role::Unresponsive;
}

void SingleInstance::serve(QLocalSocket* client)
{
    connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
    connect(client, &QLocalSocket::readyRead, this, [this, client] {
        if (!client->canReadLine()) {
            // Only one short request is spoken here; anything longer is not a copy of Orvel.
            if (client->bytesAvailable() > kMaxRequest)
                client->abort();
            return;
        }
        const QByteArray request = client->readLine(kMaxRequest);
        if (request == kShowRequest) {
            Q_EMIT showRequested();
            client->write(kShowAnswer);
            client->flush();
        }
        client->disconnectFromServer();
    });
}

} // namespace orvel
