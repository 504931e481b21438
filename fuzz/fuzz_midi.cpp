// MIDI from other programs, which may be anything: batches through the decoder and the inbox, then
// the whole dispatch through the controller, on fake MIDI and a fake bridge, on a manual clock.
//
// Input: two bytes of trigger settings (switches as bits, then the channel), then records of a
// length byte and that many bytes (one MIDI message each). A length byte of 0xFF is instead a
// pause: the next byte is how many tenths of a second pass; 0xFE starts learning, for "on" when
// the next byte is even. Each run of messages between pauses is one batch, as the MIDI layer
// delivers it.
#include "FuzzCheck.h"

#include "FakeHueBridge.h"
#include "controller/LightList.h"
#include "controller/midi/MidiDecoder.h"
#include "controller/midi/MidiInbox.h"
#include "platform/MainQueue.h"
#include "platform/Preferences.h"
#include "support/FakeMidi.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <tuple>

using namespace orvel;
using namespace orvel::test;

namespace {

QTemporaryDir* home;

struct LightSnapshot {
    bool on;
    std::optional<int> hue, sat, bri;
    bool operator==(const LightSnapshot&) const = default;
};

std::vector<LightSnapshot> snapshot(const FakeHueBridge& bridge)
{
    std::vector<LightSnapshot> states;
    const auto lights = bridge.lights();
    for (const auto& light : *lights)
        states.push_back({light->on(), light->hue(), light->saturation(), light->brightness()});
    return states;
}

bool sameCommand(const MidiCommand& a, const MidiCommand& b)
{
    return std::tie(a.commandType, a.data1, a.data2, a.bytes) ==
           std::tie(b.commandType, b.data1, b.data2, b.bytes);
}

// One batch: the inbox must give what decoding each message alone gives, in order.
std::vector<MidiCommand> decodeBatch(const std::vector<QByteArray>& messages)
{
    MidiInbox inbox;
    std::vector<MidiCommand> one_by_one;
    bool first = true;
    for (const QByteArray& message : messages) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(message.constData());
        FUZZ_CHECK(inbox.push(bytes, std::size_t(message.size())) == first);
        first = false;
        if (auto command = decodeMidi(bytes, std::size_t(message.size()))) {
            FUZZ_CHECK(command->bytes == message);
            one_by_one.push_back(std::move(*command));
        }
    }
    const std::vector<MidiCommand> batch = inbox.drain();
    FUZZ_CHECK(batch.size() == one_by_one.size());
    for (std::size_t i = 0; i < batch.size(); ++i)
        FUZZ_CHECK(sameCommand(batch[i], one_by_one[i]));
    FUZZ_CHECK(inbox.drain().empty());
    return batch;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Learning and the switches store what they change, and every store syncs its file: on a
    // memory file system that costs nothing, so inputs run at the speed of the code.
    const QString base =
        QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
    home = new QTemporaryDir(base + QStringLiteral("/orvel-fuzz-XXXXXX"));
    for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
        qputenv(name, home->path().toUtf8());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size)
{
    ManualClock clock;
    ScopedMainQueue scope(clock);
    // Each input starts from an empty store: what one input learned must not pile up in the next.
    QFile::remove(home->filePath(QStringLiteral("prefs.json")));
    Preferences::installStandard(std::make_unique<Preferences>(home->filePath(QStringLiteral("prefs.json"))));
    Preferences::standard().setText(QStringLiteral("hue_username"), QStringLiteral("user1"));
    Preferences::standard().setInteger(QStringLiteral("rule_count"), 3);
    for (int rule = 0; rule < 3; ++rule)
        Preferences::standard().setInteger(LightRule::key(rule, QStringLiteral("light_index")), rule);

    auto bridges = std::make_shared<FakeBridgeServices>();
    bridges->configure = [](FakeHueBridge& bridge) {
        bridge.addColorLight(QStringLiteral("Desk"), 8000, 140, 200, true);
        bridge.addWhiteLight(QStringLiteral("Hall"), 120, false);
        bridge.addPlug(QStringLiteral("Fan"), true);
    };
    auto midi = std::make_shared<FakeMidiEndpoints>();
    {
        LightList list(bridges, midi);
        list.setUp();
        bridges->delegate->foundHueAt(QStringLiteral("10.0.0.2"), {});
        clock.advance(5.0);
        FUZZ_CHECK(bridges->latest() && list.lightRules().size() == 3);
        const auto before = snapshot(*bridges->latest());
        std::size_t at = 0;
        if (size >= 2) {
            MidiTriggerSettings settings;
            settings.recordNote = data[0] & 1;
            settings.selectNote = data[0] & 2;
            settings.huiSequences = data[0] & 4;
            settings.lightWhileArmed = data[0] & 8;
            settings.offWhenDawLeaves = data[0] & 16;
            settings.channel = data[1] % 17;
            list.setTriggerSettings(settings);
            at = 2;
        }
        std::size_t sysexReceived = 0;

        std::vector<QByteArray> messages;
        const auto deliver = [&] {
            if (messages.empty())
                return;
            const std::vector<MidiCommand> batch = decodeBatch(messages);
            for (const MidiCommand& command : batch)
                sysexReceived += command.commandType == 0xF0;
            list.handleMIDI(batch);
            messages.clear();
            FUZZ_CHECK(list.midiCCHistory().elements.size() <= 3);
        };
        while (at < size) {
            const std::size_t length = data[at++];
            if (length == 0xFE) {
                deliver();
                list.startLearning(at < size && data[at++] % 2 ? TriggerAction::Off : TriggerAction::On);
                continue;
            }
            if (length == 0xFF) {
                deliver();
                clock.advance(at < size ? data[at++] / 10.0 : 0.0);
                continue;
            }
            const std::size_t take = std::min(length, size - at);
            messages.push_back(fuzz::bytes(data + at, take));
            at += take;
        }
        deliver();

        // A surface host is answered once per query at most, with a well-formed Mackie sysex.
        FUZZ_CHECK(midi->sent.size() <= sysexReceived);
        for (const MidiCommand& answer : midi->sent) {
            FUZZ_CHECK(answer.bytes.startsWith(QByteArrayLiteral("\xF0\x00\x00\x66")));
            FUZZ_CHECK(decodeMidi(reinterpret_cast<const unsigned char*>(answer.bytes.constData()),
                                  std::size_t(answer.bytes.size())));
        }
        // What was learned is stored in a form that reads back whole.
        QStringList problems;
        FUZZ_CHECK(learnedFromJson(learnedToJson(list.learnedTriggers()), &problems).size() ==
                   list.learnedTriggers().size());
        FUZZ_CHECK(problems.isEmpty());

        // A final "off" and enough time for every step: the lights are back as they were.
        list.rulesOff();
        clock.advance(60.0);
        FUZZ_CHECK(!list.on());
        for (const auto& rule : list.lightRules())
            FUZZ_CHECK(!rule->on());
        FUZZ_CHECK(snapshot(*bridges->latest()) == before);
    }
    Preferences::installStandard(nullptr);
    return 0;
}
