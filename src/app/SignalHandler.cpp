#include "app/SignalHandler.h"

#include "platform/Console.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace orvel {

namespace {

// Written by the handler, so it must be a plain integer set before any handler is installed.
volatile sig_atomic_t g_writeFd = -1;

extern "C" void forwardSignal(int signal)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signal);
    // A full pipe means the main loop already has signals to read; losing this one is fine.
    [[maybe_unused]] const ssize_t written = ::write(g_writeFd, &byte, 1);
    errno = savedErrno;
}

} // namespace

SignalHandler::SignalHandler(QObject* parent)
    : QObject(parent)
{}

SignalHandler::~SignalHandler()
{
    for (int signal : std::as_const(watched_)) {
        struct sigaction action {};
        action.sa_handler = SIG_DFL;
        sigemptyset(&action.sa_mask);
        ::sigaction(signal, &action, nullptr);
    }
    g_writeFd = -1;
    for (int fd : fds_) {
        if (fd >= 0)
            ::close(fd);
    }
}

bool SignalHandler::watch(const QList<int>& numbers)
{
    if (fds_[0] < 0) {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds_) != 0) {
            printLine(QStringLiteral("cannot watch for signals: ") +
                      QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
        g_writeFd = fds_[1];
        notifier_ = new QSocketNotifier(fds_[0], QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, &SignalHandler::drain);
    }
    bool ok = true;
    for (int signal : numbers) {
        struct sigaction action {};
        action.sa_handler = forwardSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        if (::sigaction(signal, &action, nullptr) != 0) {
            printLine(QStringLiteral("cannot catch signal %1: %2")
                          .arg(signal)
                          .arg(QString::fromLocal8Bit(std::strerror(errno))));
            ok = false;
            continue;
        }
        watched_.append(signal);
    }
    return ok;
}

void SignalHandler::drain()
{
    unsigned char bytes[16];
    for (;;) {
        const ssize_t count = ::read(fds_[0], bytes, sizeof bytes);
        if (count <= 0)
            break;
        for (ssize_t i = 0; i < count; ++i)
            Q_EMIT received(bytes[i]);
    }
}

} // namespace orvel
