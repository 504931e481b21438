// The real bridge client against the simulated bridge, and against a plain HTTP server standing in
// for an odd one, all on loopback; and what it reads and names without a network.

#include "controller/bridge/HttpHueBridge.h"
#include "hue/HueJson.h"
#include "platform/Console.h"
#include "support/SimBridge.h"
#include "support/TestMain.h"

#include <QHttpServer>
#include <QHttpServerResponse>
#include <QJsonDocument>
#include <QRegularExpression>

using namespace orvel;
using orvel::test::kSimUser;
using orvel::test::SimBridge;

namespace {

const auto printed = [](const ConsoleCapture& console, const QString& part) {
    return console.lines().join('\n').contains(part);
};

// "METHOD path" of every request the bridge received.
QStringList asked(const SimBridge& bridge)
{
    QStringList lines;
    for (const auto& r : bridge.sim.requests())
        lines << r.method + ' ' + r.path;
    return lines;
}

// What a rule does to switch a light on: the flag and a write, then the colour and a write.
void switchOn(HueLight& light, quint16 hue, quint8 saturation, quint8 brightness)
{
    light.setOn(true);
    light.write();
    light.setHue(hue);
    light.setSaturation(saturation);
    light.setBrightness(brightness);
    light.write();
}

} // namespace

class HttpHueBridgeTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void readsAndWritesEveryLightTypeRefreshesItInPlaceAndPrintsWhatWentWrong()
    {
        SimBridge bridge(QByteArray{}); // the simulator's own sample: every kind of light
        const auto client = bridge.readClient();
        const HueLightList lights = client->lights().value();
        // "id type on|off hue/sat/bri", "-" for what the light does not report; ids in number order.
        const auto text = [](std::optional<int> v) { return v ? QString::number(*v) : QStringLiteral("-"); };
        QStringList shapes;
        for (const auto& l : lights)
            shapes << QStringLiteral("%1 %2 %3 %4/%5/%6")
                          .arg(l->bridgeId(), l->type().value_or("?"), l->on() ? "on" : "off", text(l->hue()),
                               text(l->saturation()), text(l->brightness()));
        QCOMPARE(shapes, (QStringList{"1 Extended color light on 8418/140/200",
                                      "2 Color temperature light off -/-/254", "5 Dimmable light on -/-/127",
                                      "11 " + plugTypeText() + " off -/-/-"}));

        // Rules hold the light objects: a whole re-read refreshes them in place.
        bridge.sim.setLightState("1", QJsonObject{{"hue", 77}});
        QCOMPARE(SimBridge::read(*client), QString());
        QCOMPARE(client->lights().value(), lights);
        QCOMPARE(lights[0]->hue(), std::optional<int>(77));

        // Switching on and off: what the bridge takes, as it takes it.
        const auto& desk = lights[0];
        desk->write(); // nothing staged: nothing sent
        switchOn(*desk, 40000, 255, 255);
        QTRY_COMPARE(desk->hue(), std::optional<int>(40000)); // taken from the bridge's success list
        QCOMPARE(desk->brightness(), std::optional<int>(254));
        // Brightness 0 is not off on a bridge: it goes out as the lowest level. Off is the flag alone.
        desk->setBrightness(0);
        desk->setSaturation(0);
        desk->write();
        desk->setOn(false);
        desk->write();
        QTRY_VERIFY(!desk->on());
        // A light gets only what it reports: the dimmable light its brightness, the plug its flag.
        switchOn(*lights[2], 1, 2, 3);
        QTRY_COMPARE(bridge.writes().size(), 6);
        switchOn(*lights[3], 1, 2, 3);
        QTRY_COMPARE(bridge.writes(),
                     (QStringList{R"(1 {"on":true})", R"(1 {"hue":40000,"sat":254,"bri":254})",
                                  R"(1 {"sat":0,"bri":1})", R"(1 {"on":false})", R"(5 {"on":true})",
                                  R"(5 {"bri":3})", R"(11 {"on":true})"}));

        // Emulators send odd values: wrong types count as absent, numbers are held to their ranges,
        // a light that does not say whether it is reachable is.
        const auto odd = hue::parseLight(
            "3", QJsonObject{
                     {"state", QJsonObject{{"on", "yes"}, {"bri", "200"}, {"hue", 70000.7}, {"sat", -4}}}});
        QVERIFY(!odd.on && odd.reachable && !odd.type && !odd.brightness && odd.hue == 65535 &&
                odd.saturation == 0);
        // The device type: the host name's first label, cut to 19 bytes and never within a character.
        for (const auto& [host, type] : {std::pair{QString("studio-mac.fritz.box"), QString("studio-mac")},
                                         {"", "desktop"},
                                         {QString(12, QChar(0xE9)), QString(9, QChar(0xE9))}})
            QCOMPARE(hue::deviceType(host), "Orvel#" + type);

        ConsoleCapture console;
        // Brightness for a light that is off: the bridge's error list, inside an HTTP 200 answer.
        client->lights()->at(1)->setBrightness(100);
        client->lights()->at(1)->write();
        QTRY_VERIFY(printed(console, "error 201 at /lights/2/state/bri"));

        const QString api = "/api/" + kSimUser + "/lights";
        for (const auto& [path, body, line] : std::initializer_list<std::tuple<QString, QByteArray, QString>>{
                 {api, "<html><body>Bad gateway</body></html>", "not JSON"},
                 {api, "", "empty answer"},
                 {api, "[1, 2, 3]", "a list where the lights were expected"},
                 {api, R"([{"error":{"type":901,"address":"/lights","description":"Internal error, 404"}}])",
                  "error 901 at /lights: Internal error, 404"},
                 {api + "/1", "{\"state\": {\"on\": tr",
                  "read of light 1: the bridge sent an answer that is not JSON"},
                 {api + "/1/state", "{}", "write of light 1: the bridge sent an object"}}) {
            console.clear();
            bridge.sim.setRawAnswer(path, 200, body, "application/json");
            QVERIFY(path != api || (!SimBridge::read(*client).isEmpty() && !client->authenticated()));
            desk->read();
            desk->setOn(true);
            desk->write();
            QTRY_VERIFY2(printed(console, line), qPrintable(console.lines().join('\n')));
            QCOMPARE(client->lights().value().size(), 4u); // the last good list stays
            QCOMPARE(desk->hue(), std::optional<int>(40000));
        }
    }

    void pairsAndSpeaksOnlyWithTheBridgeOneRequestAtATimeAndReportsARefusedName()
    {
        SimBridge bridge;
        auto client = HttpHueBridge::create(bridge.host(), QString());
        ConsoleCapture console;
        // Without a user name only the public configuration is asked for.
        QVERIFY(!SimBridge::read(*client).isEmpty());
        QVERIFY(!client->authenticated());
        QCOMPARE(asked(bridge).filter("GET /api/config").size(), asked(bridge).size());

        // Before the button the bridge answers 101, which is no news worth a line; the request still
        // waiting for its answer is not sent again.
        client->registerUsername();
        client->registerUsername();
        QTRY_VERIFY(asked(bridge).contains("POST /api"));
        QVERIFY(!SimBridge::read(*client).isEmpty()); // a round trip later
        QCOMPARE(asked(bridge).count("POST /api"), 1);
        QVERIFY(!printed(console, "101"));

        auto refused = HttpHueBridge::create(bridge.host(), QStringLiteral("someone-the-bridge-forgot"));
        QCOMPARE(SimBridge::read(*refused), QStringLiteral("unauthorized user"));
        QCOMPARE(refused->name(), QStringLiteral("Orvel Sim")); // the public part still answers
        QVERIFY(printed(console, "does not know the user name"));

        // A stored name that is not a plain path segment goes out as one segment, not as a path.
        bridge.sim.clearRequests();
        QVERIFY(!SimBridge::read(*HttpHueBridge::create(bridge.host(), QString("../a b?c"))).isEmpty());
        for (const QString& line : asked(bridge))
            QVERIFY2(line.contains(" /api/"), qPrintable(line));

        // A bridge-like server that sends the pairing request on to another port: the user name
        // must never be asked of (nor given to) anyone but the bridge.
        QHttpServer redirecting;
        SimBridge elsewhere;
        QByteArray contentType;
        redirecting.route("/api/config", [] { return QJsonObject{{"bridgeid", "001788FFFE0A0B0C"}}; });
        redirecting.route("/api", [&](const QHttpServerRequest& request) {
            contentType = request.value("Content-Type");
            QHttpServerResponse moved(QHttpServerResponder::StatusCode::TemporaryRedirect);
            moved.addHeader("Location", "http://" + elsewhere.host().toUtf8() + "/api");
            return moved;
        });
        const quint16 port = redirecting.listen(QHostAddress::LocalHost, 0);
        HttpHueBridge::create("127.0.0.1:" + QString::number(port), {})->registerUsername();
        QTRY_VERIFY(printed(console, "HTTP 307"));
        QCOMPARE(contentType, QByteArray("application/json"));
        QVERIFY(elsewhere.sim.requests().isEmpty());

        // Over HTTPS only to the bridge's own certificate.
        sim::SimOptions tls{.https = true};
        std::optional<SimBridge> secure(std::in_place, orvel::test::kThreeLights, tls);
        const auto secureClient = secure->readClient();

        // Another bridge takes the address over: it never gets the user name.
        tls.port = secure->sim.port();
        tls.bridgeId = QStringLiteral("001788FFFE0D0E0F");
        secure.reset();
        secure.emplace(orvel::test::kThreeLights, tls);
        QVERIFY(!SimBridge::read(*secureClient).isEmpty());
        QVERIFY(!secureClient->authenticated());
        switchOn(*secureClient->lights()->front(), 0, 0, 0);
        QVERIFY(!SimBridge::read(*secureClient).isEmpty());
        QCOMPARE(asked(*secure).filter("GET /api/config").size(), asked(*secure).size());

        // A bridge that says it is another one than its certificate names is not spoken to at
        // all, not even over plain HTTP.
        secure->sim.setRawAnswer("/api/config", 200, R"({"name":"Imposter","bridgeid":"001788FFFE999999"})",
                                 "application/json");
        secure->sim.clearRequests();
        auto fresh = HttpHueBridge::create(secure->host(), kSimUser);
        QVERIFY(SimBridge::read(*fresh).contains("certificate"));
        QVERIFY(printed(console, "not talking to it"));
        fresh->registerUsername();
        QVERIFY(!SimBridge::read(*fresh).isEmpty());
        QCOMPARE(asked(*secure).filter("GET /api/config").size(), asked(*secure).size());
    }

    void keepsTheOrderOfEachLightUnderLoadRetriesABusyBridgeAndGivesUpOnABusyOrSilentOne()
    {
        SimBridge loaded(test::kThreeLights, {.latencyMs = 60});
        for (int i = 0; i < 2; ++i) // five lights, for more than four requests at once
            loaded.sim.addLight(loaded.sim.light("1"));
        const auto loadedClient = loaded.readClient();
        const HueLightList lights = loadedClient->lights().value();
        loaded.sim.clearRequests();
        // Many rules switching at once: each light gets an on and a colour, three times over.
        for (int round = 0; round < 3; ++round)
            for (const auto& light : lights)
                switchOn(*light, round, 0, 0);
        QTRY_COMPARE_WITH_TIMEOUT(loaded.sim.requests().size(), 3 * 2 * 5, 15000);
        const auto all = loaded.sim.requests();
        for (const QString& id : loaded.sim.lightIds()) {
            QStringList expected;
            for (int round = 0; round < 3; ++round)
                expected << id + R"( {"on":true})"
                         << id + QStringLiteral(R"( {"hue":%1,"sat":0,"bri":1})").arg(round);
            QCOMPARE(loaded.writes().filter(QRegularExpression('^' + id + ' ')), expected);
            // One light's next request leaves only once the previous one was answered.
            double last = -1;
            for (const auto& r : all)
                if (r.path.section('/', 4, 4) == id)
                    QVERIFY(r.time - std::exchange(last, r.time) >= 0.05);
        }
        // At most four requests are out at once: the fifth arrives only once one of the first four
        // was answered, which the bridge holds back for 60 ms.
        QVERIFY(all[4].time - all[0].time >= 0.05);

        // Over plain HTTP a busy bridge answers 503, over HTTPS 429.
        sim::SimOptions options{.rateLimitPerSecond = 3};
        SimBridge bridge(QByteArray{}, options);
        const auto client = bridge.readClient({.maxAttempts = 8});
        const auto desk = client->lights()->at(0);
        ConsoleCapture console;
        QTest::qWait(1000); // a fresh second for the rate limit
        bridge.sim.clearRequests();
        for (quint8 level = 1; level <= 6; ++level) {
            desk->setBrightness(level);
            desk->write();
        }
        QTRY_COMPARE_WITH_TIMEOUT(bridge.sim.light("1").value("state")["bri"].toInt(), 6, 10000);
        QStringList got = bridge.writes();
        QVERIFY(got.size() > 6); // some were refused first, and retried keeping their order
        got.erase(std::unique(got.begin(), got.end()), got.end());
        QCOMPARE(got.join(' '), R"(1 {"bri":1} 1 {"bri":2} 1 {"bri":3} 1 {"bri":4} 1 {"bri":5} 1 {"bri":6})");
        QVERIFY(!printed(console, "busy"));

        options.https = true;
        SimBridge busy(QByteArray{}, options);
        const auto busyClient = busy.readClient({.maxAttempts = 2, .backoffSeconds = 0.05});
        for (int i = 0; i < 5; ++i)
            switchOn(*busyClient->lights()->at(0), 0, 0, 0);
        QTRY_VERIFY(printed(console, "stayed busy (HTTP 429) through 2 attempts"));

        // A bridge that stops answering is given up on, and nothing piles up: once it is back, the
        // next read goes through at once.
        SimBridge silent;
        const auto silentClient = silent.readClient({.timeoutMs = 300});
        silent.sim.setSilent(true);
        for (const auto& light : silentClient->lights().value_or(HueLightList{}))
            switchOn(*light, 0, 0, 0);
        QVERIFY(SimBridge::read(*silentClient, 3000).contains("no answer within 0.3 s"));
        QTRY_VERIFY(printed(console, "write of light 1 failed: no answer within 0.3 s"));
        silent.sim.setSilent(false);
        QCOMPARE(SimBridge::read(*silentClient), QString());
        // Requests under way keep their client alive: none may be left when the test ends.
        for (const auto& c : {loadedClient, client, busyClient, silentClient})
            QTRY_COMPARE(static_cast<HttpHueBridge&>(*c).pendingRequests(), 0);
    }
};

ORVEL_TEST_MAIN(HttpHueBridgeTest)
#include "http_hue_bridge_test.moc"
