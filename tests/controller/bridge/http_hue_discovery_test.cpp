// Discovery by each of its ways, each pointed at a stand-in on loopback: the simulated bridge,
// a local HTTP server for the cloud lookup and a local UDP responder for mDNS.

#include "BridgeSimulator.h"
#include "controller/bridge/HttpHueDiscovery.h"
#include "controller/bridge/MdnsMessage.h"
#include "support/TestMain.h"

#include <QHttpServer>
#include <QHttpServerResponse>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkDatagram>
#include <QUdpSocket>

using namespace orvel;
using orvel::sim::BridgeSimulator;
using orvel::sim::SimOptions;

namespace {

class RecordingDelegate final : public HueDiscoveryDelegate {
public:
    void foundHueAt(const QString& host, const QString&) override { hosts << host; }
    QStringList hosts;
};

std::unique_ptr<BridgeSimulator> startSim(const QString& bridgeId = QStringLiteral("001788FFFE0A0B0C"))
{
    auto sim = std::make_unique<BridgeSimulator>();
    SimOptions options;
    options.bridgeId = bridgeId;
    QString error;
    if (!sim->start(options, &error))
        qFatal("simulator: %s", qPrintable(error));
    return sim;
}

// Only loopback; nothing ever goes to the real multicast group or the vendor's site.
DiscoveryOptions loopbackOnly()
{
    DiscoveryOptions options;
    options.useMdns = false;
    options.useCloud = false;
    options.mdnsAddress = QHostAddress::LocalHost;
    options.mdnsPort = 9; // replaced by tests that use it
    options.cloudUrl = QUrl(QStringLiteral("http://127.0.0.1:9/"));
    options.mdnsRepeatSeconds = 0.3;
    options.check.timeoutMs = 1500;
    return options;
}

struct Outcome {
    QStringList hosts;
    QString log;
};

Outcome discover(const DiscoveryOptions& options, int seconds = 2)
{
    RecordingDelegate delegate;
    HttpHueDiscovery discovery(&delegate, options);
    bool done = false;
    Outcome outcome;
    discovery.discoverForDuration(seconds, [&](const QString& log) {
        done = true;
        outcome.log = log;
    });
    (void)QTest::qWaitFor([&] { return done; }, (seconds + 5) * 1000);
    outcome.hosts = delegate.hosts;
    return outcome;
}

// Answers every _hue._tcp question with one announcement of `port` on 127.0.0.1, after a
// malformed packet, the way a crowded network might.
class MdnsResponder {
public:
    MdnsResponder(quint16 bridgePort, const QByteArray& bridgeId)
    {
        socket.bind(QHostAddress::LocalHost, 0);
        QObject::connect(&socket, &QUdpSocket::readyRead, [this, bridgePort, bridgeId] {
            while (socket.hasPendingDatagrams()) {
                const QNetworkDatagram question = socket.receiveDatagram();
                ++questions;
                if (!question.data().contains(QByteArray("\x04_hue\x04_tcp\x05local", 16)))
                    continue;
                socket.writeDatagram(QByteArray::fromHex("0000840000000001c00c"), question.senderAddress(),
                                     quint16(question.senderPort()));
                socket.writeDatagram(announcement(question.data().left(2), bridgePort, bridgeId),
                                     question.senderAddress(), quint16(question.senderPort()));
            }
        });
    }

