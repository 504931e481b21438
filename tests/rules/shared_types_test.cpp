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
    void queueOptionAndSharedIntBehave()
    {
        Queue<quint64> queue; // first in, first out
        QCOMPARE(queue.dequeue(), std::nullopt);
        for (quint64 v : {1, 2, 3, 4})
            queue.enqueue(v);
        QCOMPARE(queue.dequeue(), std::optional<quint64>(1));
        QCOMPARE(queue.elements, (QList<quint64>{2, 3, 4}));

        // A light option is its position; the name may say "(unreachable)".
        const LightOption reachable{2, QStringLiteral("Desk")};
        const LightOption unreachable{2, QStringLiteral("Desk (unreachable)")};
        QCOMPARE(qHash(reachable), qHash(unreachable));
        std::unordered_set<LightOption> set{reachable, unreachable, LightOption{3, QStringLiteral("Desk")}};
        QCOMPARE(set.size(), std::size_t(2));

        SharedInt cell; // starts at one and tells of every assignment, even an unchanged value
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
