// Discovery by each of its ways, each pointed at a stand-in on loopback: the simulated bridge,
// a local HTTP server for the cloud lookup and a local UDP responder for mDNS; and the mDNS
// packets themselves.

#include "controller/bridge/HttpHueDiscovery.h"
#include "controller/bridge/MdnsMessage.h"
#include "support/SimBridge.h"
#include "support/TestMain.h"

#include <QHttpServer>
#include <QHttpServerResponse>
#include <QNetworkDatagram>
#include <QUdpSocket>
#include <QtEndian>

using namespace orvel;
using orvel::test::SimBridge;

namespace {

// A bridge's answer as real responders send it: PTR, SRV, TXT and A records, later names pointing
// back at earlier ones. The bridge's port goes into the SRV record, its address into the A record.
QByteArray bridgeAnnouncement(quint16 port, quint32 ipv4)
{
    QByteArray p = QByteArray::fromHex(
        "000084000000000100000003" // header: a response, one answer and three more records
        "045f687565045f746370056c6f63616c00000c800100000078001714"
        "5068696c69707320487565202d20304130423043c00c"                 // PTR: "Philips Hue - 0A0B0C"
        "c0270021800100000078001200000000abcd0468756531056c6f63616c00" // SRV: hue1.local, port
        "c027001080010000007800291962726964676569643d30303137383846464645304130423043"
        "0e6d6f64656c69643d425342303032"     // TXT: bridgeid=..., modelid=...
        "c050000180010000007800047f000001"); // A
    qToBigEndian(port, p.data() + 78);
    qToBigEndian(ipv4, p.data() + p.size() - 4);
    return p;
}

// Runs discovery on loopback only: nothing ever goes to the real multicast group or the vendor's
// site. Returns the hosts reported and the log.
std::pair<QStringList, QString> discover(const QStringList& hosts, quint16 mdnsPort, quint16 cloudPort,
                                         int seconds = 2)
{
    struct : HueDiscoveryDelegate {
        void foundHueAt(const QString& host, const QString&) override { hosts << host; }
        QStringList hosts;
    } delegate;
    HttpHueDiscovery discovery(&delegate,
                               {.useMdns = mdnsPort != 0,
                                .mdnsAddress = QHostAddress::LocalHost,
                                .mdnsPort = mdnsPort,
                                .mdnsRepeatSeconds = 0.3,
                                .useCloud = cloudPort != 0,
                                .cloudUrl = QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(cloudPort)),
                                .hosts = hosts,
                                .check = {.timeoutMs = 1500}});
    std::optional<QString> log;
    discovery.discoverForDuration(seconds, [&](const QString& text) { log = text; });
    (void)QTest::qWaitFor([&] { return log.has_value(); }, (seconds + 5) * 1000);
    return {delegate.hosts, log.value_or(QString())};
}

// The cloud's list: the second bridge (at port %1) twice, one off the local network and two broken entries.
const char* const kCloudList = R"([{"id": "001788fffe0d0e0f", "internalipaddress": "127.0.0.1", "port": %1},
    {"id": "001788fffe0d0e0f", "internalipaddress": "127.0.0.1", "port": %1},
    {"id": "001788fffe111111", "internalipaddress": "203.0.113.7", "port": 443},
    {"id": "broken", "internalipaddress": "not-an-address"}, 17])";

} // namespace

class HttpHueDiscoveryTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void findsBridgesEveryWayReportsEachOnceAndRefusesDamagedAnswers()
    {
        const QByteArray good = bridgeAnnouncement(443, 0xC0A80114);
        const auto instances = mdns::parseResponse(good, "_hue._tcp.local");
        QVERIFY(instances && instances->size() == 1);
        QCOMPARE(instances->front().name + ' ' + instances->front().address.toString(),
                 "Philips Hue - 0A0B0C._hue._tcp.local 192.168.1.20");
        // Another service's announcement is no bridge; a question is no answer.
        QVERIFY(mdns::parseResponse(good, "_airplay._tcp.local")->empty());
        QVERIFY(mdns::parseResponse(mdns::buildQuery(7, "_hue._tcp.local"), "_hue._tcp.local")->empty());

        for (int size = 0; size < good.size(); ++size)
            QVERIFY(!mdns::parseResponse(good.left(size), "_hue._tcp.local")); // cut short anywhere
        // The first name as a pointer to itself, or past the end.
        for (const QByteArray& name : {QByteArray("\xC0\x0C"), QByteArray("\xFF\xFF")})
            QVERIFY(!mdns::parseResponse(QByteArray(good).replace(12, 2, name), "_hue._tcp.local"));

        const SimBridge first, second(test::kThreeLights, {.bridgeId = QStringLiteral("001788FFFE0D0E0F")});
        // Answers every _hue._tcp question with an announcement of the first bridge, after a
        // malformed packet, the way a crowded network might.
        QUdpSocket mdnsResponder;
        int questions = 0;
        mdnsResponder.bind(QHostAddress::LocalHost, 0);
        QObject::connect(&mdnsResponder, &QUdpSocket::readyRead, [&] {
            while (mdnsResponder.hasPendingDatagrams()) {
                const QNetworkDatagram question = mdnsResponder.receiveDatagram();
                ++questions;
                if (question.data().contains("\x04_hue\x04_tcp\x05local"))
                    for (const QByteArray& packet : {QByteArray::fromHex("0000840000000001c00c"),
                                                     bridgeAnnouncement(first.sim.port(), 0x7F000001)})
                        mdnsResponder.writeDatagram(packet, question.senderAddress(), question.senderPort());
            }
        });
        QHttpServer cloud;
        const QByteArray list = QString(kCloudList).arg(second.sim.port()).toUtf8();
        auto status = QHttpServerResponder::StatusCode::Ok;
        cloud.route("/", [&] { return QHttpServerResponse("application/json", list, status); });
        const quint16 cloudPort = cloud.listen(QHostAddress::LocalHost, 0);
        // The user names the first bridge by another name of its address, and things that are no bridge.
        cloud.route("/api/config", [] { return QHttpServerResponse("text/html", "<html>router</html>"); });
        const QString routerHost = QStringLiteral("127.0.0.1:%1").arg(cloudPort);
        const QString byName = QStringLiteral("localhost:%1").arg(first.sim.port());

        const auto [hosts, log] =
            discover({byName, " " + byName + " ", routerHost, "127.0.0.1:1", "not a host/"},
                     mdnsResponder.localPort(), cloudPort);
        QCOMPARE(questions, 2); // asked at the start and once more
        QVERIFY(hosts.size() == 2 && hosts.contains(second.host()) &&
                (hosts.contains(first.host()) || hosts.contains(byName)));
        for (const QString& line : QStringList{
                 "mDNS: ignored a malformed answer from 127.0.0.1", "(bridge id 001788FFFE0A0B0C)",
                 "mDNS: checking " + first.host(), "cloud: checking " + second.host(), "was already reported",
                 "bridge 001788FFFE0A0B0C \"Orvel Sim\" over http", routerHost + ": no bridge",
                 "127.0.0.1:1: no bridge", "203.0.113.7 is not a local address"})
            QVERIFY2(log.contains(line), qPrintable(line + " in:\n" + log));
        // An address off the local network is never contacted.
        QVERIFY(!log.contains(QStringLiteral("checking 203.0.113.7")));
        QVERIFY(log.endsWith(QStringLiteral("finished: 2 bridge(s) found")));

        // The same list in any other answer is no list of bridges.
        using Code = QHttpServerResponder::StatusCode;
        for (const auto& [code, line] : {std::pair{Code::TooManyRequests, "rate-limited (HTTP 429)"},
                                         {Code::MovedPermanently, "answered HTTP 301"},
                                         {Code::NoContent, "cloud: "}}) {
            status = code;
            const auto [found, text] = discover({}, 0, cloudPort, 1);
            QVERIFY2(found.isEmpty() && text.contains(line), qPrintable(text));
        }
    }
};

ORVEL_TEST_MAIN(HttpHueDiscoveryTest)
#include "http_hue_discovery_test.moc"
