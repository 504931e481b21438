// The real bridge client against the simulated bridge, and against plain HTTP servers standing in
// for odd ones, all on loopback; and what it reads and names without a network.

#include "BridgeSimulator.h"
#include "controller/bridge/HttpHueBridge.h"
#include "hue/HueJson.h"
#include "platform/Console.h"
#include "support/TestMain.h"

#include <QHttpServer>
#include <QHttpServerResponse>
#include <QJsonDocument>

using namespace orvel;
using orvel::sim::BridgeSimulator;
using orvel::sim::RecordedRequest;
using orvel::sim::SimOptions;

namespace {

const QString kUser = QStringLiteral("orvel-test-user-0123456789abcdefghijklm");

std::unique_ptr<BridgeSimulator> startSim(SimOptions options = {})
{
    options.fixedUser = kUser;
    auto sim = std::make_unique<BridgeSimulator>();
    if (!sim->start(options))
        qFatal("the simulator did not start");
    return sim;
}

// Reads and waits for the completion; returns the error text ("" on success).
QString readNow(HueBridgeClient& client, int timeoutMs = 8000)
{
    std::optional<QString> result;
    client.readWithCompletion([&](HueBridgeClient&, const QString& error) { result = error; });
    (void)QTest::qWaitFor([&] { return result.has_value(); }, timeoutMs);
    return result.value_or(QStringLiteral("<no completion>"));
}

// A simulated bridge and a client of kUser that has read it once.
auto connected(const SimOptions& options = {}, const BridgeClientOptions& clientOptions = {})
{
    auto sim = startSim(options);
    auto client = HttpHueBridge::create(sim->hostAndPort(), kUser, clientOptions);
    (void)readNow(*client);
    return std::pair{std::move(sim), std::move(client)};
}

QString statePath(const QString& lightId)
{
    return QStringLiteral("/api/%1/lights/%2/state").arg(kUser, lightId);
}

QList<RecordedRequest> requestsTo(const BridgeSimulator& sim, const QString& path,
                                  const QString& method = "PUT")
{
    QList<RecordedRequest> found = sim.requests();
    found.removeIf([&](const RecordedRequest& r) { return r.method != method || r.path != path; });
    return found;
}

QJsonObject json(const QByteArray& body)
{
    return QJsonDocument::fromJson(body).object();
}

QList<QJsonObject> bodiesTo(const BridgeSimulator& sim, const QString& lightId)
{
    QList<QJsonObject> bodies;
    for (const RecordedRequest& r : requestsTo(sim, statePath(lightId)))
        bodies << json(r.body);
    return bodies;
}

bool onlyPublicConfigAsked(const BridgeSimulator& sim)
{
    const auto all = sim.requests();
    return std::all_of(all.cbegin(), all.cend(),
                       [](const RecordedRequest& r) { return r.path == "/api/config"; });
}

bool printed(const ConsoleCapture& console, const QString& part)
{
    return std::any_of(console.lines().cbegin(), console.lines().cend(),
                       [&](const QString& line) { return line.contains(part); });
}

std::shared_ptr<HueLight> lightWithId(const HueBridgeClient& client, const QString& id)
{
    for (const auto& light : client.lights().value_or(HueLightList{}))
        if (light->bridgeId() == id)
            return light;
    return nullptr;
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
    void readsEveryLightTypeAndRefreshesItInPlace()
    {
        auto [sim, client] = connected();
        QVERIFY(client->authenticated());
        QCOMPARE(client->name(), QStringLiteral("Orvel Sim"));
        QCOMPARE(client->bridgeId(), sim->bridgeId());
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
        QCOMPARE(lights[0]->uniqueId(), QStringLiteral("00:17:88:01:03:4a:5b:6c-0b"));

        // A light read refreshes that light alone, from its own resource.
        sim->setLightReachable("5", false);
        sim->setLightState("5", QJsonObject{{"bri", 12}});
        sim->clearRequests();
        lights[2]->read();
        QTRY_VERIFY(!lights[2]->reachable());
        QCOMPARE(lights[2]->brightness(), std::optional<int>(12));
        QCOMPARE(sim->requests().size(), 1);
        QCOMPARE(sim->requests().first().path, QStringLiteral("/api/%1/lights/5").arg(kUser));

        // Rules hold the light objects: a whole re-read refreshes them in place.
        sim->setLightState("1", QJsonObject{{"hue", 77}});
        QCOMPARE(readNow(*client), QString());
        for (std::size_t i = 0; i < lights.size(); ++i)
            QCOMPARE(client->lights().value()[i].get(), lights[i].get());
        QCOMPARE(lights[0]->hue(), std::optional<int>(77));
    }

    void readsOddValuesAndNamesTheDeviceWithoutANetwork()
    {
        // Emulators send odd values: wrong types count as absent, numbers are held to their ranges,
        // a light that does not say whether it is reachable is.
        const auto odd = hue::parseLight(
            "3", QJsonObject{
                     {"state", QJsonObject{{"on", "yes"}, {"bri", "200"}, {"hue", 70000.7}, {"sat", -4}}}});
        QVERIFY(!odd.on && odd.reachable && !odd.type && !odd.brightness);
        QCOMPARE(odd.hue, std::optional<int>(65535));
        QCOMPARE(odd.saturation, std::optional<int>(0));
        // Host name, device type: the first label, cut to 19 bytes and never within a character.
        for (const auto& [host, type] : {std::pair{QString("studio-mac.fritz.box"), QString("studio-mac")},
                                         {"a-very-long-host-name-indeed", "a-very-long-host-na"},
                                         {"", "desktop"},
                                         {QString(12, QChar(0xE9)), QString(9, QChar(0xE9))}})
            QCOMPARE(hue::deviceType(host), "Orvel#" + type);
    }

    void pairsAndReconnectsWithAStoredNameButNotARefusedOne()
    {
        auto sim = startSim();
        auto client = HttpHueBridge::create(sim->hostAndPort(), QString());
        ConsoleCapture console;
        // Without a user name only the public configuration is asked for.
        QVERIFY(!readNow(*client).isEmpty());
        QVERIFY(!client->authenticated());
        QCOMPARE(client->name(), QStringLiteral("Orvel Sim"));
        QCOMPARE(client->lights(), std::nullopt);
        QVERIFY(onlyPublicConfigAsked(*sim));

        // Before the button the bridge answers 101, which is no news worth a line.
        client->registerUsername();
        client->registerUsername(); // still waiting for the first answer: not sent again
        QTRY_COMPARE(requestsTo(*sim, "/api", "POST").size(), 1);
        QVERIFY(!readNow(*client).isEmpty()); // a round trip later
        QCOMPARE(requestsTo(*sim, "/api", "POST").size(), 1);
        QVERIFY(!printed(console, QStringLiteral("101")));
        const QString device =
            json(requestsTo(*sim, "/api", "POST").first().body).value("devicetype").toString();
        QVERIFY2(device.startsWith(QStringLiteral("Orvel#")), qPrintable(device));

        sim->pressLinkButton();
        client->registerUsername();
        QTRY_VERIFY(!client->username().isEmpty());
        QCOMPARE(readNow(*client), QString());
        auto stored = HttpHueBridge::create(sim->hostAndPort(), client->username());
        QCOMPARE(readNow(*stored), QString());
        QVERIFY(stored->authenticated());

        auto refused = HttpHueBridge::create(sim->hostAndPort(), QStringLiteral("someone-the-bridge-forgot"));
        QCOMPARE(readNow(*refused), QStringLiteral("unauthorized user"));
        QVERIFY(!refused->authenticated());
        QCOMPARE(refused->lights(), std::nullopt);
        QCOMPARE(refused->name(), QStringLiteral("Orvel Sim")); // the public part still answers
        QVERIFY(printed(console, QStringLiteral("does not know the user name")));

        // A stored name that is not a plain path segment goes out as one segment, not as a path.
        sim->clearRequests();
        auto odd = HttpHueBridge::create(sim->hostAndPort(), QStringLiteral("../a b?c"));
        QVERIFY(!readNow(*odd).isEmpty());
        for (const RecordedRequest& r : sim->requests())
            QVERIFY2(r.path.startsWith(QStringLiteral("/api/")), qPrintable(r.path));
    }

    void sendsJsonAndFollowsNoRedirect()
    {
        // A bridge-like server that sends the pairing request on to another port: the user name
        // must never be asked of (nor given to) anyone but the bridge.
        QHttpServer bridge, elsewhere;
        int elsewhereAsked = 0;
        QByteArray contentType;
        elsewhere.route("/api", [&] {
            ++elsewhereAsked;
            return QHttpServerResponse("[]");
        });
        const quint16 elsewherePort = elsewhere.listen(QHostAddress::LocalHost, 0);
        bridge.route("/api/config", [] {
            return QHttpServerResponse(QJsonObject{{"bridgeid", "001788FFFE0A0B0C"}});
        });
        bridge.route("/api", [&](const QHttpServerRequest& request) {
            contentType = request.value("Content-Type");
            QHttpServerResponse moved(QHttpServerResponder::StatusCode::TemporaryRedirect);
            moved.addHeader("Location",
                            QStringLiteral("http://127.0.0.1:%1/api").arg(elsewherePort).toUtf8());
            return moved;
        });
        const quint16 port = bridge.listen(QHostAddress::LocalHost, 0);
        ConsoleCapture console;
        auto client = HttpHueBridge::create(QStringLiteral("127.0.0.1:%1").arg(port), QString());
        client->registerUsername();
        QTRY_VERIFY(printed(console, QStringLiteral("HTTP 307")));
        QCOMPARE(contentType, QByteArray("application/json"));
        QCOMPARE(elsewhereAsked, 0);
    }

    void switchOnAndOffSendTheBridgesOwnValues()
    {
        auto [sim, client] = connected();
        const auto light = lightWithId(*client, "1");
        sim->clearRequests();
        light->write(); // nothing staged: nothing sent
        switchOn(*light, 40000, 255, 255);
        QTRY_COMPARE(sim->requests().size(), 2);
        QCOMPARE(bodiesTo(*sim, "1"),
                 (QList<QJsonObject>{{{"on", true}}, {{"hue", 40000}, {"sat", 254}, {"bri", 254}}}));
        QTRY_COMPARE(light->hue(), std::optional<int>(40000)); // taken from the bridge's success list
        QCOMPARE(light->brightness(), std::optional<int>(254));

        // Brightness 0 is not off on a bridge: it goes out as the lowest level. Off is the flag alone.
        light->setBrightness(0);
        light->setSaturation(0);
        light->write();
        light->setOn(false);
        light->write();
        QTRY_COMPARE(sim->requests().size(), 4);
        QCOMPARE(bodiesTo(*sim, "1").mid(2), (QList<QJsonObject>{{{"sat", 0}, {"bri", 1}}, {{"on", false}}}));
        QTRY_VERIFY(!light->on());

        // A light gets only what it reports: the dimmable light its brightness, the plug its flag.
        switchOn(*lightWithId(*client, "5"), 1, 2, 3);
        switchOn(*lightWithId(*client, "11"), 1, 2, 3);
        QTRY_COMPARE(sim->requests().size(), 7);
        QCOMPARE(bodiesTo(*sim, "5"), (QList<QJsonObject>{{{"on", true}}, {{"bri", 3}}}));
        QCOMPARE(bodiesTo(*sim, "11"), (QList<QJsonObject>{{{"on", true}}}));
    }

    void keepsTheOrderOfEachLightUnderLoad()
    {
        QJsonObject colourLights;
        for (int i = 1; i <= 8; ++i)
            colourLights.insert(QString::number(i),
                                QJsonObject{{"name", "Lamp"},
                                            {"type", "Extended color light"},
                                            {"state", QJsonObject{{"on", true}, {"hue", 1}}}});
        SimOptions options;
        options.lightsJson = QJsonDocument(colourLights).toJson();
        options.latencyMs = 60;
        auto [sim, client] = connected(options);
        const HueLightList lights = client->lights().value_or(HueLightList{});
        QCOMPARE(lights.size(), 8u);
        sim->clearRequests();

        // Many rules switching at once: each light gets an on and a colour, three times over.
        for (int round = 0; round < 3; ++round)
            for (const auto& light : lights)
                switchOn(*light, static_cast<quint16>(1000 * round + light->bridgeId().toInt()), 0, 0);
        QTRY_COMPARE_WITH_TIMEOUT(sim->requests().size(), 3 * 2 * 8, 15000);
        for (const auto& light : lights) {
            const auto puts = requestsTo(*sim, statePath(light->bridgeId()));
            QCOMPARE(puts.size(), 6);
            for (qsizetype i = 0; i < puts.size(); ++i) {
                // One light's next request leaves only once the previous one was answered.
                QVERIFY(i == 0 || puts[i].time - puts[i - 1].time >= 0.05);
                const QJsonObject colour{{"hue", 1000 * int(i / 2) + light->bridgeId().toInt()}};
                QCOMPARE(json(puts[i].body), (i % 2 ? colour : QJsonObject{{"on", true}}));
            }
        }
        // At most four requests are out at once: the fifth arrives only once one of the first four
        // was answered, which the bridge holds back for 60 ms.
        const auto all = sim->requests();
        QVERIFY2(all[4].time - all[0].time >= 0.05, qPrintable(QString::number(all[4].time - all[0].time)));
    }

    void retriesWhenTheBridgeIsBusyAndThenGivesUp()
    {
        SimOptions options;
        options.rateLimitPerSecond = 3; // over plain HTTP the bridge answers 503, over HTTPS 429
        BridgeClientOptions clientOptions;
        clientOptions.maxAttempts = 8;
        auto [sim, client] = connected(options, clientOptions);
        ConsoleCapture console;
        QTest::qWait(1000); // a fresh second for the rate limit
        sim->clearRequests();
        const auto light = lightWithId(*client, "1");
        for (quint8 level = 1; level <= 6; ++level) {
            light->setBrightness(level);
            light->write();
        }
        const auto accepted = [bridge = sim.get()] {
            QList<int> levels;
            for (const RecordedRequest& r : requestsTo(*bridge, statePath("1")))
                if (r.status == 200)
                    levels << json(r.body).value("bri").toInt();
            return levels;
        };
        QTRY_COMPARE_WITH_TIMEOUT(accepted().size(), 6, 10000);
        QCOMPARE(accepted(), (QList<int>{1, 2, 3, 4, 5, 6})); // retried requests keep their order
        QVERIFY(requestsTo(*sim, statePath("1")).size() > 6); // some were refused first
        QVERIFY(!printed(console, QStringLiteral("busy")));

        options.https = true;
        clientOptions.maxAttempts = 2;
        clientOptions.backoffSeconds = 0.05;
        auto [busySim, busyClient] = connected(options, clientOptions);
        for (int i = 0; i < 5; ++i)
            switchOn(*lightWithId(*busyClient, "1"), 0, 0, 0);
        QTRY_VERIFY(printed(console, QStringLiteral("stayed busy (HTTP 429) through 2 attempts")));
    }

    void givesUpOnASilentBridge()
    {
        BridgeClientOptions options;
        options.timeoutMs = 300;
        auto [sim, client] = connected({}, options);
        const HueLightList lights = client->lights().value_or(HueLightList{});
        sim->setSilent(true);
        ConsoleCapture console;
        for (const auto& light : lights)
            switchOn(*light, 0, 0, 0);
        const QString error = readNow(*client, 3000);
        QVERIFY2(error.contains(QStringLiteral("no answer within 0.3 s")), qPrintable(error));
        QVERIFY(!client->authenticated());
        QTRY_VERIFY(printed(console, QStringLiteral("write of light 1 failed: no answer within 0.3 s")));

        // Nothing piles up: once the bridge is back, the next read goes through at once.
        sim->setSilent(false);
        QCOMPARE(readNow(*client), QString());
        QVERIFY(client->authenticated());
        QCOMPARE(client->lights().value().front().get(), lights.front().get());
    }

    void printsErrorListsAndMalformedAnswers()
    {
        auto [sim, client] = connected();
        ConsoleCapture console;
        // Brightness for a light that is off: the bridge's error list, inside an HTTP 200 answer.
        lightWithId(*client, "2")->setBrightness(100);
        lightWithId(*client, "2")->write();
        QTRY_VERIFY(printed(console, QStringLiteral("error 201 at /lights/2/state/bri")));

        const QString lightsPath = QStringLiteral("/api/%1/lights").arg(kUser);
        const QList<std::tuple<QString, QByteArray, QString>> answers{
            {lightsPath, "<html><body>Bad gateway</body></html>", "not JSON"},
            {lightsPath, "", "empty answer"},
            {lightsPath, "[1, 2, 3]", "a list where the lights were expected"},
            {lightsPath,
             R"([{"error":{"type":901,"address":"/lights","description":"Internal error, 404"}}])",
             "error 901 at /lights: Internal error, 404"},
            {lightsPath + "/1", "{\"state\": {\"on\": tr",
             "read of light 1: the bridge sent an answer that is not JSON"},
            {statePath("1"), "{}", "write of light 1: the bridge sent an object"},
        };
        const auto desk = lightWithId(*client, "1");
        for (const auto& [path, body, line] : answers) {
            console.clear();
            sim->setRawAnswer(path, 200, body, "application/json");
            if (path == lightsPath) {
                QVERIFY(!readNow(*client).isEmpty());
                QVERIFY(!client->authenticated());
            }
            desk->read();
            desk->setOn(true);
            desk->write();
            QTRY_VERIFY2(printed(console, line), qPrintable(console.lines().join('\n')));
            QCOMPARE(client->lights().value().size(), 4u); // the last good list stays
            QCOMPARE(desk->hue(), std::optional<int>(8418));
        }
    }

    void speaksHttpsOnlyToTheBridgesOwnCertificate()
    {
        SimOptions options;
        options.https = true;
        auto [sim, client] = connected(options);
        QVERIFY(client->authenticated());

        // Another bridge takes the address over: it never gets the user name.
        options.port = sim->port();
        options.bridgeId = QStringLiteral("001788FFFE0D0E0F");
        sim.reset();
        sim = startSim(options);
        QVERIFY(!readNow(*client).isEmpty());
        QVERIFY(!client->authenticated());
        client->lights().value().front()->setOn(true);
        client->lights().value().front()->write();
        QCOMPARE(readNow(*client).isEmpty(), false);
        QVERIFY(onlyPublicConfigAsked(*sim));

        // A bridge that says it is another one than its certificate names is not spoken to at
        // all, not even over plain HTTP.
        sim->setRawAnswer("/api/config", 200, R"({"name":"Imposter","bridgeid":"001788FFFE999999"})",
                          "application/json");
        sim->clearRequests();
        ConsoleCapture console;
        auto fresh = HttpHueBridge::create(sim->hostAndPort(), kUser);
        const QString error = readNow(*fresh);
        QVERIFY2(error.contains(QStringLiteral("certificate")), qPrintable(error));
        QVERIFY(printed(console, QStringLiteral("not talking to it")));
        fresh->registerUsername();
        QCOMPARE(readNow(*fresh).isEmpty(), false);
        QVERIFY(onlyPublicConfigAsked(*sim));
    }
};

ORVEL_TEST_MAIN(HttpHueBridgeTest)
#include "http_hue_bridge_test.moc"
