// The Bridge window over the real bridge client, against the bridge simulator and other servers on
// 127.0.0.1: each kind of address gets its own message.

#include "BridgeSimulator.h"
#include "app/BridgeWindow.h"
#include "controller/bridge/HttpHueBridgeServices.h"
#include "platform/Preferences.h"
#include "support/TestMain.h"

#include <QHttpServer>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QSignalSpy>
#include <QTcpServer>

using namespace orvel;

namespace {

const QString kUser = u"windowuser0123456789"_qs;

} // namespace

class BridgeWindowTest : public QObject {
    Q_OBJECT

private slots:
    void eachAddressGetsItsMessage_data()
    {
        QTest::addColumn<QString>("kind"); // what the address leads to
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("used");
        QTest::newRow("not an address")
            << u"scheme"_qs
            << u"\"http://10.0.0.2\" is not a bridge address: give the host without "
               u"a scheme"_qs
            << false;
        QTest::newRow("nothing there") << u"closed"_qs << u"No answer from 127.0.0.1:"_qs << false;
        QTest::newRow("a web server") << u"web"_qs << u"answers, but it is not a Hue bridge."_qs << false;
        QTest::newRow("unpaired bridge")
            << u"unpaired"_qs << u"'Orvel Sim' at 127.0.0.1:%1 is a Hue bridge. Press the link button"_qs
            << true;
        QTest::newRow("paired bridge")
            << u"paired"_qs << u"Connected to the Hue bridge 'Orvel Sim' at 127.0.0.1:%1."_qs << true;
    }

    void eachAddressGetsItsMessage()
    {
        QFETCH(QString, kind);
        QFETCH(QString, message);
        QFETCH(bool, used);
        sim::BridgeSimulator sim;
        sim::SimOptions options;
        if (kind == u"paired"_qs) {
            options.fixedUser = kUser;
            Preferences::standard().setText(u"hue_username"_qs, kUser);
        } else {
            Preferences::standard().remove(u"hue_username"_qs);
        }
        QString error;
        QVERIFY2(sim.start(options, &error), qPrintable(error));
        QHttpServer web;
        const quint16 webPort = web.listen(QHostAddress::LocalHost, 0);
        QVERIFY(webPort != 0);

        QTcpServer closed; // a port that nothing listens on
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const quint16 closedPort = closed.serverPort();
        closed.close();
        const QMap<QString, QString> addresses{{u"scheme"_qs, u"http://10.0.0.2"_qs},
                                               {u"closed"_qs, u"127.0.0.1:%1"_qs.arg(closedPort)},
                                               {u"web"_qs, u"127.0.0.1:%1"_qs.arg(webPort)}};
        const QString address = addresses.value(kind, sim.hostAndPort());

        // Discovery knows only the simulator: nothing leaves the machine.
        DiscoveryOptions discovery;
        discovery.useMdns = false;
        discovery.useCloud = false;
        discovery.hosts = {sim.hostAndPort()};
        auto services = std::make_shared<HttpHueBridgeServices>(BridgeClientOptions{}, discovery);
        QStringList usedHosts;
        BridgeWindow window(services, nullptr, [&](const QString& host) { usedHosts << host; });
        window.show();
        QTRY_COMPARE(window.foundList()->count(), 1);
        QCOMPARE(window.foundList()->item(0)->text(), sim.hostAndPort());
        QCOMPARE(window.connectedLabel()->text(), u"Not connected to a bridge yet."_qs);

        QSignalSpy checked(&window, &BridgeWindow::checked);
        window.addressField()->setText(address);
        window.connectToAddress();
        QTRY_COMPARE_WITH_TIMEOUT(checked.size(), 1, 10000);
        const QString expected = message.contains(u"%1"_qs) ? message.arg(sim.port()) : message;
        QVERIFY2(window.feedback()->text().contains(expected), qPrintable(window.feedback()->text()));
        QCOMPARE(usedHosts, used ? QStringList{address} : QStringList{});
    }
};

ORVEL_TEST_MAIN(BridgeWindowTest)
#include "tst_BridgeWindow.moc"
