// The real bridge client against the simulated bridge on loopback.

#include "BridgeSimulator.h"
#include "controller/bridge/HttpHueBridge.h"
#include "platform/Console.h"
#include "support/TestMain.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryFile>

using namespace orvel;
using orvel::sim::BridgeSimulator;
using orvel::sim::RecordedRequest;
using orvel::sim::SimOptions;

namespace {

const QString kUser = QStringLiteral("orvel-test-user-0123456789abcdefghijklm");

std::unique_ptr<BridgeSimulator> startSim(SimOptions options = {})
{
    auto sim = std::make_unique<BridgeSimulator>();
    QString error;
    if (!sim->start(options, &error))
        qFatal("simulator: %s", qPrintable(error));
    return sim;
}

SimOptions paired(SimOptions options = {})
{
    options.fixedUser = kUser;
    return options;
}

// Reads and waits for the completion; returns the error text ("" on success).
QString readNow(HueBridgeClient& client, int timeoutMs = 8000)
{
    bool done = false;
    QString result = QStringLiteral("<no completion>");
    client.readWithCompletion([&](HueBridgeClient&, const QString& error) {
        done = true;
        result = error;
    });
    (void)QTest::qWaitFor([&] { return done; }, timeoutMs);
    return result;
}

QList<RecordedRequest> requestsTo(const BridgeSimulator& sim, const QString& method, const QString& path)
{
    QList<RecordedRequest> found;
    for (const RecordedRequest& r : sim.requests()) {
        if (r.method == method && r.path == path)
            found << r;
    }
    return found;
}

QJsonObject json(const QByteArray& body)
{
    return QJsonDocument::fromJson(body).object();
}

bool printed(const ConsoleCapture& console, const QString& part)
{
    return std::any_of(console.lines().cbegin(), console.lines().cend(),
                       [&](const QString& line) { return line.contains(part); });
}

std::shared_ptr<HueLight> lightWithId(const HueBridgeClient& client, const QString& id)
{
    for (const auto& light : client.lights().value_or(HueLightList{})) {
        if (light->bridgeId() == id)
            return light;
    }
    return nullptr;
}

// A lights file of `count` colour lights with ids 1..count.
QString writeLightsFile(QTemporaryFile& file, int count)
{
    QJsonObject lights;
    for (int i = 1; i <= count; ++i) {
        lights.insert(
            QString::number(i),
            QJsonObject{{QStringLiteral("name"), QStringLiteral("Lamp %1").arg(i)},
                        {QStringLiteral("type"), QStringLiteral("Extended color light")},
                        {QStringLiteral("uniqueid"), QStringLiteral("00:17:88:01:00:00:00:%1-0b").arg(i)},
                        {QStringLiteral("state"), QJsonObject{{QStringLiteral("on"), true},
                                                              {QStringLiteral("bri"), 100},
                                                              {QStringLiteral("hue"), 1000},
                                                              {QStringLiteral("sat"), 100}}}});
    }
    file.open();
    file.write(QJsonDocument(lights).toJson());
    file.flush();
    return file.fileName();
}

} // namespace

class HttpHueBridgeTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void readsEveryLightTypeInIdOrder();
    void ordersIdsAsNumbersAndKeepsLightObjects();
    void readWithoutUserNameOnlyAsksThePublicConfig();
    void pairsOnceTheLinkButtonIsPressed();
    void reconnectsWithAStoredNameAndNotWithARefusedOne();
    void switchOnAndOffSendTheBridgesOwnValues();
    void keepsTheOrderOfEachLightUnderLoad();
    void retriesWhenTheBridgeIsBusyAndThenGivesUp();
    void givesUpOnASilentBridge();
    void printsErrorListsAndMalformedAnswers();
    void speaksHttpsOnlyToTheBridgesOwnCertificate();
};

