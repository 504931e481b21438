#pragma once

#include "controller/LightList.h"
#include "platform/Console.h"
#include "platform/MainQueue.h"
#include "platform/Preferences.h"
#include "support/FakeHueBridge.h"
#include "support/FakeMidi.h"

#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <memory>

namespace orvel::test {

inline const QString kBridgeHost = QStringLiteral("10.0.0.2");

// One controller on a manual clock, fake bridges and fake MIDI, over a store of its own.
struct ControllerHarness {
    QTemporaryDir dir;
    ManualClock clock;
    ScopedMainQueue scope{clock};
    std::shared_ptr<FakeBridgeServices> bridges = std::make_shared<FakeBridgeServices>();
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
    FakeHueBridge& bridge() const { return *bridges->latest(); }

    // Every bridge client the controller makes gets Desk (on), Shelf (off) and Hall.
    void useThreeLights(std::function<void(FakeHueBridge&)> more = {})
    {
        bridges->configure = [more](FakeHueBridge& bridge) {
            bridge.addColorLight("Desk", 8000, 140, 200, true);
            bridge.addColorLight("Shelf", 30000, 100, 150, false);
            bridge.addColorLight("Hall", 46000, 254, 254, true);
            if (more)
                more(bridge);
        };
    }

    void create()
    {
        list = std::make_unique<LightList>(bridges, midi);
        QObject::connect(list.get(), &LightList::changed, list.get(), [this] {
            if (statusTexts.isEmpty() || statusTexts.last() != list->statusText())
                statusTexts << list->statusText();
        });
    }

    // Creates the controller if needed, sets it up and reports the bridge, with `username` stored
    // unless it is empty.
    void start(const QString& username = QStringLiteral("user1"))
    {
        if (!username.isEmpty())
            prefs().setText("hue_username", username);
        if (!list)
            create();
        list->setUp();
        bridges->delegate->foundHueAt(kBridgeHost, {});
    }

    // Starts with a name the bridge accepts and lets the rules' first blink and the start-up flash
    // test pass.
    void connect()
    {
        start();
        clock.advance(3.0);
        if (bridges->latest())
            bridge().writes.clear();
    }

    // A fresh start of the program over the same store.
    void restart()
    {
        list.reset();
        auto configure = bridges->configure;
        bridges = std::make_shared<FakeBridgeServices>();
        bridges->configure = configure;
        midi = std::make_shared<FakeMidiEndpoints>();
        create();
    }

    static void storeRule(qint64 id, qint64 light, double hue, double saturation = 255, double value = 255)
    {
        prefs().setInteger(LightRule::key(id, "light_index"), light);
        prefs().setDouble(LightRule::key(id, "on_hue"), hue);
        prefs().setDouble(LightRule::key(id, "on_saturation"), saturation);
        prefs().setDouble(LightRule::key(id, "on_value"), value);
    }

    QList<qint64> ruleIDs() const
    {
        QList<qint64> ids;
        for (const auto& rule : list->lightRules())
            ids << rule->ruleID();
        return ids;
    }
};

// "c68" controller 44 value 68, "x45/68" controller 45 value 68, "n95/127" note-on, "f25/0" note-off,
// "p5" program change 5;
// "@3" after a message puts it on channel 3 (else 1). "s<hex>" is a sysex message.
inline std::vector<MidiCommand> parseMessages(const QString& script)
{
    std::vector<MidiCommand> batch;
    for (const QString& word : script.split(' ', Qt::SkipEmptyParts)) {
        if (word[0] == 's') {
            MidiCommand sysex;
            sysex.commandType = 0xF0;
            sysex.bytes = QByteArray::fromHex(word.mid(1).toLatin1());
            batch.push_back(sysex);
            continue;
        }
        const QStringList parts = word.mid(1).split('@');
        QStringList numbers = parts[0].split('/');
        if (word[0] == 'c')
            numbers.prepend("44");
        if (word[0] == 'p')
            numbers.append("0");
        const quint8 kind = word[0] == 'n' ? 0x90 : word[0] == 'f' ? 0x80 : word[0] == 'p' ? 0xC0 : 0xB0;
        const quint8 channel = parts.size() > 1 ? quint8(parts[1].toUInt() - 1) : 0;
        batch.push_back(FakeMidiEndpoints::message(kind | channel, quint8(numbers[0].toUInt()),
                                                   quint8(numbers[1].toUInt())));
    }
    return batch;
}

} // namespace orvel::test
