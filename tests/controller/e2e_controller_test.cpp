// The whole road from a MIDI note to the bridge: another JACK client sends to "Orvel", the
// controller dispatches, the rules write through the real HTTP client, and the simulated bridge
// on loopback records what arrived. Needs a JACK server or jackd (scripts/with-jack.sh).

#include "BridgeSimulator.h"
#include "controller/LightList.h"
#include "controller/bridge/HttpHueBridgeServices.h"
#include "controller/midi/RtMidiEndpoints.h"
#include "platform/Preferences.h"
#include "support/JackSupport.h"
#include "support/Program.h"
#include "support/TestMain.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <RtMidi.h>

#include <memory>

using namespace orvel;

namespace {

const QString kUser = QStringLiteral("e2e-controller-user");

// Two colour lights in the bridge's own format: Desk on, Shelf off.
const char kLights[] = R"({
  "1": {"name": "Desk", "type": "Extended color light", "uniqueid": "00:17:88:01:00:00:00:01-0b",
        "state": {"on": true, "hue": 8000, "sat": 140, "bri": 200, "reachable": true}},
  "2": {"name": "Shelf", "type": "Extended color light", "uniqueid": "00:17:88:01:00:00:00:02-0b",
        "state": {"on": false, "hue": 30000, "sat": 200, "bri": 150, "reachable": true}}
})";

// "METHOD body" of every request the bridge got for one light, reads and writes, in order.
QStringList requestsForLight(const sim::BridgeSimulator& bridge, const QString& id)
{
    const QString light = QStringLiteral("/api/%1/lights/%2").arg(kUser, id);
    QStringList seen;
    for (const auto& request : bridge.requests()) {
        if (request.path == light || request.path == light + QStringLiteral("/state"))
            seen << (request.method + QLatin1Char(' ') + request.path.mid(light.size()) + QLatin1Char(' ') +
                     QString::fromUtf8(request.body))
                        .trimmed();
    }
    return seen;
}

} // namespace

class TestControllerEndToEnd : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void noteSwitchesTheRulesLightsOnTheBridge();
    void learnedTriggersAndRememberedSourcesOutliveARestart();

private:
    // The simulated bridge's two lights, our user paired.
    sim::SimOptions simOptions() const
    {
        sim::SimOptions options;
        options.fixedUser = kUser;
        options.lightsFile = dir_.filePath("lights.json");
        return options;
    }
    // A controller on JACK for `bridge`, once its rules have blinked and the flash test is over.
    std::unique_ptr<LightList> startController(const sim::BridgeSimulator& bridge);

    test::JackServer jack_;
    QTemporaryDir dir_;
};

void TestControllerEndToEnd::initTestCase()
{
    if (const QString why = jack_.ensureRunning(); !why.isEmpty())
        QSKIP(qPrintable(why));
    QVERIFY(dir_.isValid());
    QFile lights(dir_.filePath("lights.json"));
    QVERIFY(lights.open(QIODevice::WriteOnly) && lights.write(kLights) > 0);
    lights.close();
    Preferences::installStandard(std::make_unique<Preferences>(dir_.filePath("prefs.json")));
    auto& prefs = Preferences::standard();
    prefs.setText("hue_username", kUser);
    prefs.setInteger("rule_count", 2);
    const struct {
        qint64 light;
        double hue, saturation, value;
    } rules[] = {{0, 1000, 100, 50}, {1, 50000, 254, 254}};
    for (qint64 id = 0; id < 2; ++id) {
        prefs.setInteger(LightRule::key(id, "light_index"), rules[id].light);
        prefs.setDouble(LightRule::key(id, "on_hue"), rules[id].hue);
        prefs.setDouble(LightRule::key(id, "on_saturation"), rules[id].saturation);
        prefs.setDouble(LightRule::key(id, "on_value"), rules[id].value);
    }
}

void TestControllerEndToEnd::cleanupTestCase()
{
    Preferences::installStandard(nullptr);
}

std::unique_ptr<LightList> TestControllerEndToEnd::startController(const sim::BridgeSimulator& bridge)
{
    // Discovery stays on loopback: only the given host.
    DiscoveryOptions discovery;
    discovery.useMdns = false;
    discovery.useCloud = false;
    auto services = std::make_shared<HttpHueBridgeServices>(BridgeClientOptions{}, discovery);
    auto midi = std::make_shared<RtMidiEndpoints>(RtMidiEndpoints::Api::Jack);
    auto list = std::make_unique<LightList>(services, midi);
    list->setGivenBridgeHost(bridge.hostAndPort());
    list->setUp();

    auto ready = [&] {
        return list->statusText().startsWith("Connected to Hue Bridge 'Orvel Sim' at 127.0.0.1:") &&
               list->lightRules().size() == 2 && !list->blinkingAll() &&
               // Each rule blinks its light once when it is built: on state, then back after 2 s.
               requestsForLight(bridge, "1").count(QStringLiteral("PUT /state {\"on\":true}")) >= 2 &&
               requestsForLight(bridge, "1")
                   .endsWith(QStringLiteral("PUT /state {\"hue\":8000,\"sat\":140,\"bri\":200}")) &&
               requestsForLight(bridge, "2").contains(QStringLiteral("PUT /state {\"on\":false}")) &&
               !list->lightRules()[0]->transitioning() && !list->lightRules()[1]->transitioning();
    };
    if (!QTest::qWaitFor(ready, 20000)) {
        qWarning("the controller did not get ready: %s", qPrintable(list->statusText()));
        return nullptr;
    }
    return list;
}