void HttpHueBridgeTest::readsEveryLightTypeInIdOrder()
{
    auto sim = startSim(paired());
    auto client = HttpHueBridge::create(sim->hostAndPort(), kUser);
    QCOMPARE(client->lights(), std::nullopt);

    QCOMPARE(readNow(*client), QString());
    QVERIFY(client->authenticated());
    QCOMPARE(client->name(), QStringLiteral("Orvel Sim"));
    QCOMPARE(client->host(), sim->hostAndPort());
    QCOMPARE(client->bridgeId(), sim->bridgeId());

    const HueLightList lights = client->lights().value();
    QCOMPARE(lights.size(), 4u);
    QStringList ids;
    for (const auto& light : lights)
        ids << light->bridgeId();
    QCOMPARE(ids, (QStringList{"1", "2", "5", "11"}));

    const auto& color = lights[0];
    QCOMPARE(color->name(), QStringLiteral("Desk"));
    QCOMPARE(color->type(), std::optional<QString>(QStringLiteral("Extended color light")));
    QCOMPARE(color->uniqueId(), QStringLiteral("00:17:88:01:03:4a:5b:6c-0b"));
    QVERIFY(color->reachable());
    QVERIFY(color->on());
    QCOMPARE(color->hue(), std::optional<int>(8418));
    QCOMPARE(color->saturation(), std::optional<int>(140));
    QCOMPARE(color->brightness(), std::optional<int>(200));

    const auto& ambiance = lights[1]; // colour temperature: brightness only
    QCOMPARE(ambiance->hue(), std::nullopt);
    QCOMPARE(ambiance->saturation(), std::nullopt);
    QCOMPARE(ambiance->brightness(), std::optional<int>(254));
    QVERIFY(!ambiance->on());

    const auto& dimmable = lights[2];
    QCOMPARE(dimmable->hue(), std::nullopt);
    QCOMPARE(dimmable->brightness(), std::optional<int>(127));

    const auto& plug = lights[3];
    QCOMPARE(plug->type(), std::optional<QString>(plugTypeText()));
    QCOMPARE(plug->hue(), std::nullopt);
    QCOMPARE(plug->saturation(), std::nullopt);
    QCOMPARE(plug->brightness(), std::nullopt);

    // A light read refreshes that light alone, from its own resource.
    sim->setLightReachable(QStringLiteral("5"), false);
    sim->setLightState(QStringLiteral("5"), QJsonObject{{QStringLiteral("bri"), 12}});
    sim->clearRequests();
    dimmable->read();
    QTRY_VERIFY(!dimmable->reachable());
    QCOMPARE(dimmable->brightness(), std::optional<int>(12));
    QCOMPARE(sim->requests().size(), 1);
    QCOMPARE(sim->requests().first().path, QStringLiteral("/api/%1/lights/5").arg(kUser));
}

void HttpHueBridgeTest::ordersIdsAsNumbersAndKeepsLightObjects()
{
    QTemporaryFile file;
    QJsonObject lights;
    for (const QString id : {"10", "2", "9", "30"})
        lights.insert(id, QJsonObject{{"name", "Lamp " + id},
                                      {"type", "Dimmable light"},
                                      {"uniqueid", "u-" + id},
                                      {"state", QJsonObject{{"on", true}, {"bri", 10}}}});
    file.open();
    file.write(QJsonDocument(lights).toJson());
    file.flush();
    SimOptions options = paired();
    options.lightsFile = file.fileName();
    auto sim = startSim(options);
    auto client = HttpHueBridge::create(sim->hostAndPort(), kUser);

    QCOMPARE(readNow(*client), QString());
    const HueLightList first = client->lights().value();
    QStringList ids;
    for (const auto& light : first)
        ids << light->bridgeId() + "/" + light->uniqueId();
    QCOMPARE(ids, (QStringList{"2/u-2", "9/u-9", "10/u-10", "30/u-30"}));

    // Rules hold the light objects: a re-read refreshes them in place.
    sim->setLightState(QStringLiteral("9"), QJsonObject{{QStringLiteral("bri"), 77}});
    QCOMPARE(readNow(*client), QString());
    const HueLightList second = client->lights().value();
    QCOMPARE(second.size(), first.size());
    for (std::size_t i = 0; i < first.size(); ++i)
        QCOMPARE(second[i].get(), first[i].get());
    QCOMPARE(first[1]->brightness(), std::optional<int>(77));
}

