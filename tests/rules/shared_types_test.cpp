#include "rules/LightOption.h"
#include "rules/Queue.h"
#include "rules/SharedInt.h"
#include "support/TestMain.h"

#include <QSignalSpy>

#include <unordered_set>

using namespace orvel;

class SharedTypesTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void queueIsFirstInFirstOut()
    {
        Queue<quint64> queue;
        QCOMPARE(queue.dequeue(), std::nullopt);
        QVERIFY(queue.elements.isEmpty());

        for (quint64 v : {1, 2, 3, 4}) {
            queue.enqueue(v);
            if (queue.elements.size() >= 4)
                QCOMPARE(queue.dequeue(), std::optional<quint64>(1));
        }
        QCOMPARE(queue.elements, (QList<quint64>{2, 3, 4}));
    }

    void lightOptionsAreIdentifiedByPositionAlone()
    {
        const LightOption reachable{2, QStringLiteral("Desk")};
        const LightOption unreachable{2, QStringLiteral("Desk (unreachable)")};
        QCOMPARE(reachable, unreachable);
        QCOMPARE(qHash(reachable), qHash(unreachable));
        std::unordered_set<LightOption> set{reachable, unreachable, LightOption{3, QStringLiteral("Desk")}};
        QCOMPARE(set.size(), std::size_t(2));
    }

    void sharedIntStartsAtOneAndNotifiesEveryAssignment()
    {
        SharedInt cell;
        QCOMPARE(cell.val(), qint64(1));
        QSignalSpy spy(&cell, &SharedInt::changed);
        cell.setVal(4);
        cell.setVal(4);
        QCOMPARE(spy.count(), 2);
        QCOMPARE(cell.val(), qint64(4));
    }
};

ORVEL_TEST_MAIN(SharedTypesTest)
#include "shared_types_test.moc"
