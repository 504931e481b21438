#include "platform/MainQueue.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>

#include <cmath>
#include <map>
#include <set>
#include <utility>

namespace orvel {

namespace {

MainQueue* g_installed = nullptr;

// Time is kept in whole microseconds so that sums such as 2.0 + 0.1 * 6 land where expected.
qint64 toMicros(double seconds)
{
    if (!std::isfinite(seconds) || seconds < 0)
        return 0;
    return std::llround(seconds * 1e6);
}

} // namespace

MainQueue& MainQueue::shared()
{
    if (g_installed)
        return *g_installed;
    static QtMainQueue qtQueue;
    return qtQueue;
}

void MainQueue::install(MainQueue* queue)
{
    g_installed = queue;
}

ScopedMainQueue::ScopedMainQueue(MainQueue& queue)
    : previous_(g_installed)
{
    MainQueue::install(&queue);
}

ScopedMainQueue::~ScopedMainQueue()
{
    MainQueue::install(previous_);
}

// ---------------------------------------------------------------------------------------------
// Qt event loop

namespace {

using LiveTimers = std::set<std::shared_ptr<RepeatingTimer>>;

// What both queues' timers share: the tick, the user info, and the queue's hold on the timer,
// which keeps it alive until it is invalidated.
class TimerBase : public RepeatingTimer, public std::enable_shared_from_this<TimerBase> {
public:
    TimerBase(double interval, QVariant userInfo, TimerTick tick, LiveTimers* live)
        : interval_(interval)
        , userInfo_(std::move(userInfo))
        , tick_(std::move(tick))
        , live_(live)
    {}

    void fire() override
    {
        if (!valid_)
            return;
        auto keepAlive = shared_from_this();
        tick_(*this);
    }

    void invalidate() override
    {
        if (!valid_)
            return;
        valid_ = false;
        stopped();
        auto self = shared_from_this();
        live_->erase(self);
    }

    bool isValid() const override { return valid_; }
    double interval() const override { return interval_; }
    const QVariant& userInfo() const override { return userInfo_; }

protected:
    virtual void stopped() {}

private:
    double interval_;
    QVariant userInfo_;
    TimerTick tick_;
    LiveTimers* live_;
    bool valid_ = true;
};

class QtRepeatingTimer final : public TimerBase {
public:
    using TimerBase::TimerBase;

    void start()
    {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(static_cast<int>(toMicros(interval()) / 1000));
        QObject::connect(&timer_, &QTimer::timeout, [this] { fire(); });
        timer_.start();
    }

protected:
    void stopped() override { timer_.stop(); }

private:
    QTimer timer_;
};

} // namespace

struct QtMainQueue::Impl {
    QElapsedTimer clock;
    LiveTimers liveTimers;
};

QtMainQueue::QtMainQueue()
    : d(std::make_unique<Impl>())
{
    d->clock.start();
}

QtMainQueue::~QtMainQueue() = default;

void QtMainQueue::after(double seconds, std::function<void()> step)
{
    auto* app = QCoreApplication::instance();
    const int ms = static_cast<int>(toMicros(seconds) / 1000);
    if (!app) {
        // No event loop to wait on (a command-line tool before QCoreApplication exists).
        return;
    }
    QTimer::singleShot(ms, Qt::PreciseTimer, app, std::move(step));
}

std::shared_ptr<RepeatingTimer> QtMainQueue::scheduleRepeating(double interval, QVariant userInfo,
                                                               TimerTick tick)
{
    auto timer =
        std::make_shared<QtRepeatingTimer>(interval, std::move(userInfo), std::move(tick), &d->liveTimers);
    d->liveTimers.insert(timer);
    timer->start();
    return timer;
}

double QtMainQueue::now() const
{
    return static_cast<double>(d->clock.nsecsElapsed()) / 1e9;
}

// ---------------------------------------------------------------------------------------------
// Manual clock

struct ManualClock::Impl {
    qint64 nowMicros = 0;
    quint64 nextSequence = 0;
    // (due time, sequence) -> step. Timers put their next tick in here as a step too.
    std::map<std::pair<qint64, quint64>, std::function<void()>> steps;
    std::size_t timerEntries = 0;
    LiveTimers liveTimers;

    void schedule(qint64 due, std::function<void()> step)
    {
        steps.emplace(std::make_pair(due, nextSequence++), std::move(step));
    }
};

namespace {

class ManualTimer final : public TimerBase {
public:
    ManualTimer(ManualClock::Impl* clock, double interval, QVariant userInfo, TimerTick tick)
        : TimerBase(interval, std::move(userInfo), std::move(tick), &clock->liveTimers)
        , clock_(clock)
    {}

    // Puts the next tick on the clock; a tick that finds the timer stopped does nothing.
    void armNext()
    {
        const qint64 step = std::max<qint64>(1, toMicros(interval()));
        std::weak_ptr<TimerBase> weak = shared_from_this();
        ++clock_->timerEntries;
        clock_->schedule(clock_->nowMicros + step, [weak, clock = clock_] {
            --clock->timerEntries;
            if (auto self = std::static_pointer_cast<ManualTimer>(weak.lock()); self && self->isValid()) {
                self->armNext();
                self->fire();
            }
        });
    }

private:
    ManualClock::Impl* clock_;
};

} // namespace

ManualClock::ManualClock()
    : d(std::make_unique<Impl>())
{}

ManualClock::~ManualClock() = default;

void ManualClock::after(double seconds, std::function<void()> step)
{
    d->schedule(d->nowMicros + toMicros(seconds), std::move(step));
}

std::shared_ptr<RepeatingTimer> ManualClock::scheduleRepeating(double interval, QVariant userInfo,
                                                               TimerTick tick)
{
    auto timer = std::make_shared<ManualTimer>(d.get(), interval, std::move(userInfo), std::move(tick));
    d->liveTimers.insert(timer);
    timer->armNext();
    return timer;
}

double ManualClock::now() const
{
    return static_cast<double>(d->nowMicros) / 1e6;
}

void ManualClock::advance(double seconds)
{
    const qint64 target = d->nowMicros + toMicros(seconds);
    while (!d->steps.empty()) {
        auto first = d->steps.begin();
        if (first->first.first > target)
            break;
        d->nowMicros = std::max(d->nowMicros, first->first.first);
        auto step = std::move(first->second);
        d->steps.erase(first);
        step();
    }
    d->nowMicros = target;
}

std::size_t ManualClock::pendingSteps() const
{
    return d->steps.size() - d->timerEntries;
}

} // namespace orvel
