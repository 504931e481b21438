#include "platform/MainQueue.h"
#include "support/TestMain.h"

#include <QElapsedTimer>

using namespace orvel;

class MainQueueTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void manualClockRunsStepsInTimeThenSchedulingOrder()
    {
        ManualClock clock;
        QStringList ran;
        clock.after(2.0, [&] { ran << QStringLiteral("b"); });
        clock.after(1.0, [&] { ran << QStringLiteral("a"); });
        clock.after(2.0, [&] { ran << QStringLiteral("c"); });
        clock.advance(1.5);
        QCOMPARE(ran, QStringList{QStringLiteral("a")});
        clock.advance(0.5);
        QCOMPARE(ran, (QStringList{QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")}));
        QCOMPARE(clock.pendingSteps(), std::size_t(0));
    }

    void stepsScheduledWhileAdvancingRunWhenDue()
    {
        ManualClock clock;
        QList<double> times;
        clock.after(0.1, [&] {
            times << clock.now();
            clock.after(1.0, [&] { times << clock.now(); });
        });
        clock.advance(5);
        QCOMPARE(times, (QList<double>{0.1, 1.1}));
        QCOMPARE(clock.now(), 5.0);
    }

    void throttleDelaysLandExactly()
    {
        // 2.0 + 0.1 * i must not drift past a tick of 0.1 s.
        ManualClock clock;
        int ran = 0;
        clock.after(2.0 + 0.1 * 6, [&] { ++ran; });
        for (int i = 0; i < 26; ++i)
            clock.advance(0.1);
        QCOMPARE(ran, 1);
    }

    void repeatingTimerTicksUntilInvalidated()
    {
        ManualClock clock;
        QList<double> ticks;
        auto timer = clock.scheduleRepeating(
            1.0, QVariantMap{{QStringLiteral("host"), QStringLiteral("h")}}, [&](RepeatingTimer& t) {
                ticks << clock.now();
                QCOMPARE(t.userInfo().toMap().value(QStringLiteral("host")), QVariant(QStringLiteral("h")));
            });
        timer->fire(); // by hand: at once, schedule unchanged
        clock.advance(2.5);
        QCOMPARE(ticks, (QList<double>{0.0, 1.0, 2.0}));
        timer->invalidate();
        QVERIFY(!timer->isValid());
        clock.advance(5);
        QCOMPARE(ticks.size(), 3);
        timer->fire();
        QCOMPARE(ticks.size(), 3);
    }

    void timerMayInvalidateItselfWhileTicking()
    {
        ManualClock clock;
        int ticks = 0;
        std::weak_ptr<RepeatingTimer> weak = clock.scheduleRepeating(1.0, {}, [&](RepeatingTimer& t) {
            if (++ticks == 2)
                t.invalidate();
        });
        clock.advance(10);
        QCOMPARE(ticks, 2);
        QVERIFY(weak.expired()); // nobody holds it once stopped
    }

    void qtQueueRunsStepsAndTimersOnTheEventLoop()
    {
        auto& queue = MainQueue::shared();
        QElapsedTimer elapsed;
        elapsed.start();
        bool ran = false;
        queue.after(0.05, [&] { ran = true; });
        QVERIFY(!ran);
        QTRY_VERIFY_WITH_TIMEOUT(ran, 5000);
        QVERIFY(elapsed.elapsed() >= 40);

        int ticks = 0;
        auto timer = queue.scheduleRepeating(0.02, {}, [&](RepeatingTimer&) { ++ticks; });
        QTRY_VERIFY_WITH_TIMEOUT(ticks >= 3, 5000);
        timer->invalidate();
        const int stopped = ticks;
        QTest::qWait(60);
        QCOMPARE(ticks, stopped);
    }
};

ORVEL_TEST_MAIN(MainQueueTest)
#include "main_queue_test.moc"
