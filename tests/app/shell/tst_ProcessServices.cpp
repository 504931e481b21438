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

class ProcessServicesTest : public QObject {
    Q_OBJECT

private slots:
    void init() { QVERIFY(dir_.isValid()); }
    void firstCopyIsPrimaryAndALaterOneHandsOver();
    void aStaleSocketIsReplaced();
    void aCopyThatDoesNotAnswerIsReported();
    void theDefaultNameFollowsTheStore();
    void signalsArriveOnTheMainLoop();

private:
    QString socketPath(const char* name) const { return dir_.filePath(QString::fromLatin1(name)); }
    QTemporaryDir dir_;
};

void ProcessServicesTest::firstCopyIsPrimaryAndALaterOneHandsOver()
{
    // The running copy answers from a thread of its own, as another process would.
    QThread running;
    running.start();
    auto* first = new SingleInstance(socketPath("handover"));
    first->moveToThread(&running);
    std::atomic<int> shows = 0;
    connect(
        first, &SingleInstance::showRequested, first, [&shows] { ++shows; }, Qt::DirectConnection);
    SingleInstance::Role firstRole{};
    QMetaObject::invokeMethod(
        first, [first, &firstRole] { firstRole = first->claim(); }, Qt::BlockingQueuedConnection);
    QCOMPARE(firstRole, SingleInstance::Role::Primary);

    SingleInstance second(socketPath("handover"));
    QCOMPARE(second.claim(), SingleInstance::Role::HandedOver);
    QTRY_COMPARE(shows.load(), 1);
    SingleInstance third(socketPath("handover"));
    QCOMPARE(third.claim(), SingleInstance::Role::HandedOver);
    QTRY_COMPARE(shows.load(), 2);

    QMetaObject::invokeMethod(
        first, [first] { delete first; }, Qt::BlockingQueuedConnection);
    running.quit();
    running.wait();

    // The copy is gone: the next start is the running one.
    SingleInstance next(socketPath("handover"));
    QCOMPARE(next.claim(), SingleInstance::Role::Primary);
}

void ProcessServicesTest::aStaleSocketIsReplaced()
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

void ProcessServicesTest::aCopyThatDoesNotAnswerIsReported()
{
    QThread running;
    running.start();
    auto* silent = new QLocalServer;
    silent->moveToThread(&running);
    bool listening = false;
    QMetaObject::invokeMethod(
        silent, [&] { listening = silent->listen(socketPath("silent")); }, Qt::BlockingQueuedConnection);
    QVERIFY(listening);

    SingleInstance instance(socketPath("silent"));
    QCOMPARE(instance.claim(300), SingleInstance::Role::Unresponsive);

    QMetaObject::invokeMethod(
        silent, [silent] { delete silent; }, Qt::BlockingQueuedConnection);
    running.quit();
    running.wait();
}

void ProcessServicesTest::theDefaultNameFollowsTheStore()
{
    const QByteArray config = qgetenv("XDG_CONFIG_HOME");
    const QString here = SingleInstance::defaultServerName();
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir_.filePath(QStringLiteral("other"))));
    const QString elsewhere = SingleInstance::defaultServerName();
    qputenv("XDG_CONFIG_HOME", config);
    QVERIFY(here != elsewhere);
    QCOMPARE(SingleInstance::defaultServerName(), here);
}

void ProcessServicesTest::signalsArriveOnTheMainLoop()
{
    SignalHandler handler;
    QVERIFY(handler.watch({SIGUSR1, SIGUSR2}));
    QSignalSpy received(&handler, &SignalHandler::received);
    ::raise(SIGUSR1);
    ::raise(SIGUSR2);
    ::raise(SIGUSR1);
    QTRY_COMPARE(received.size(), 3);
    QCOMPARE(received[0][0].toInt(), SIGUSR1);
    QCOMPARE(received[1][0].toInt(), SIGUSR2);
    QCOMPARE(received[2][0].toInt(), SIGUSR1);
}

ORVEL_TEST_MAIN(ProcessServicesTest)
#include "tst_ProcessServices.moc"
