// What the bridge client reads from a bridge, without a network. The bodies it sends are checked
// against the simulated bridge, and mDNS packets with discovery.

#include "hue/HueJson.h"
#include "support/TestMain.h"

using namespace orvel;

class BridgeWireTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void readsOddLightsAndRefusesGarbage()
    {
        // Emulators send odd values: wrong types count as absent, numbers are held to their ranges.
        const auto odd = hue::parseLight(
            "3", QJsonObject{
                     {"state", QJsonObject{{"on", "yes"}, {"bri", "200"}, {"hue", 70000.7}, {"sat", -4}}}});
        QVERIFY(!odd.on && odd.reachable && !odd.type && !odd.brightness);
        QCOMPARE(odd.hue, std::optional<int>(65535));
        QCOMPARE(odd.saturation, std::optional<int>(0));

        const auto answer = hue::parseLightsAnswer(
            R"({"10":{"name":"j","state":{"on":true}},"2":{"name":"b","state":{"on":true}},
                "x":{"name":"x","state":{}},"9":{"name":"i","state":{}},"1":{"name":"a","state":{}},"junk":7})");
        QCOMPARE(answer.kind, hue::LightsAnswer::Kind::Lights);
        QStringList ids;
        for (const auto& light : answer.lights)
            ids << light.id;
        QCOMPARE(ids, (QStringList{"1", "2", "9", "10", "x"}));

        for (const QByteArray& garbage :
             {QByteArray("<html>429 Too Many Requests</html>"), QByteArray(), QByteArray("[]"),
              QByteArray("[{\"success\":1}]"), QByteArray("\"text\""), QByteArray("{\"1\":")}) {
            const auto refused = hue::parseLightsAnswer(garbage);
            QCOMPARE(refused.kind, hue::LightsAnswer::Kind::Malformed);
            QVERIFY(!refused.problem.isEmpty());
        }
    }

    void namesTheDeviceWithinTheBridgesLimit()
    {
        QCOMPARE(hue::deviceType("studio-mac.fritz.box"), QStringLiteral("Orvel#studio-mac"));
        QCOMPARE(hue::deviceType("a-very-long-host-name-indeed"),
                 QStringLiteral("Orvel#a-very-long-host-na"));
        QCOMPARE(hue::deviceType(""), QStringLiteral("Orvel#desktop"));
        // 19 bytes, never half a character.
        QCOMPARE(hue::deviceType(QString(12, QChar(0x00E9))),
                 QStringLiteral("Orvel#") + QString(9, QChar(0x00E9)));
    }
};

ORVEL_TEST_MAIN(BridgeWireTest)
#include "bridge_wire_test.moc"
