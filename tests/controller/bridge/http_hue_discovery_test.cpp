// Discovery by each of its ways, each pointed at a stand-in on loopback: the simulated bridge,
// a local HTTP server for the cloud lookup and a local UDP responder for mDNS; and the mDNS
// packets themselves.

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

namespace {

class RecordingDelegate final : public HueDiscoveryDelegate {
public:
    void foundHueAt(const QString& host, const QString&) override { hosts << host; }
    QStringList hosts;
};

std::unique_ptr<BridgeSimulator> startSim(const QString& bridgeId = QStringLiteral("001788FFFE0A0B0C"))
{
    auto sim = std::make_unique<BridgeSimulator>();
    sim::SimOptions options;
    options.bridgeId = bridgeId;
    if (!sim->start(options))
        qFatal("the simulator did not start");
    return sim;
}

// Only loopback; nothing ever goes to the real multicast group or the vendor's site.
DiscoveryOptions loopbackOnly(quint16 mdnsPort = 0, quint16 cloudPort = 0)
{
    DiscoveryOptions options;
    options.useMdns = mdnsPort != 0;
    options.useCloud = cloudPort != 0;
    options.mdnsAddress = QHostAddress::LocalHost;
    options.mdnsPort = mdnsPort;
    options.cloudUrl = QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(cloudPort));
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
    std::optional<QString> log;
    discovery.discoverForDuration(seconds, [&](const QString& text) { log = text; });
    (void)QTest::qWaitFor([&] { return log.has_value(); }, (seconds + 5) * 1000);
    return {delegate.hosts, log.value_or(QString())};
}

QJsonObject cloudEntry(const QString& id, const QString& address, int port)
{
    return {{"id", id}, {"internalipaddress", address}, {"port", port}};
}

QByteArray u16(int v)
{
    return QByteArray::fromHex(QByteArray::number(v & 0xFFFF, 16).rightJustified(4, '0'));
}

QByteArray label(const QByteArray& text)
{
    return char(text.size()) + text;
}

QByteArray record(const QByteArray& owner, int type, const QByteArray& rdata)
{
    return owner + u16(type) + u16(0x8001) + u16(0) + u16(120) + u16(int(rdata.size())) + rdata;
}

// A bridge's answer: PTR, then SRV, TXT and A records, later names pointing back at earlier ones
// as real responders compress them.
QByteArray bridgeAnnouncement(quint16 port, quint32 ipv4)
{
    QByteArray p = u16(0) + u16(0x8400) + u16(0) + u16(1) + u16(0) + u16(3);
    const QByteArray serviceName = label("_hue") + label("_tcp") + label("local") + '\0';
    const QByteArray instance = u16(0xC000 | int(p.size() + serviceName.size() + 10));
    p += record(serviceName, mdns::kTypePtr, label("Philips Hue - 0A0B0C") + u16(0xC000 | 12));
    const QByteArray host = u16(0xC000 | int(p.size() + instance.size() + 10 + 6));
    p +=
        record(instance, mdns::kTypeSrv, u16(0) + u16(0) + u16(port) + label("hue1") + label("local") + '\0');
    p += record(instance, mdns::kTypeTxt, label("bridgeid=001788FFFE0A0B0C") + label("modelid=BSB002"));
    return p + record(host, mdns::kTypeA, u16(int(ipv4 >> 16)) + u16(int(ipv4 & 0xFFFF)));
}

// Answers every _hue._tcp question with an announcement of bridge 001788FFFE0A0B0C at
// 127.0.0.1:`bridgePort`, after a malformed packet, the way a crowded network might.
class MdnsResponder {
public:
    explicit MdnsResponder(quint16 bridgePort)
    {
        const QByteArray service = label("_hue") + label("_tcp") + label("local");
        const QByteArray answer = bridgeAnnouncement(bridgePort, 0x7F000001);
        socket.bind(QHostAddress::LocalHost, 0);
        QObject::connect(&socket, &QUdpSocket::readyRead, [this, service, answer] {
            while (socket.hasPendingDatagrams()) {
                const QNetworkDatagram question = socket.receiveDatagram();
                ++questions;
                if (!question.data().contains(service))
                    continue;
                for (const QByteArray& packet : {QByteArray::fromHex("0000840000000001c00c"), answer})
                    socket.writeDatagram(packet, question.senderAddress(), quint16(question.senderPort()));
            }
        });
    }

    QUdpSocket socket;
    int questions = 0;
};

} // namespace

class HttpHueDiscoveryTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void readsAnMdnsAnnouncementAndRefusesDamagedOnes()
    {
        const QByteArray good = bridgeAnnouncement(443, 0xC0A80114);
        const auto instances = mdns::parseResponse(good, "_hue._tcp.local");
        QVERIFY(instances && instances->size() == 1);
        const mdns::Instance& bridge = instances->front();
        QCOMPARE((QStringList{bridge.name, bridge.host, QString::number(bridge.port), bridge.bridgeId,
                              bridge.address.toString()}),
                 (QStringList{"Philips Hue - 0A0B0C._hue._tcp.local", "hue1.local", "443", "001788FFFE0A0B0C",
                              "192.168.1.20"}));
        // Another service's announcement is no bridge; a question is no answer.
        QVERIFY(mdns::parseResponse(good, "_airplay._tcp.local")->empty());
        QVERIFY(mdns::parseResponse(mdns::buildQuery(7, "_hue._tcp.local"), "_hue._tcp.local")->empty());

        for (int size = 0; size < good.size(); ++size)
            QVERIFY2(!mdns::parseResponse(good.left(size), "_hue._tcp.local"),
                     qPrintable(QString::number(size)));

        // The first name as a pointer to itself, a pointer past the end, a label running past the end.
        for (const auto& [bytes, size] :
             {std::pair{QByteArray("\xC0\x0C"), good.size()}, std::pair{QByteArray("\xFF\xFF"), good.size()},
              std::pair{QByteArray("\x3F"), qsizetype(40)}}) {
            const QByteArray damaged = QByteArray(good).replace(12, bytes.size(), bytes).left(size);
            QVERIFY(!mdns::parseResponse(damaged, "_hue._tcp.local"));
        }
    }

    void checksTheHostsTheUserGave()
    {
        auto sim = startSim();
        QHttpServer notABridge;
        notABridge.route("/api/config",
                         [] { return QHttpServerResponse("text/html", "<html>router</html>"); });
        const QString router =
            QStringLiteral("127.0.0.1:%1").arg(notABridge.listen(QHostAddress::LocalHost, 0));

        DiscoveryOptions options = loopbackOnly();
        options.hosts = {sim->hostAndPort(), QStringLiteral(" %1 ").arg(sim->hostAndPort()), router,
                         QStringLiteral("127.0.0.1:1"), QStringLiteral("not a host/")};
        const Outcome outcome = discover(options);
        QCOMPARE(outcome.hosts, QStringList{sim->hostAndPort()});
        QVERIFY2(outcome.log.contains(router + ": no bridge"), qPrintable(outcome.log));
        QVERIFY(outcome.log.contains(QStringLiteral("127.0.0.1:1: no bridge")));
        QVERIFY(outcome.log.contains(QStringLiteral("bridge 001788FFFE0A0B0C \"Orvel Sim\" over http")));
        QVERIFY(outcome.log.endsWith(QStringLiteral("finished: 1 bridge(s) found")));
    }

    void findsBridgesThroughTheCloudLookupOnlyInAPlainAnswer()
    {
        auto sim = startSim();
        const QJsonArray list{cloudEntry("001788fffe0a0b0c", "127.0.0.1", sim->port()),
                              cloudEntry("001788fffe0a0b0c", "127.0.0.1", sim->port()),
                              cloudEntry("001788fffe111111", "203.0.113.7", 443),
                              cloudEntry("broken", "not-an-address", 0), QJsonValue(17)};
        auto status = QHttpServerResponder::StatusCode::Ok;
        QHttpServer cloud;
        cloud.route("/", [&] {
            return QHttpServerResponse("application/json", QJsonDocument(list).toJson(), status);
        });
        const DiscoveryOptions options = loopbackOnly(0, cloud.listen(QHostAddress::LocalHost, 0));

        Outcome outcome = discover(options);
        QCOMPARE(outcome.hosts, QStringList{sim->hostAndPort()});
        // An address off the local network is never contacted.
        QVERIFY2(outcome.log.contains(QStringLiteral("203.0.113.7 is not a local address")),
                 qPrintable(outcome.log));
        QVERIFY(!outcome.log.contains(QStringLiteral("checking 203.0.113.7")));

        // The same list in any other answer is no list of bridges.
        using Code = QHttpServerResponder::StatusCode;
        for (const auto& [code, line] : {std::pair{Code::TooManyRequests, "rate-limited (HTTP 429)"},
                                         {Code::MovedPermanently, "answered HTTP 301"},
                                         {Code::NoContent, "cloud: "}}) {
            status = code;
            outcome = discover(options, 1);
            QVERIFY2(outcome.hosts.isEmpty() && outcome.log.contains(line), qPrintable(outcome.log));
        }
    }

    void findsBridgesEveryWayAndReportsEachOnce()
    {
        auto sim = startSim();
        auto other = startSim(QStringLiteral("001788FFFE0D0E0F"));
        MdnsResponder responder(sim->port());
        QHttpServer cloud;
        const QJsonArray list{cloudEntry("001788fffe0d0e0f", "127.0.0.1", other->port())};
        cloud.route("/",
                    [&] { return QHttpServerResponse("application/json", QJsonDocument(list).toJson()); });
        DiscoveryOptions options =
            loopbackOnly(responder.socket.localPort(), cloud.listen(QHostAddress::LocalHost, 0));
        // mDNS finds the first bridge, which the user also named by another name of its address.
        const QString byName = QStringLiteral("localhost:%1").arg(sim->port());
        options.hosts = {byName};
        const Outcome outcome = discover(options);
        QCOMPARE(responder.questions, 2); // asked at the start and once more
        QVERIFY2(outcome.log.contains(QStringLiteral("mDNS: ignored a malformed answer from 127.0.0.1")),
                 qPrintable(outcome.log));
        QVERIFY(outcome.log.contains(QStringLiteral("(bridge id 001788FFFE0A0B0C)")));
        QVERIFY(outcome.log.contains(QStringLiteral("mDNS: checking ") + sim->hostAndPort()));
        QVERIFY(outcome.log.contains(QStringLiteral("cloud: checking ") + other->hostAndPort()));
        QCOMPARE(outcome.hosts.size(), 2);
        QVERIFY(outcome.hosts.contains(sim->hostAndPort()) || outcome.hosts.contains(byName));
        QVERIFY(outcome.hosts.contains(other->hostAndPort()));
        QVERIFY(outcome.log.contains(QStringLiteral("was already reported")));
    }
};

ORVEL_TEST_MAIN(HttpHueDiscoveryTest)
#include "http_hue_discovery_test.moc"
