#pragma once

#include "controller/LightList.h"
#include "controller/bridge/HttpHueBridgeServices.h"
#include "platform/Console.h"
#include "platform/MainQueue.h"
#include "platform/Preferences.h"
#include "support/FakeMidi.h"
#include "support/SimBridge.h"

#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace orvel::test {

// A rule as the settings window stores it: the light's position and its on state.
inline void storeRule(qint64 id, qint64 light, double hue, double saturation = 255, double value = 255)
{
    Preferences& prefs = Preferences::standard();
    prefs.setInteger(LightRule::key(id, "light_index"), light);
    prefs.setDouble(LightRule::key(id, "on_hue"), hue);
    prefs.setDouble(LightRule::key(id, "on_saturation"), saturation);
    prefs.setDouble(LightRule::key(id, "on_value"), value);
}

// The services as shipped, with discovery kept to the given host: no multicast, no cloud.
inline std::shared_ptr<HttpHueBridgeServices> loopbackServices(BridgeClientOptions client = {})
{
    DiscoveryOptions discovery;
    discovery.useMdns = false;
    discovery.useCloud = false;
    return std::make_shared<HttpHueBridgeServices>(client, discovery);
}

// A controller set up for the bridge at `host` ("127.0.0.1:PORT").
inline std::unique_ptr<LightList> liveController(std::shared_ptr<HueBridgeServices> services,
                                                 std::shared_ptr<MidiEndpoints> midi, const QString& host)
{
    auto list = std::make_unique<LightList>(std::move(services), std::move(midi));
    list->setGivenBridgeHost(host);
    list->setUp();
    return list;
}

// The state writes one light got, in order (writes to different lights may overtake each other).
inline QStringList writesTo(const SimBridge& bridge, int light)
{
    return bridge.writes().filter(QRegularExpression(QStringLiteral("^%1 ").arg(light)));
}

// "c68" controller 44 value 68, "x45/68" controller 45 value 68, "n95/127" note-on, "f25/0" note-off,
// "p5" program change 5; "@3" after a message puts it on channel 3 (else 1). "s<hex>" is a sysex.
inline std::vector<MidiCommand> parseMessages(const QString& script)
{
    std::vector<MidiCommand> batch;
    for (const QString& word : script.split(' ', Qt::SkipEmptyParts)) {
        if (word[0] == 's') {
            batch.push_back({0xF0, 0, 0, QByteArray::fromHex(word.mid(1).toLatin1())});
            continue;
        }
        const QString body = word.mid(1).section('@', 0, 0);
        const QStringList parts = (word[0] == 'c' ? "44/" + body : body + "/0").split('/');
        const quint8 kind = word[0] == 'n' ? 0x90 : word[0] == 'f' ? 0x80 : word[0] == 'p' ? 0xC0 : 0xB0;
        const quint8 channel = word.contains('@') ? quint8(word.section('@', 1).toUInt() - 1) : 0;
        batch.push_back(
            FakeMidiEndpoints::message(kind | channel, quint8(parts[0].toUInt()), quint8(parts[1].toUInt())));
    }
    return batch;
}

// One controller on a manual clock with fake MIDI, talking HTTP to the bridge simulator on
// loopback, over a store of its own. Time stands still while a request is out: the loopback
// bridge answers within any step of the controller.
struct ControllerHarness {
    QTemporaryDir dir;
    ManualClock clock;
    ScopedMainQueue scope{clock};
    SimBridge bridge;
    std::shared_ptr<SimBridgeServices> bridges = std::make_shared<SimBridgeServices>();
    std::shared_ptr<FakeMidiEndpoints> midi = std::make_shared<FakeMidiEndpoints>();
    std::unique_ptr<LightList> list;
    QStringList statusTexts; // every status shown, in order

    explicit ControllerHarness(const QByteArray& lights = kThreeLights, const sim::SimOptions& options = {})
        : bridge(lights, options)
    {
        Preferences::installStandard(std::make_unique<Preferences>(dir.filePath("prefs.json")));
    }
    ~ControllerHarness()
    {
        list.reset();
        Preferences::installStandard(nullptr);
    }

    static Preferences& prefs() { return Preferences::standard(); }
    QStringList writes() const { return bridge.writes(); }
    void clearRequests() { bridge.sim.clearRequests(); }
    // Moves time on in steps shorter than any delay of the controller, the bridge answering between
    // (0: only lets every request out reach the bridge and its answer come back).
    void advance(double seconds) { bridges->advance(clock, seconds); }

    void create()
    {
        list = std::make_unique<LightList>(bridges, midi);
        QObject::connect(list.get(), &LightList::changed, list.get(), [this] {
            if (statusTexts.value(statusTexts.size() - 1) != list->statusText())
                statusTexts << list->statusText();
        });
    }
    // Created and set up, no bridge reported: MIDI only.
    void listen()
    {
        create();
        list->setUp();
    }

    // Creates the controller if needed, sets it up and reports the bridge, with `username` stored
    // unless it is empty.
    void start(const QString& username = kSimUser)
    {
        if (!username.isEmpty())
            prefs().setText("hue_username", username);
        if (!list)
            create();
        list->setUp();
        bridges->delegate->foundHueAt(bridge.host(), {});
        advance(0);
    }

    // Connected, with the rules' first blink and the start-up flash test over.
    void connect()
    {
        start();
        advance(3.0);
        clearRequests();
    }

    // A fresh start of the program over the same store.
    void restart()
    {
        list.reset();
        bridges = std::make_shared<SimBridgeServices>();
        midi = std::make_shared<FakeMidiEndpoints>();
        create();
    }

    // The switches `messages` (see parseMessages) cause, read off the published `on`.
    QStringList switchesFor(const QString& messages)
    {
        QStringList calls;
        auto connection =
            QObject::connect(list.get(), &LightList::changed, [&] { calls << (list->on() ? "on" : "off"); });
        midi->deliver(parseMessages(messages));
        QObject::disconnect(connection);
        return calls;
    }
};

} // namespace orvel::test