void HttpHueBridgeTest::readWithoutUserNameOnlyAsksThePublicConfig()
{
    auto sim = startSim(paired());
    auto client = HttpHueBridge::create(sim->hostAndPort(), QString());
    QVERIFY(!readNow(*client).isEmpty());
    QVERIFY(!client->authenticated());
    QCOMPARE(client->name(), QStringLiteral("Orvel Sim"));
    QCOMPARE(client->lights(), std::nullopt);
    for (const RecordedRequest& r : sim->requests())
        QCOMPARE(r.path, QStringLiteral("/api/config"));
}

void HttpHueBridgeTest::pairsOnceTheLinkButtonIsPressed()
{
    auto sim = startSim();
    auto client = HttpHueBridge::create(sim->hostAndPort(), QString());
    ConsoleCapture console;

    // Before the button: the bridge answers 101, which is no news worth a line.
    client->registerUsername();
    client->registerUsername(); // still waiting for the first answer: not sent again
    QTRY_COMPARE(requestsTo(*sim, "POST", "/api").size(), 1);
    QTest::qWait(100);
    QCOMPARE(requestsTo(*sim, "POST", "/api").size(), 1);
    QCOMPARE(client->username(), QString());
    QVERIFY(!printed(console, QStringLiteral("101")));

    const QString deviceType =
        json(requestsTo(*sim, "POST", "/api").first().body).value("devicetype").toString();
    QVERIFY2(deviceType.startsWith(QStringLiteral("Orvel#")), qPrintable(deviceType));
    QVERIFY(deviceType.toUtf8().size() <= 40);

    sim->pressLinkButton();
    client->registerUsername();
    QTRY_VERIFY(!client->username().isEmpty());
    QVERIFY(sim->users().contains(client->username()));

    // The same client reads with the new name, and so does a fresh one.
    QCOMPARE(readNow(*client), QString());
    QVERIFY(client->authenticated());
    auto again = HttpHueBridge::create(sim->hostAndPort(), client->username());
    QCOMPARE(readNow(*again), QString());
    QVERIFY(again->authenticated());
}

void HttpHueBridgeTest::reconnectsWithAStoredNameAndNotWithARefusedOne()
{
    auto sim = startSim(paired());
    ConsoleCapture console;

    auto stored = HttpHueBridge::create(sim->hostAndPort(), kUser);
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
    QVERIFY(!odd->authenticated());
    for (const RecordedRequest& r : sim->requests())
        QVERIFY2(r.path.startsWith(QStringLiteral("/api/")), qPrintable(r.path));
}