    static QByteArray announcement(const QByteArray& id, quint16 port, const QByteArray& bridgeId)
    {
        QByteArray p = id;
        const auto u16 = [&p](int v) {
            p.append(char((v >> 8) & 0xFF));
            p.append(char(v & 0xFF));
        };
        const auto name = [&p](const QList<QByteArray>& labels) {
            for (const QByteArray& l : labels) {
                p.append(char(l.size()));
                p.append(l);
            }
            p.append('\0');
        };
        const auto record = [&](const QList<QByteArray>& owner, int type, const QByteArray& rdata) {
            name(owner);
            u16(type);
            u16(1);
            u16(0);
            u16(120);
            u16(int(rdata.size()));
            p.append(rdata);
        };
        const QList<QByteArray> service{"_hue", "_tcp", "local"};
        const QList<QByteArray> instance{"Philips Hue - 0A0B0C", "_hue", "_tcp", "local"};
        const auto encoded = [](const QList<QByteArray>& labels) {
            QByteArray out;
            for (const QByteArray& l : labels)
                out += char(l.size()) + l;
            return out + '\0';
        };
        u16(0x8400);
        u16(0);
        u16(1);
        u16(0);
        u16(3);
        record(service, mdns::kTypePtr, encoded(instance));
        QByteArray srv = QByteArray::fromHex("00000000");
        srv += char(port >> 8);
        srv += char(port & 0xFF);
        record(instance, mdns::kTypeSrv, srv + encoded({"bridge", "local"}));
        const QByteArray txt = "bridgeid=" + bridgeId;
        record(instance, mdns::kTypeTxt, char(txt.size()) + txt);
        record({"bridge", "local"}, mdns::kTypeA, QByteArray::fromHex("7f000001"));
        return p;
    }

    QUdpSocket socket;
    int questions = 0;
};

} // namespace

class HttpHueDiscoveryTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void checksTheHostsTheUserGave();
    void findsBridgesThroughTheCloudLookup();
    void logsWhenTheCloudLookupIsRateLimited();
    void findsBridgesByMdns();
    void reportsABridgeFoundEveryWayOnce();
};

void HttpHueDiscoveryTest::checksTheHostsTheUserGave()
{
    auto sim = startSim();
    QHttpServer notABridge;
    notABridge.route("/api/config", [] { return QHttpServerResponse("text/html", "<html>router</html>"); });
    const quint16 routerPort = notABridge.listen(QHostAddress::LocalHost, 0);

    DiscoveryOptions options = loopbackOnly();
    options.hosts = {sim->hostAndPort(), QStringLiteral(" %1 ").arg(sim->hostAndPort()),
                     QStringLiteral("127.0.0.1:%1").arg(routerPort), QStringLiteral("127.0.0.1:1"),
                     QStringLiteral("not a host/")};
    const Outcome outcome = discover(options, 2);
    QCOMPARE(outcome.hosts, QStringList{sim->hostAndPort()});
    QVERIFY2(outcome.log.contains(QStringLiteral("127.0.0.1:%1: no bridge").arg(routerPort)),
             qPrintable(outcome.log));
    QVERIFY(outcome.log.contains(QStringLiteral("127.0.0.1:1: no bridge")));
    QVERIFY(outcome.log.contains(QStringLiteral("bridge 001788FFFE0A0B0C \"Orvel Sim\" over http")));
    QVERIFY(outcome.log.endsWith(QStringLiteral("finished: 1 bridge(s) found")));
}

void HttpHueDiscoveryTest::findsBridgesThroughTheCloudLookup()
{
    auto sim = startSim();
    QHttpServer cloud;
    const QJsonArray list{
        QJsonObject{{"id", "001788fffe0a0b0c"}, {"internalipaddress", "127.0.0.1"}, {"port", sim->port()}},
        QJsonObject{{"id", "001788fffe0a0b0c"}, {"internalipaddress", "127.0.0.1"}, {"port", sim->port()}},
        QJsonObject{{"id", "001788fffe111111"}, {"internalipaddress", "203.0.113.7"}, {"port", 443}},
        QJsonObject{{"id", "broken"}, {"internalipaddress", "not-an-address"}},
        QJsonValue(17),
    };
    int asked = 0;
    cloud.route("/", [&] {
        ++asked;
        return QHttpServerResponse("application/json", QJsonDocument(list).toJson());
    });
    const quint16 port = cloud.listen(QHostAddress::LocalHost, 0);

    DiscoveryOptions options = loopbackOnly();
    options.useCloud = true;
    options.cloudUrl = QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(port));
    const Outcome outcome = discover(options, 2);
    QCOMPARE(asked, 1);
    QCOMPARE(outcome.hosts, QStringList{sim->hostAndPort()});
    // An address off the local network is never contacted.
    QVERIFY2(outcome.log.contains(QStringLiteral("203.0.113.7 is not a local address")),
             qPrintable(outcome.log));
    QVERIFY(!outcome.log.contains(QStringLiteral("checking 203.0.113.7")));
}

