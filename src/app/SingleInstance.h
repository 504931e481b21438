#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class QLocalServer;
class QLocalSocket;

namespace orvel {

// Keeps Orvel to one running copy per user and preferences store: two copies would fight over the
// "Orvel" MIDI destination, the lights and the preferences file. The first copy listens on a local
// socket; a later one asks it to show its settings window, or to set switches given on its command
// line, and then steps aside.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    enum class Role {
        Primary,      // no other copy runs: this one goes on (and now answers later copies)
        HandedOver,   // another copy runs and has shown its window or answered: this one should exit
        Unresponsive, // another copy holds the socket but did not answer
    };

    // `serverName`: a full socket path, or a plain name placed in the temporary directory.
    explicit SingleInstance(QString serverName = defaultServerName(), QObject* parent = nullptr);
    ~SingleInstance() override;

    // Decides this process's role. Safe against two copies starting at the same moment: the
    // decision is taken under a lock file beside the socket. A stale socket left by a crashed
    // copy is removed. When the socket cannot be opened at all the answer is Primary, with a line
    // on standard output, so a broken runtime directory never keeps Orvel from starting.
    // With `switches` (command-line words, see switchArguments()), a running copy is asked to set
    // them instead of showing its window; answer() then holds what it said.
    Role claim(int answerTimeoutMs = 3000, const QStringList& switches = {});

    // The running copy's answer to switches: whether it set them, and what it did or why not.
    bool switchesSet() const { return switchesSet_; }
    const QString& answer() const { return answer_; }

    // Sets switches a later copy asked for; `reply` (once, possibly later) says whether they were
    // set and what happened. Without a handler such requests are refused.
    using Reply = std::function<void(bool set, const QString& text)>;
    void setSwitchHandler(std::function<void(const QStringList& switches, Reply reply)> handler)
    {
        switchHandler_ = std::move(handler);
    }

    const QString& serverName() const { return serverName_; }

    // $XDG_RUNTIME_DIR/orvel-<hash>.sock, or orvel-<uid>-<hash> in the temporary directory when
    // there is no runtime directory; the hash is of the preferences file's path.
    static QString defaultServerName();

Q_SIGNALS:
    // A later copy asked for the settings window.
    void showRequested();

private:
    Role askRunningCopy(QLocalSocket& socket, int answerTimeoutMs, const QStringList& switches);
    void serve(QLocalSocket* client);

    QString serverName_;
    QLocalServer* server_ = nullptr;
    std::function<void(const QStringList&, Reply)> switchHandler_;
    bool switchesSet_ = false;
    QString answer_;
};

} // namespace orvel