void HttpHueBridgeTest::switchOnAndOffSendTheBridgesOwnValues()
{
    auto sim = startSim(paired());
    auto client = HttpHueBridge::create(sim->hostAndPort(), kUser);
    QCOMPARE(readNow(*client), QString());
    const auto light = lightWithId(*client, "1");
    const QString statePath = QStringLiteral("/api/%1/lights/1/state").arg(kUser);
    sim->clearRequests();

    light->write(); // nothing staged: nothing sent

    // What a rule does to switch a light on: the flag and a write, then the colour and a write.
    light->setOn(true);
    light->write();
    light->setHue(40000);
    light->setSaturation(255);
    light->setBrightness(255);
    light->write();
    QTRY_COMPARE(requestsTo(*sim, "PUT", statePath).size(), 2);
    auto puts = requestsTo(*sim, "PUT", statePath);
    QCOMPARE(json(puts[0].body), (QJsonObject{{"on", true}}));
    QCOMPARE(json(puts[1].body), (QJsonObject{{"hue", 40000}, {"sat", 254}, {"bri", 254}}));
    QCOMPARE(sim->requests().size(), 2);
    QTRY_COMPARE(light->hue(), std::optional<int>(40000)); // taken from the bridge's success list
    QCOMPARE(light->brightness(), std::optional<int>(254));

    // Brightness 0 is not off on a bridge; it goes out as the lowest level.
    light->setBrightness(0);
    light->setSaturation(0);
    light->write();
    QTRY_COMPARE(requestsTo(*sim, "PUT", statePath).size(), 3);
    QCOMPARE(json(requestsTo(*sim, "PUT", statePath)[2].body), (QJsonObject{{"sat", 0}, {"bri", 1}}));

    // Switching off sends the flag alone.
    light->setOn(false);
    light->write();
    QTRY_COMPARE(requestsTo(*sim, "PUT", statePath).size(), 4);
    QCOMPARE(json(requestsTo(*sim, "PUT", statePath)[3].body), (QJsonObject{{"on", false}}));
    QTRY_VERIFY(!light->on());
    QCOMPARE(sim->light("1").value("state").toObject().value("on").toBool(), false);

    // A light gets only what it reports: the dimmable light its brightness, the plug its flag.
    sim->clearRequests();
    for (const auto& target : {lightWithId(*client, "5"), lightWithId(*client, "11")}) {
        target->setOn(true);
        target->write();
        target->setHue(1);
        target->setSaturation(2);
        target->setBrightness(3);
        target->write();
    }
    const QString dimmablePath = QStringLiteral("/api/%1/lights/5/state").arg(kUser);
    QTRY_COMPARE(requestsTo(*sim, "PUT", dimmablePath).size(), 2);
    QCOMPARE(json(requestsTo(*sim, "PUT", dimmablePath)[1].body), (QJsonObject{{"bri", 3}}));
    QCOMPARE(requestsTo(*sim, "PUT", QStringLiteral("/api/%1/lights/11/state").arg(kUser)).size(), 1);
}

void HttpHueBridgeTest::keepsTheOrderOfEachLightUnderLoad()
{
    QTemporaryFile file;
    SimOptions options = paired();
    options.lightsFile = writeLightsFile(file, 8);
    options.latencyMs = 60;
    auto sim = startSim(options);
    auto client = HttpHueBridge::create(sim->hostAndPort(), kUser);
    QCOMPARE(readNow(*client), QString());
    const HueLightList lights = client->lights().value();
    QCOMPARE(lights.size(), 8u);
    sim->clearRequests();

    // Many rules switching at once: each light gets an on, a colour, an off, an on, a colour.
    const int rounds = 3;
    for (int round = 0; round < rounds; ++round) {
        for (const auto& light : lights) {
            light->setOn(true);
            light->write();
            light->setHue(static_cast<quint16>(1000 * round + light->bridgeId().toInt()));
            light->write();
        }
    }
    const int expected = rounds * 2 * 8;
    QTRY_COMPARE_WITH_TIMEOUT(sim->requests().size(), expected, 15000);

    for (const auto& light : lights) {
        const auto puts =
            requestsTo(*sim, "PUT", QStringLiteral("/api/%1/lights/%2/state").arg(kUser, light->bridgeId()));
        QCOMPARE(puts.size(), rounds * 2);
        // One light's next request leaves only once the previous one was answered.
        for (qsizetype i = 1; i < puts.size(); ++i)
            QVERIFY2(puts[i].time - puts[i - 1].time >= 0.05, qPrintable(light->bridgeId()));
        for (int round = 0; round < rounds; ++round) {
            QCOMPARE(json(puts[2 * round].body), (QJsonObject{{"on", true}}));
            QCOMPARE(json(puts[2 * round + 1].body),
                     (QJsonObject{{"hue", 1000 * round + light->bridgeId().toInt()}}));
        }
    }
    // At most four requests are out at once: the fifth can only arrive once one of the first four
    // has been answered, which the bridge holds back for 60 ms.
    const auto all = sim->requests();
    QVERIFY2(all[4].time - all[0].time >= 0.05, qPrintable(QString::number(all[4].time - all[0].time)));
}

