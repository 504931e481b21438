// What the bridge client reads and writes on the wire, without a network.

#include "controller/bridge/HueJson.h"
#include "controller/bridge/MdnsMessage.h"
#include "support/TestMain.h"

#include <QJsonArray>
#include <QRandomGenerator>

using namespace orvel;

namespace {

// A DNS response in the shape bridges send: PTR, then SRV, TXT and A records. Names after the
// first use a compression pointer to the service name, as real responders do.
QByteArray bridgeAnnouncement(const QByteArray& instanceLabel, quint16 port, const QByteArray& bridgeId,
                              quint32 ipv4)
{
    QByteArray p;
    const auto u16 = [&p](int v) {
        p.append(char((v >> 8) & 0xFF));
        p.append(char(v & 0xFF));
    };
    const auto label = [&p](const QByteArray& text) {
        p.append(char(text.size()));
        p.append(text);
    };
    u16(0);
    u16(0x8400); // response, authoritative
    u16(0);
    u16(1);
    u16(0);
    u16(3);
    const int serviceAt = int(p.size());
    label("_hue");
    label("_tcp");
    label("local");
    p.append('\0');
    u16(mdns::kTypePtr);
    u16(1);
    u16(0);
    u16(120);
    const int instanceAt = int(p.size()) + 2;
    u16(1 + instanceLabel.size() + 2);
    label(instanceLabel);
    u16(0xC000 | serviceAt);
    // SRV
    u16(0xC000 | instanceAt);
    u16(mdns::kTypeSrv);
    u16(0x8001);
    u16(0);
    u16(120);
    u16(6 + 1 + 4 + 1 + 5 + 1);
    u16(0);
    u16(0);
    u16(port);
    const int hostAt = int(p.size());
    label("hue1");
    label("local");
    p.append('\0');
    // TXT
    u16(0xC000 | instanceAt);
    u16(mdns::kTypeTxt);
    u16(0x8001);
    u16(0);
    u16(120);
    const QByteArray id = "bridgeid=" + bridgeId;
    const QByteArray model = "modelid=BSB002";
    u16(1 + id.size() + 1 + model.size());
    label(id);
    label(model);
    // A
    u16(0xC000 | hostAt);
    u16(mdns::kTypeA);
    u16(0x8001);
    u16(0);
    u16(120);
    u16(4);
    u16(int(ipv4 >> 16));
    u16(int(ipv4 & 0xFFFF));
    return p;
}

} // namespace

class BridgeWireTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void readsEachLightTypesFields();
    void ordersLightIdsAsNumbers();
    void tellsRefusalsErrorsAndGarbageApart();
    void mapsRuleValuesOntoTheBridgesRanges();
    void namesTheDeviceWithinTheBridgesLimit();
    void readsAnMdnsAnnouncement();
    void refusesMalformedMdnsPacketsWithoutCrashing();
};

void BridgeWireTest::readsEachLightTypesFields()
{
    // What each type reports is covered against the simulated bridge; here the odd values that
    // emulators send: wrong types are absent, numbers are held to their ranges.
    const auto odd = hue::parseLight(
        "3",
        QJsonObject{{"state", QJsonObject{{"on", "yes"}, {"bri", "200"}, {"hue", 70000.7}, {"sat", -4}}}});
    QCOMPARE(odd.id, QStringLiteral("3"));
    QCOMPARE(odd.type, std::nullopt);
    QVERIFY(!odd.on);
    QVERIFY(odd.reachable);
    QCOMPARE(odd.brightness, std::nullopt);
    QCOMPARE(odd.hue, std::optional<int>(65535));
    QCOMPARE(odd.saturation, std::optional<int>(0));
}

void BridgeWireTest::ordersLightIdsAsNumbers()
{
    const auto answer = hue::parseLightsAnswer(
        R"({"10":{"name":"j","state":{"on":true}},"2":{"name":"b","state":{"on":true}},
            "x":{"name":"x","state":{}},"9":{"name":"i","state":{}},"1":{"name":"a","state":{}},
            "junk":7})");
    QCOMPARE(answer.kind, hue::LightsAnswer::Kind::Lights);
    QStringList ids;
    for (const auto& light : answer.lights)
        ids << light.id;
    QCOMPARE(ids, (QStringList{"1", "2", "9", "10", "x"}));

    QCOMPARE(hue::parseLightsAnswer("{}").kind, hue::LightsAnswer::Kind::Lights);
    QVERIFY(hue::parseLightsAnswer("{}").lights.empty());
}

void BridgeWireTest::tellsRefusalsErrorsAndGarbageApart()
{
    const auto refused = hue::parseLightsAnswer(
        R"([{"error":{"type":1,"address":"/lights","description":"unauthorized user"}}])");
    QCOMPARE(refused.kind, hue::LightsAnswer::Kind::Unauthorized);
    QCOMPARE(hue::describe(refused.errors.value(0)), QStringLiteral("error 1 at /lights: unauthorized user"));

    const auto busy = hue::parseLightsAnswer(
        R"([{"error":{"type":901,"address":"","description":"Internal error, 404"}}])");
    QCOMPARE(busy.kind, hue::LightsAnswer::Kind::Errors);
    QCOMPARE(hue::describe(busy.errors.value(0)), QStringLiteral("error 901: Internal error, 404"));

    for (const QByteArray& garbage :
         {QByteArray("<html>429 Too Many Requests</html>"), QByteArray(), QByteArray("[]"),
          QByteArray("[{\"success\":1}]"), QByteArray("\"text\""), QByteArray("{\"1\":")}) {
        const auto answer = hue::parseLightsAnswer(garbage);
        QCOMPARE(answer.kind, hue::LightsAnswer::Kind::Malformed);
        QVERIFY(!answer.problem.isEmpty());
    }

    // A write's answer mixes successes and errors; only the errors are errors.
    const auto mixed = QJsonDocument::fromJson(
        R"([{"success":{"/lights/1/state/on":true}},
            {"error":{"type":201,"address":"/lights/1/state/bri","description":"parameter, bri, is not modifiable. Device is set to off."}},
            {"error":{"type":7,"address":"/lights/1/state/hue","description":"invalid value, x, for parameter, hue"}}])");
    const auto errors = hue::errorsIn(mixed);
    QCOMPARE(errors.size(), 2);
    QCOMPARE(errors[0].type, 201);
    QCOMPARE(errors[1].address, QStringLiteral("/lights/1/state/hue"));
}

