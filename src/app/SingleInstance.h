#pragma once

#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

namespace orvel {

// Keeps Orvel to one running copy per user and preferences store: two copies would fight over the
// "Orvel" MIDI destination, the lights and the preferences file. The first copy listens on a local
// socket; a later one asks it to show its settings window and then steps aside.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    enum class Role {
        Primary,      // no other copy runs: this one goes on (and now answers later copies)
        HandedOver,   // another copy runs and has shown its window: this one should exit
        Unresponsive, // another copy holds the socket but did not answer
    };

    // `serverName`: a full socket path, or a plain name placed in the temporary directory.
    explicit SingleInstance(QString serverName = defaultServerName(), QObject* parent = nullptr);
    ~SingleInstance() override;

    // Decides this process's role. Safe against two copies starting at the same moment: the
    // decision is taken under a lock file beside the socket. A stale socket left by a crashed
    // copy is removed. When the socket cannot be opened at all the answer is Primary, with a line
    // on standard output, so a broken runtime directory never keeps Orvel from starting.
    Role claim(int answerTimeoutMs = 3000);

    const QString& serverName() const { return serverName_; }

    // $XDG_RUNTIME_DIR/orvel-<hash>.sock, or orvel-<uid>-<hash> in the temporary directory when
    // there is no runtime directory; the hash is of the preferences file's path.
    static QString defaultServerName();

Q_SIGNALS:
    // A later copy asked for the settings window.
    void showRequested();

private:
    Role askRunningCopy(QLocalSocket& socket, int answerTimeoutMs);
    void serve(QLocalSocket* client);

    QString serverName_;
    QLocalServer* server_ = nullptr;
};

} // namespace orvel
