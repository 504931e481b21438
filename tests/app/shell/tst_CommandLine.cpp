#include "app/BuildInfo.h"
#include "app/CommandLine.h"
#include "support/TestMain.h"

using namespace orvel;

Q_DECLARE_METATYPE(orvel::LaunchOptions::Action)

class CommandLineTest : public QObject {
    Q_OBJECT

private slots:
    void parses_data();
    void parses();
};

void CommandLineTest::parses_data()
{
    using Action = LaunchOptions::Action;
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<Action>("action");
    QTest::addColumn<QString>("bridgeHost");
    QTest::addColumn<QString>("textPart");

    QTest::newRow("nothing") << QStringList{} << Action::Run << QString() << QString();
    QTest::newRow("help") << QStringList{"--help"} << Action::ShowHelp << QString()
                          << "--bridge <HOST[:PORT]>";
    QTest::newRow("help names the program")
        << QStringList{"-h"} << Action::ShowHelp << QString() << "Usage: orvel";
    QTest::newRow("version") << QStringList{"--version"} << Action::ShowVersion << QString()
                             << QStringLiteral("Orvel %1 (build %2)").arg(build::version, build::buildNumber);
    QTest::newRow("address") << QStringList{"--bridge", "192.168.1.20"} << Action::Run << "192.168.1.20"
                             << QString();
    QTest::newRow("address and port")
        << QStringList{"--bridge=127.0.0.1:8080"} << Action::Run << "127.0.0.1:8080" << QString();
    QTest::newRow("host name") << QStringList{"--bridge", " hue-bridge.local "} << Action::Run
                               << "hue-bridge.local" << QString();
    QTest::newRow("bare IPv6") << QStringList{"--bridge", "fe80::1"} << Action::Run << "[fe80::1]"
                               << QString();
    QTest::newRow("IPv6 and port") << QStringList{"--bridge", "[::1]:80"} << Action::Run << "[::1]:80"
                                   << QString();
    QTest::newRow("last --bridge counts")
        << QStringList{"--bridge", "a", "--bridge", "b"} << Action::Run << "b" << QString();

    QTest::newRow("scheme") << QStringList{"--bridge", "http://10.0.0.2"} << Action::Fail << QString()
                            << "without a scheme";
    QTest::newRow("path") << QStringList{"--bridge", "10.0.0.2/api"} << Action::Fail << QString()
                          << "is not a host name or address";
    QTest::newRow("user info") << QStringList{"--bridge", "me@10.0.0.2"} << Action::Fail << QString()
                               << "is not a host name or address";
    QTest::newRow("empty") << QStringList{"--bridge", ""} << Action::Fail << QString() << "the host is empty";
    QTest::newRow("port zero") << QStringList{"--bridge", "10.0.0.2:0"} << Action::Fail << QString()
                               << "the port must be a number from 1 to 65535";
    QTest::newRow("port too big") << QStringList{"--bridge", "10.0.0.2:65536"} << Action::Fail << QString()
                                  << "the port must be a number from 1 to 65535";
    QTest::newRow("port not a number") << QStringList{"--bridge", "10.0.0.2:+80"} << Action::Fail << QString()
                                       << "the port must be a number";
    QTest::newRow("empty port") << QStringList{"--bridge", "10.0.0.2:"} << Action::Fail << QString()
                                << "the port must be a number";
    QTest::newRow("bad IPv6") << QStringList{"--bridge", "[nope]:80"} << Action::Fail << QString()
                              << "is not an IPv6 address";
    QTest::newRow("missing value") << QStringList{"--bridge"} << Action::Fail << QString() << "Missing value";
    QTest::newRow("unknown option") << QStringList{"--fast"} << Action::Fail << QString() << "Unknown option";
    QTest::newRow("stray argument") << QStringList{"lights"} << Action::Fail << QString()
                                    << "unexpected argument \"lights\"";
}

void CommandLineTest::parses()
{
    QFETCH(QStringList, arguments);
    QFETCH(LaunchOptions::Action, action);
    QFETCH(QString, bridgeHost);
    QFETCH(QString, textPart);

    arguments.prepend(QStringLiteral("orvel"));
    const LaunchOptions options = parseCommandLine(arguments);
    QCOMPARE(options.action, action);
    QCOMPARE(options.bridgeHost, bridgeHost);
    if (!textPart.isEmpty())
        QVERIFY2(options.text.contains(textPart), qPrintable(options.text));
}

ORVEL_TEST_MAIN(CommandLineTest)
#include "tst_CommandLine.moc"