void BridgeWireTest::mapsRuleValuesOntoTheBridgesRanges()
{
    hue::StateChange change;
    QVERIFY(change.isEmpty());
    change.on = true;
    QCOMPARE(hue::stateBody(change), QByteArray(R"({"on":true})"));

    change = {};
    change.hue = 65535;
    change.saturation = 255;
    change.brightness = 255;
    QCOMPARE(hue::stateBody(change), QByteArray(R"({"hue":65535,"sat":254,"bri":254})"));

    change.hue = 0;
    change.saturation = 0;
    change.brightness = 0;
    QCOMPARE(hue::stateBody(change), QByteArray(R"({"hue":0,"sat":0,"bri":1})"));

    change.on = false;
    change.saturation = 128;
    change.brightness = 128;
    QCOMPARE(hue::stateBody(change), QByteArray(R"({"on":false,"hue":0,"sat":128,"bri":128})"));
}

void BridgeWireTest::namesTheDeviceWithinTheBridgesLimit()
{
    QCOMPARE(hue::deviceType("studio"), QStringLiteral("Orvel#studio"));
    QCOMPARE(hue::deviceType("studio-mac.fritz.box"), QStringLiteral("Orvel#studio-mac"));
    QCOMPARE(hue::deviceType("a-very-long-host-name-indeed"), QStringLiteral("Orvel#a-very-long-host-na"));
    QCOMPARE(hue::deviceType(""), QStringLiteral("Orvel#desktop"));
    const QString wide = hue::deviceType(QString(12, QChar(0x00E9))); // two bytes each
    QVERIFY(wide.toUtf8().size() <= 6 + 19);
    QCOMPARE(wide, QStringLiteral("Orvel#") + QString(9, QChar(0x00E9)));
}

void BridgeWireTest::readsAnMdnsAnnouncement()
{
    const QByteArray query = mdns::buildQuery(0x1234, "_hue._tcp.local");
    QCOMPARE(query.left(6), QByteArray::fromHex("123400000001"));
    QVERIFY(query.contains(QByteArray("\x04_hue\x04_tcp\x05local\x00", 17)));

    const QByteArray packet = bridgeAnnouncement("Philips Hue - 0A0B0C", 443, "001788FFFE0A0B0C", 0xC0A80114);
    const auto instances = mdns::parseResponse(packet, "_hue._tcp.local");
    QVERIFY(instances);
    QCOMPARE(instances->size(), 1u);
    const auto& bridge = instances->front();
    QCOMPARE(bridge.name, QStringLiteral("Philips Hue - 0A0B0C._hue._tcp.local"));
    QCOMPARE(bridge.host, QStringLiteral("hue1.local"));
    QCOMPARE(bridge.port, 443);
    QCOMPARE(bridge.bridgeId, QStringLiteral("001788FFFE0A0B0C"));
    QCOMPARE(bridge.address, QHostAddress("192.168.1.20"));

    // Another service's announcement is no bridge; a question is no answer.
    QVERIFY(mdns::parseResponse(packet, "_airplay._tcp.local")->empty());
    QVERIFY(mdns::parseResponse(query, "_hue._tcp.local")->empty());
}

void BridgeWireTest::refusesMalformedMdnsPacketsWithoutCrashing()
{
    const QByteArray good = bridgeAnnouncement("Philips Hue - 0A0B0C", 443, "001788FFFE0A0B0C", 0x7F000001);
    // Every truncation is malformed (the packet ends inside a record).
    for (int size = 0; size < good.size(); ++size)
        QVERIFY2(!mdns::parseResponse(good.left(size), "_hue._tcp.local"), qPrintable(QString::number(size)));

    // A pointer to itself, a pointer past the end, a label running past the end.
    QByteArray loop = good;
    loop[12] = char(0xC0);
    loop[13] = char(12);
    QVERIFY(!mdns::parseResponse(loop, "_hue._tcp.local"));
    QByteArray past = good;
    past[12] = char(0xFF);
    past[13] = char(0xFF);
    QVERIFY(!mdns::parseResponse(past, "_hue._tcp.local"));
    QByteArray longLabel = good;
    longLabel[12] = char(63);
    QVERIFY(!mdns::parseResponse(longLabel.left(40), "_hue._tcp.local"));

    // Random damage must never crash or read out of bounds (run under the sanitizers).
    QRandomGenerator random(42);
    for (int round = 0; round < 3000; ++round) {
        QByteArray damaged = good;
        const int flips = 1 + int(random.bounded(6));
        for (int i = 0; i < flips; ++i)
            damaged[int(random.bounded(int(damaged.size())))] = char(random.bounded(256));
        (void)mdns::parseResponse(damaged, "_hue._tcp.local");
    }
}

ORVEL_TEST_MAIN(BridgeWireTest)
#include "bridge_wire_test.moc"