void HttpHueBridgeTest::retriesWhenTheBridgeIsBusyAndThenGivesUp()
{
    {
        SimOptions options = paired();
        options.rateLimitPerSecond = 3; // over plain HTTP the bridge answers 503
        auto sim = startSim(options);
        BridgeClientOptions clientOptions;
        clientOptions.maxAttempts = 8;
        auto client = HttpHueBridge::create(sim->hostAndPort(), kUser, clientOptions);
        QCOMPARE(readNow(*client), QString());
        ConsoleCapture console;
        QTest::qWait(1000); // a fresh second for the rate limit
        sim->clearRequests();

        const HueLightList lights = client->lights().value();
        for (int i = 0; i < 6; ++i) {
            const auto& light = lights[static_cast<std::size_t>(i % 2)];
            light->setBrightness(static_cast<quint8>(i + 1));
            light->write();
        }
        const auto accepted = [&] {
            int count = 0;
            for (const RecordedRequest& r : sim->requests())
                count += r.status == 200 ? 1 : 0;
            return count;
        };
        QTRY_COMPARE_WITH_TIMEOUT(accepted(), 6, 10000);
        QVERIFY(std::any_of(sim->requests().cbegin(), sim->requests().cend(),
                            [](const RecordedRequest& r) { return r.status == 503; }));
        // Retried requests keep their light's order.
        for (const QString id : {"1", "2"}) {
            QList<int> levels;
            for (const RecordedRequest& r :
                 requestsTo(*sim, "PUT", QStringLiteral("/api/%1/lights/%2/state").arg(kUser, id)))
                if (r.status == 200)
                    levels << json(r.body).value("bri").toInt();
            QCOMPARE(levels, id == "1" ? (QList<int>{1, 3, 5}) : (QList<int>{2, 4, 6}));
        }
        QVERIFY(!printed(console, QStringLiteral("busy")));
    }
    {
        SimOptions options = paired();
        options.https = true; // over HTTPS the bridge answers 429
        options.rateLimitPerSecond = 3;
        auto sim = startSim(options);
        BridgeClientOptions clientOptions;
        clientOptions.maxAttempts = 2;
        clientOptions.backoffSeconds = 0.05;
        auto client = HttpHueBridge::create(sim->hostAndPort(), kUser, clientOptions);
        QCOMPARE(readNow(*client), QString());
        ConsoleCapture console;
        const auto light = client->lights().value().front();
        for (int i = 0; i < 5; ++i) {
            light->setOn(true);
            light->write();
        }
        QTRY_VERIFY(printed(console, QStringLiteral("stayed busy (HTTP 429) through 2 attempts")));
    }
}

void HttpHueBridgeTest::givesUpOnASilentBridge()
{
    auto sim = startSim(paired());
    BridgeClientOptions options;
    options.timeoutMs = 300;
    auto client = HttpHueBridge::create(sim->hostAndPort(), kUser, options);
    QCOMPARE(readNow(*client), QString());
    const HueLightList lights = client->lights().value();

    sim->setSilent(true);
    ConsoleCapture console;
    QElapsedTimer clock;
    clock.start();
    for (const auto& light : lights) {
        light->setOn(true);
        light->write();
    }
    QVERIFY(!readNow(*client, 5000).isEmpty());
    QVERIFY(!client->authenticated());
    QVERIFY(clock.elapsed() < 4000);
    QTRY_VERIFY(printed(console, QStringLiteral("no answer within 0.3 s")));

    // Nothing piles up: once the bridge is back, the next read goes through at once.
    sim->setSilent(false);
    QCOMPARE(readNow(*client), QString());
    QVERIFY(client->authenticated());
    QCOMPARE(client->lights().value().front().get(), lights.front().get());
}

