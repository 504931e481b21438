#include "app/SingleInstance.h"

#include "platform/Console.h"
#include "platform/Preferences.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QPointer>

#include <unistd.h>

namespace orvel {

namespace {

const QByteArray kShowRequest = QByteArrayLiteral("show\n");
const QByteArray kShowAnswer = QByteArrayLiteral("ok\n");
// "set --disable --always-on off\n"; answered "ok TEXT\n" or "no TEXT\n".
const QByteArray kSetRequest = QByteArrayLiteral("set ");
constexpr qint64 kMaxRequest = 64;
constexpr qint64 kMaxAnswer = 1024;
// A switch may wait for a flash test to end (2.5 s) before the running copy answers.
constexpr int kSwitchWaitMs = 5000;

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

SingleInstance::Role SingleInstance::claim(int answerTimeoutMs, const QStringList& switches)
{
    QLockFile lock(lockPath(serverName_));
    // Held only while deciding; a copy that died holding it leaves a lock its PID shows stale.
    const bool locked = lock.tryLock(answerTimeoutMs + 2000);
    if (!locked)
        printLine(QStringLiteral("could not lock %1; deciding without it").arg(lockPath(serverName_)));

    QLocalSocket socket;
    socket.connectToServer(serverName_);
    if (socket.waitForConnected(answerTimeoutMs))
        return askRunningCopy(socket, answerTimeoutMs, switches);

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

SingleInstance::Role SingleInstance::askRunningCopy(QLocalSocket& socket, int answerTimeoutMs,
                                                    const QStringList& switches)
{
    socket.write(switches.isEmpty() ? kShowRequest
                                    : kSetRequest + switches.join(QLatin1Char(' ')).toUtf8() + '\n');
    if (!socket.waitForBytesWritten(answerTimeoutMs))
        return Role::Unresponsive;
    QByteArray answer;
    const int readTimeoutMs = switches.isEmpty() ? answerTimeoutMs : answerTimeoutMs + kSwitchWaitMs;
    while (!answer.contains('\n') && answer.size() < kMaxAnswer) {
        if (!socket.waitForReadyRead(readTimeoutMs))
            break;
        answer += socket.readAll();
    }
    socket.disconnectFromServer();
    if (switches.isEmpty())
        return answer.startsWith(kShowAnswer) ? Role::HandedOver : Role::Unresponsive;
    // A copy from before switches could be set answers nothing to them.
    if (!answer.endsWith('\n') || !(answer.startsWith("ok ") || answer.startsWith("no ")))
        return Role::Unresponsive;
    switchesSet_ = answer.startsWith("ok ");
    answer_ = QString::fromUtf8(answer.mid(3).trimmed());
    return Role::HandedOver;
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
        } else if (request.startsWith(kSetRequest) && request.endsWith('\n')) {
            const QStringList words = QString::fromUtf8(request.mid(kSetRequest.size()).trimmed())
                                          .split(QLatin1Char(' '), Qt::SkipEmptyParts);
            // One request per connection: nothing more is read while the answer may still come.
            QObject::disconnect(client, &QLocalSocket::readyRead, this, nullptr);
            QPointer<QLocalSocket> guarded(client);
            Reply reply = [guarded](bool set, const QString& text) {
                if (!guarded)
                    return;
                guarded->write((set ? "ok " : "no ") + text.simplified().toUtf8().left(kMaxAnswer - 8) +
                               '\n');
                guarded->flush();
                guarded->disconnectFromServer();
            };
            if (switchHandler_)
                switchHandler_(words, std::move(reply));
            else
                reply(false, QStringLiteral("this copy of Orvel cannot set switches"));
            return;
        }
        client->disconnectFromServer();
    });
}

} // namespace orvel
