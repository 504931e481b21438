#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>

#include <functional>

namespace orvel::bench {

// Runs the event loop until `done` holds or `timeoutMs` have passed; false on time-out.
inline bool waitFor(const std::function<bool()>& done, int timeoutMs = 5000)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    }
    return true;
}

} // namespace orvel::bench