void HttpHueBridgeTest::printsErrorListsAndMalformedAnswers()
{
    auto sim = startSim(paired());
    auto client = HttpHueBridge::create(sim->hostAndPort(), kUser);
    QCOMPARE(readNow(*client), QString());
    ConsoleCapture console;

    // Colour for a light that is off: the bridge's error list, inside an HTTP 200 answer.
    const auto ambiance = lightWithId(*client, "2");
    ambiance->setBrightness(100);
    ambiance->write();
    QTRY_VERIFY(printed(console, QStringLiteral("error 201 at /lights/2/state/bri")));

    const QString lightsPath = QStringLiteral("/api/%1/lights").arg(kUser);
    const struct {
        QByteArray body;
        QByteArray type;
        QString line;
    } answers[] = {
        {"<html><body>Bad gateway</body></html>", "text/html", "not JSON"},
        {"", "application/json", "empty answer"},
        {"[1, 2, 3]", "application/json", "a list where the lights were expected"},
        {R"([{"error":{"type":901,"address":"/lights","description":"Internal error, 404"}}])",
         "application/json", "error 901 at /lights: Internal error, 404"},
    };
    for (const auto& answer : answers) {
        console.clear();
        sim->setRawAnswer(lightsPath, 200, answer.body, answer.type);
        QVERIFY(!readNow(*client).isEmpty());
        QVERIFY(!client->authenticated());
        QVERIFY2(printed(console, answer.line), qPrintable(console.lines().join('\n')));
        QCOMPARE(client->lights().value().size(), 4u); // the last good list stays
    }
    sim->setRawAnswer(lightsPath, 0, QByteArray(), QByteArray());

    const auto desk = lightWithId(*client, "1");
    console.clear();
    sim->setRawAnswer(QStringLiteral("/api/%1/lights/1").arg(kUser), 200, "{\"state\": {\"on\": tr",
                      "application/json");
    desk->read();
    QTRY_VERIFY(
        printed(console, QStringLiteral("read of light 1: the bridge sent an answer that is not JSON")));
    QCOMPARE(desk->hue(), std::optional<int>(8418));

    console.clear();
    sim->setRawAnswer(QStringLiteral("/api/%1/lights/1/state").arg(kUser), 200, "{}", "application/json");
    desk->setOn(true);
    desk->write();
    QTRY_VERIFY(printed(console, QStringLiteral("write of light 1: the bridge sent an object")));
}

void HttpHueBridgeTest::speaksHttpsOnlyToTheBridgesOwnCertificate()
{
    SimOptions options = paired();
    options.https = true;
    auto sim = startSim(options);
    {
        auto client = HttpHueBridge::create(sim->hostAndPort(), kUser);
        QCOMPARE(readNow(*client), QString());
        QVERIFY(client->authenticated());
        QCOMPARE(client->lights().value().size(), 4u);

        // Another bridge takes the address over: it never gets the user name.
        SimOptions otherOptions = options;
        otherOptions.port = sim->port();
        otherOptions.bridgeId = QStringLiteral("001788FFFE0D0E0F");
        sim.reset();
        auto other = startSim(otherOptions);
        QVERIFY(!readNow(*client).isEmpty());
        QVERIFY(!client->authenticated());
        const auto light = client->lights().value().front();
        light->setOn(true);
        light->write();
        QTest::qWait(200);
        for (const RecordedRequest& r : other->requests())
            QCOMPARE(r.path, QStringLiteral("/api/config"));
        other.reset();
        sim = startSim(options);
    }

    // The bridge at this address says it is another bridge than its certificate names.
    QJsonObject config =
        json(QByteArray(R"({"name":"Imposter","bridgeid":"001788FFFE999999","modelid":"BSB002"})"));
    sim->setRawAnswer(QStringLiteral("/api/config"), 200, QJsonDocument(config).toJson(), "application/json");
    sim->clearRequests();
    ConsoleCapture console;
    auto client = HttpHueBridge::create(sim->hostAndPort(), kUser);
    const QString error = readNow(*client);
    QVERIFY2(error.contains(QStringLiteral("certificate")), qPrintable(error));
    QVERIFY(!client->authenticated());
    QVERIFY(printed(console, QStringLiteral("not talking to it")));
    client->registerUsername();
    QTest::qWait(200);
    // Only the public configuration was asked for; the user name never went out, not even over HTTP.
    for (const RecordedRequest& r : sim->requests())
        QCOMPARE(r.path, QStringLiteral("/api/config"));
    QCOMPARE(sim->requests().size(), 1);
}

ORVEL_TEST_MAIN(HttpHueBridgeTest)
#include "http_hue_bridge_test.moc"
