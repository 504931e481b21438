#pragma once

#include <QVariant>

#include <cstdint>
#include <functional>
#include <memory>

namespace orvel {

// A repeating timer on the main queue. It keeps ticking until invalidated; fire() runs one tick
// at once without moving the regular schedule.
class RepeatingTimer {
public:
    virtual ~RepeatingTimer() = default;
    virtual void fire() = 0;
    virtual void invalidate() = 0;
    virtual bool isValid() const = 0;
    virtual double interval() const = 0;
    virtual const QVariant& userInfo() const = 0;
};

using TimerTick = std::function<void(RepeatingTimer&)>;

// The one place where delayed work and timers are scheduled. Everything runs on the main thread.
// Steps are never cancelled: a step holds what it captured until it has run.
class MainQueue {
public:
    virtual ~MainQueue() = default;

    // Runs `step` on the main thread `seconds` from now. Steps due at the same time run in the
    // order they were scheduled.
    virtual void after(double seconds, std::function<void()> step) = 0;

    // Starts a timer ticking every `interval` seconds, first tick one interval from now. The queue
    // keeps the timer alive until it is invalidated.
    virtual std::shared_ptr<RepeatingTimer> scheduleRepeating(double interval, QVariant userInfo,
                                                              TimerTick tick) = 0;

    // Seconds since an arbitrary start; only differences mean something.
    virtual double now() const = 0;

    // The queue the program uses: the Qt event loop, unless a test installed its own clock.
    static MainQueue& shared();
    // Installs `queue` as the shared one (nullptr restores the Qt one). The caller keeps ownership.
    static void install(MainQueue* queue);
};

// Production queue: QTimer single shots and repeating QTimers on the thread that owns the
// QCoreApplication.
class QtMainQueue final : public MainQueue {
public:
    QtMainQueue();
    ~QtMainQueue() override;
    void after(double seconds, std::function<void()> step) override;
    std::shared_ptr<RepeatingTimer> scheduleRepeating(double interval, QVariant userInfo,
                                                      TimerTick tick) override;
    double now() const override;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// Test queue: time stands still until advance() moves it, running every due step and tick in
// time order (the order of scheduling breaks ties).
class ManualClock final : public MainQueue {
public:
    ManualClock();
    ~ManualClock() override;
    void after(double seconds, std::function<void()> step) override;
    std::shared_ptr<RepeatingTimer> scheduleRepeating(double interval, QVariant userInfo,
                                                      TimerTick tick) override;
    double now() const override;

    // Moves time forward by `seconds`, running everything that falls due on the way.
    void advance(double seconds);
    // Runs what is due now without moving time (steps scheduled with a zero delay).
    void runDue() { advance(0); }
    // Steps still waiting to run (timers not counted).
    std::size_t pendingSteps() const;

    struct Impl; // shared with the clock's timers

private:
    std::unique_ptr<Impl> d;
};

// Installs a queue for the lifetime of the guard; restores the previous one afterwards.
class ScopedMainQueue {
public:
    explicit ScopedMainQueue(MainQueue& queue);
    ~ScopedMainQueue();
    ScopedMainQueue(const ScopedMainQueue&) = delete;
    ScopedMainQueue& operator=(const ScopedMainQueue&) = delete;

private:
    MainQueue* previous_;
};

} // namespace orvel
