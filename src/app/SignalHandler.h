#pragma once

#include <QList>
#include <QObject>

class QSocketNotifier;

namespace orvel {

// Turns Unix signals into a Qt signal on the main thread. The handler itself only writes the
// signal number into a pipe (all a signal handler may safely do); the main loop reads it there.
// One instance per process.
class SignalHandler : public QObject {
    Q_OBJECT
public:
    explicit SignalHandler(QObject* parent = nullptr);
    ~SignalHandler() override;

    // Starts catching `numbers` (SIGTERM, SIGINT, ...). False, with a line on standard output,
    // when the pipe or a handler could not be set up.
    bool watch(const QList<int>& numbers);

Q_SIGNALS:
    void received(int signal);

private:
    void drain();

    int fds_[2] = {-1, -1};
    QSocketNotifier* notifier_ = nullptr;
    QList<int> watched_;
};

} // namespace orvel
