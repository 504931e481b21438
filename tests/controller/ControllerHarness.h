#pragma once

#include "LiveController.h"
#include "platform/Console.h"
#include "platform/MainQueue.h"
#include "support/FakeMidi.h"
#include "support/SimBridge.h"

#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace orvel::test {

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

    ControllerHarness()
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
