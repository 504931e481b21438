#include "platform/MainQueue.h"
#include "support/TestMain.h"

#include <QElapsedTimer>

#include <cmath>

using namespace orvel;

class MainQueueTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void stepsRunInTimeThenSchedulingOrderOnTheManualClockAndTheEventLoop()
    {
        ManualClock clock;
        QStringList ran;
        const auto step = [&](const char* name) {
            return [&, name] { ran << QString::asprintf("%s@%lld", name, std::llround(clock.now() * 1e6)); };
        };
        clock.after(2.0, step("b"));
        clock.after(1.0, step("a"));
        clock.after(2.0, step("c"));
        // The 17th light of a flash test waits 2.5 + 0.1 * 16 s: it runs on the tick of 4.1 s, not
        // a microsecond early; three steps of 0.1 s end on the tick of 0.3 s.
        clock.after(2.5 + 0.1 * 16, step("y"));
        clock.after(0.1, [&, step] { clock.after(0.1, [&, step] { clock.after(0.1, step("x")); }); });
        for (int i = 0; i < 3; ++i)
            clock.advance(0.1);
        QCOMPARE(ran, (QStringList{"x@300000"}));
        clock.advance(1.7);
        for (int i = 0; i < 21; ++i)
            clock.advance(0.1);
        QCOMPARE(ran, (QStringList{"x@300000", "a@1000000", "b@2000000", "c@2000000", "y@4100000"}));
        QCOMPARE(clock.pendingSteps(), std::size_t(0));

        QList<qint64> ticks; // in tenths of a second
        auto timer = clock.scheduleRepeating(1.0, QStringLiteral("h"), [&](RepeatingTimer& t) {
            ticks << std::llround(clock.now() * 10);
            QCOMPARE(t.userInfo(), QVariant(QStringLiteral("h")));
            if (ticks.size() == 4)
                t.invalidate(); // from within its own tick
        });
        timer->fire(); // by hand: at once, schedule unchanged
        clock.advance(10);
        timer->fire();
        QCOMPARE(ticks, (QList<qint64>{41, 51, 61, 71}));

        // The Qt queue runs them on the event loop.
        QElapsedTimer elapsed;
        elapsed.start();
        qint64 ranAfter = -1;
        MainQueue::shared().after(0.05, [&] { ranAfter = elapsed.elapsed(); });
        QTRY_VERIFY_WITH_TIMEOUT(ranAfter >= 40, 5000); // not before its time

        int count = 0;
        auto repeating = MainQueue::shared().scheduleRepeating(0.02, {}, [&](RepeatingTimer&) { ++count; });
        QTRY_VERIFY_WITH_TIMEOUT(count >= 3, 5000);
        repeating->invalidate();
        const int stopped = count;
        QTest::qWait(60);
        QCOMPARE(count, stopped);
    }
};

ORVEL_TEST_MAIN(MainQueueTest)
#include "main_queue_test.moc"
