// The process-level services of the shell: one running copy per user and store, and Unix signals
// delivered to the main loop.

#include "app/SignalHandler.h"
#include "app/SingleInstance.h"
#include "support/TestMain.h"

#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>

#include <atomic>
#include <csignal>

using namespace orvel;

namespace {

// A thread standing for another process: `setUp` runs there on `object`, which is deleted when
// the thread ends.
class OtherProcess : public QThread {
public:
    template <typename T, typename F> OtherProcess(T* object, F setUp)
    {
        start();
        object->moveToThread(this);
        connect(this, &QThread::finished, object, &QObject::deleteLater);
        QMetaObject::invokeMethod(
            object, [&] { setUp(object); }, Qt::BlockingQueuedConnection);
    }
    ~OtherProcess() override
    {
        quit();
        wait();
    }
};

} // namespace

class ProcessServicesTest : public QObject {
    Q_OBJECT

    QString socketPath(const char* name) const { return dir_.filePath(QString::fromLatin1(name)); }
    QTemporaryDir dir_;

private slots:
    void firstCopyIsPrimaryAndALaterOneHandsOver()
    {
        {
            std::atomic<int> shows = 0;
            auto role = SingleInstance::Role::Unresponsive;
            OtherProcess running(new SingleInstance(socketPath("handover")), [&](SingleInstance* first) {
                connect(first, &SingleInstance::showRequested, first, [&shows] { ++shows; });
                role = first->claim();
            });
            QCOMPARE(role, SingleInstance::Role::Primary);
            QCOMPARE(SingleInstance(socketPath("handover")).claim(), SingleInstance::Role::HandedOver);
            QTRY_COMPARE(shows.load(), 1);
        }
        // The copy is gone: the next start is the running one.
        QCOMPARE(SingleInstance(socketPath("handover")).claim(), SingleInstance::Role::Primary);
    }

    void aStaleSocketIsReplaced()
    {
        // What a crashed copy leaves behind: something at the name that nobody listens on.
        QFile leftover(socketPath("stale"));
        QVERIFY(leftover.open(QIODevice::WriteOnly));
        leftover.close();

        SingleInstance instance(socketPath("stale"));
        QCOMPARE(instance.claim(), SingleInstance::Role::Primary);
        QLocalSocket probe;
        probe.connectToServer(socketPath("stale"));
        QVERIFY(probe.waitForConnected(1000));
    }

    void aCopyThatDoesNotAnswerIsReported()
    {
        bool listening = false;
        OtherProcess silent(new QLocalServer,
                            [&](QLocalServer* server) { listening = server->listen(socketPath("silent")); });
        QVERIFY(listening);
        QCOMPARE(SingleInstance(socketPath("silent")).claim(300), SingleInstance::Role::Unresponsive);
    }

    void signalsArriveOnTheMainLoop()
    {
        SignalHandler handler;
        QVERIFY(handler.watch({SIGUSR1, SIGUSR2}));
        QSignalSpy received(&handler, &SignalHandler::received);
        // The same signal twice is two deliveries: a second Ctrl-C must reach the shutdown.
        const QList<int> sent{SIGUSR1, SIGUSR2, SIGUSR1};
        for (int number : sent)
            ::raise(number);
        QTRY_COMPARE(received.size(), sent.size());
        for (qsizetype i = 0; i < sent.size(); ++i)
            QCOMPARE(received[i][0].toInt(), sent[i]);
    }
};

ORVEL_TEST_MAIN(ProcessServicesTest)
#include "tst_ProcessServices.moc"