void TestControllerEndToEnd::noteSwitchesTheRulesLightsOnTheBridge()
{
    sim::BridgeSimulator bridge;
    QString error;
    QVERIFY2(bridge.start(simOptions(), &error), qPrintable(error));

    auto started = startController(bridge);
    QVERIFY(started);
    LightList& list = *started;
    bridge.clearRequests();

    RtMidiOut sender(RtMidi::UNIX_JACK, "orvel-e2e-sender");
    const int port = test::findMidiPort(sender, "Orvel");
    QVERIFY2(port >= 0, "the destination \"Orvel\" is not visible to other JACK clients");
    sender.openPort(unsigned(port), "out");

    // Repeating the note until the first light is read changes nothing: a rule already on or
    // switching on ignores a second switch-on.
    QVERIFY(test::sendUntil(sender, {0x90, 95, 127}, [&] { return !bridge.requests().isEmpty(); }));
    const QStringList desk{"GET", "PUT /state {\"on\":true}",
                           "PUT /state {\"hue\":1000,\"sat\":100,\"bri\":50}"};
    const QStringList shelf{"GET", "PUT /state {\"on\":true}",
                            "PUT /state {\"hue\":50000,\"sat\":254,\"bri\":254}"};
    QTRY_COMPARE_WITH_TIMEOUT(requestsForLight(bridge, "1"), desk, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(requestsForLight(bridge, "2"), shelf, 10000);
    QVERIFY(list.on());

    bridge.clearRequests();
    const std::vector<unsigned char> noteOff{0x90, 95, 0};
    sender.sendMessage(&noteOff);
    QTRY_COMPARE_WITH_TIMEOUT(
        requestsForLight(bridge, "1"),
        QStringList({"PUT /state {\"on\":true}", "PUT /state {\"hue\":8000,\"sat\":140,\"bri\":200}"}),
        10000);
    QTRY_COMPARE_WITH_TIMEOUT(requestsForLight(bridge, "2"), QStringList({"PUT /state {\"on\":false}"}),
                              10000);
    QVERIFY(!list.on());
}

// Taught from another JACK client, kept across a restart, with the DAW's ports connected by Orvel
// whenever they appear.
void TestControllerEndToEnd::learnedTriggersAndRememberedSourcesOutliveARestart()
{
    sim::BridgeSimulator bridge;
    QString error;
    QVERIFY2(bridge.start(simOptions(), &error), qPrintable(error));
    auto list = startController(bridge);
    QVERIFY(list);
    const QString out = QStringLiteral("e2e-daw:mackie control out");
    const QString in = QStringLiteral("e2e-daw:mackie control in");

    auto daw = std::make_unique<test::Program>(QProcessEnvironment::systemEnvironment(),
                                               QStringLiteral(DAW_PEER), QStringList{"--name", "e2e-daw"});
    QTRY_VERIFY_WITH_TIMEOUT(daw->said("ready"), 10000);
    list->midiSources()->setRemembered(out, true);
    QTRY_VERIFY_WITH_TIMEOUT(daw->said("talking"), 10000); // Orvel connected both directions
    QCOMPARE(list->midiConnections("Orvel"), QStringList{out});
    QCOMPARE(list->midiConnections("Orvel Input"), QStringList{in});

    // The DAW's start-up burst is full of note-offs: let it pass before the lessons.
    list->setActivityRecording(true);
    QTRY_VERIFY_WITH_TIMEOUT(!list->activity().entries().isEmpty() &&
                                 list->activity().entries().first().bytes == QByteArray::fromHex("907500"),
                             10000);
    list->setActivityRecording(false);
    list->startLearning(TriggerAction::On);
    daw->send("send 9a3c64"); // note 60 on channel 11
    QTRY_VERIFY_WITH_TIMEOUT(!list->learning(), 10000);
    list->startLearning(TriggerAction::Off);
    daw->send("send b05000"); // controller 80 to 0
    QTRY_VERIFY_WITH_TIMEOUT(!list->learning(), 10000);
    QCOMPARE(list->learnedTriggers().size(), std::size_t(2));
    QVERIFY(!list->on());

    list.reset(); // Orvel quits and starts again; the DAW stays
    bridge.clearRequests();
    list = startController(bridge);
    QVERIFY(list);
    QTRY_COMPARE_WITH_TIMEOUT(list->midiConnections("Orvel"), QStringList{out}, 10000);
    bridge.clearRequests();
    daw->send("send 9a3c64");
    const QStringList deskOn{"GET", "PUT /state {\"on\":true}",
                             "PUT /state {\"hue\":1000,\"sat\":100,\"bri\":50}"};
    QTRY_COMPARE_WITH_TIMEOUT(requestsForLight(bridge, "1"), deskOn, 10000);
    daw->send("send b05000");
    QTRY_COMPARE_WITH_TIMEOUT(requestsForLight(bridge, "1"),
                              deskOn + QStringList({"PUT /state {\"on\":true}",
                                                    "PUT /state {\"hue\":8000,\"sat\":140,\"bri\":200}"}),
                              10000);

    // The DAW goes and comes back: connected again, both ways; unchecked: Orvel lets go.
    daw.reset();
    QTRY_VERIFY_WITH_TIMEOUT(list->midiConnections("Orvel").isEmpty(), 10000);
    daw = std::make_unique<test::Program>(QProcessEnvironment::systemEnvironment(), QStringLiteral(DAW_PEER),
                                          QStringList{"--name", "e2e-daw"});
    QTRY_VERIFY_WITH_TIMEOUT(daw->said("talking"), 10000);
    QCOMPARE(list->midiConnections("Orvel Input"), QStringList{in});
    list->midiSources()->setRemembered(out, false);
    QTRY_VERIFY_WITH_TIMEOUT(
        list->midiConnections("Orvel").isEmpty() && list->midiConnections("Orvel Input").isEmpty(), 10000);
}

ORVEL_TEST_MAIN(TestControllerEndToEnd)
#include "e2e_controller_test.moc"