void HttpHueDiscoveryTest::logsWhenTheCloudLookupIsRateLimited()
{
    QHttpServer cloud;
    cloud.route("/", [] {
        return QHttpServerResponse("text/html", "<html>Too Many Requests</html>",
                                   QHttpServerResponder::StatusCode::TooManyRequests);
    });
    const quint16 port = cloud.listen(QHostAddress::LocalHost, 0);
    DiscoveryOptions options = loopbackOnly();
    options.useCloud = true;
    options.cloudUrl = QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(port));
    const Outcome outcome = discover(options, 1);
    QVERIFY(outcome.hosts.isEmpty());
    QVERIFY2(outcome.log.contains(QStringLiteral("rate-limited (HTTP 429)")), qPrintable(outcome.log));
}

void HttpHueDiscoveryTest::findsBridgesByMdns()
{
    auto sim = startSim();
    MdnsResponder responder(sim->port(), "001788FFFE0A0B0C");
    DiscoveryOptions options = loopbackOnly();
    options.useMdns = true;
    options.mdnsPort = responder.socket.localPort();
    const Outcome outcome = discover(options, 2);
    QCOMPARE(responder.questions, 2); // asked at the start and once more
    QCOMPARE(outcome.hosts, QStringList{sim->hostAndPort()});
    QVERIFY2(outcome.log.contains(QStringLiteral("mDNS: ignored a malformed answer from 127.0.0.1")),
             qPrintable(outcome.log));
    QVERIFY(outcome.log.contains(QStringLiteral("(bridge id 001788FFFE0A0B0C)")));
}

void HttpHueDiscoveryTest::reportsABridgeFoundEveryWayOnce()
{
    auto sim = startSim();
    auto other = startSim(QStringLiteral("001788FFFE0D0E0F"));
    MdnsResponder responder(sim->port(), "001788FFFE0A0B0C");
    QHttpServer cloud;
    cloud.route("/", [&] {
        return QHttpServerResponse("application/json",
                                   QJsonDocument(QJsonArray{QJsonObject{{"id", "001788fffe0a0b0c"},
                                                                        {"internalipaddress", "127.0.0.1"},
                                                                        {"port", sim->port()}},
                                                            QJsonObject{{"id", "001788fffe0d0e0f"},
                                                                        {"internalipaddress", "127.0.0.1"},
                                                                        {"port", other->port()}}})
                                       .toJson());
    });
    const quint16 cloudPort = cloud.listen(QHostAddress::LocalHost, 0);

    DiscoveryOptions options = loopbackOnly();
    options.useMdns = true;
    options.mdnsPort = responder.socket.localPort();
    options.useCloud = true;
    options.cloudUrl = QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(cloudPort));
    // The same bridge under another name of the same address: still the same bridge id.
    options.hosts = {sim->hostAndPort(), QStringLiteral("localhost:%1").arg(sim->port())};
    const Outcome outcome = discover(options, 2);
    QCOMPARE(outcome.hosts.size(), 2);
    QVERIFY(outcome.hosts.contains(sim->hostAndPort()) ||
            outcome.hosts.contains(QStringLiteral("localhost:%1").arg(sim->port())));
    QVERIFY(outcome.hosts.contains(other->hostAndPort()));
    QVERIFY(outcome.log.contains(QStringLiteral("was already reported")));
}

ORVEL_TEST_MAIN(HttpHueDiscoveryTest)
#include "http_hue_discovery_test.moc"
