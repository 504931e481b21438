// The process-level services of the shell: the command line, one running copy per user and store,
// and Unix signals delivered to the main loop.

#include "app/CommandLine.h"
#include "app/SignalHandler.h"
#include "app/SingleInstance.h"
#include "support/TestMain.h"

#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <csignal>

using namespace orvel;

class ProcessServicesTest : public QObject {
    Q_OBJECT

    QString socketPath(const char* name) const { return dir_.filePath(QString::fromLatin1(name)); }
    QTemporaryDir dir_;

private slots:
    void parses_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("bridgeHost");
        QTest::addColumn<QString>("complaint"); // part of the message; empty where Orvel runs

        QTest::newRow("address and port")
            << QStringList{"--bridge=127.0.0.1:8080"} << "127.0.0.1:8080" << QString();
        QTest::newRow("host name") << QStringList{"--bridge", " hue-bridge.local "} << "hue-bridge.local"
                                   << QString();
        QTest::newRow("bare IPv6") << QStringList{"--bridge", "fe80::1"} << "[fe80::1]" << QString();
        QTest::newRow("IPv6 and port") << QStringList{"--bridge", "[::1]:80"} << "[::1]:80" << QString();
        QTest::newRow("at login") << QStringList{"--login", "--bridge", "10.0.0.2"} << "10.0.0.2"
                                  << QString();

        QTest::newRow("scheme") << QStringList{"--bridge", "http://10.0.0.2"} << QString()
                                << "without a scheme";
        QTest::newRow("path") << QStringList{"--bridge", "10.0.0.2/api"} << QString()
                              << "is not a host name or address";
        QTest::newRow("port too big") << QStringList{"--bridge", "10.0.0.2:65536"} << QString()
                                      << "the port must be a number from 1 to 65535";
        QTest::newRow("bad IPv6") << QStringList{"--bridge", "[nope]:80"} << QString()
                                  << "is not an IPv6 address";
        QTest::newRow("switches") << QStringList{"--always-on=off", "--disable"} << QString() << QString();
        QTest::newRow("both ways") << QStringList{"--enable", "--disable"} << QString() << "not both";
        QTest::newRow("always on maybe") << QStringList{"--always-on", "maybe"} << QString() << "on or off";
        QTest::newRow("stray argument")
            << QStringList{"lights"} << QString() << "unexpected argument \"lights\"";
    }

    void parses()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, bridgeHost);
        QFETCH(QString, complaint);

        arguments.prepend(QStringLiteral("orvel"));
        const LaunchOptions options = parseCommandLine(arguments);
        QCOMPARE(options.action,
                 complaint.isEmpty() ? LaunchOptions::Action::Run : LaunchOptions::Action::Fail);
        QCOMPARE(options.bridgeHost, bridgeHost);
        QCOMPARE(options.atLogin, arguments.contains(u"--login"_qs));
        QVERIFY2(options.text.contains(complaint), qPrintable(options.text));
        // As a running copy is sent them: one order, whatever the order given.
        const QStringList switches{"--disable", "--always-on", "off"};
        QCOMPARE(switchArguments(options),
                 complaint.isEmpty() && arguments.contains(u"--disable"_qs) ? switches : QStringList());
    }

    // The hand-over to a running copy is checked end to end (tst_EndToEnd.cpp).
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
        // It listens but never reads: the kernel accepts the connection, nobody answers.
        QLocalServer silent;
        QVERIFY(silent.listen(socketPath("silent")));
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
