#include "controller/midi/MidiTriggers.h"

#include "platform/Preferences.h"

namespace orvel {

namespace {

const QString kRecordNoteKey = QStringLiteral("midi_note95");
const QString kSelectNoteKey = QStringLiteral("midi_note25");
const QString kHuiKey = QStringLiteral("midi_cc44");
const QString kArmedKey = QStringLiteral("midi_light_while_armed");
const QString kDawLeavesKey = QStringLiteral("midi_off_when_daw_leaves");
const QString kChannelKey = QStringLiteral("midi_channel");

// Mackie Control (0x14) and its extender (0x15), Logic Control (0x10) and its extender (0x11).
constexpr quint8 kMackieMain = 0x14;
constexpr quint8 kLogicMain = 0x10;
bool isSurfaceType(int type)
{
    return type == 0x10 || type == 0x11 || type == 0x14 || type == 0x15;
}

// Message ids after the device type, with the whole message's length.
constexpr quint8 kDeviceQuery = 0x00;    // host: F0 00 00 66 tt 00 F7
constexpr quint8 kHostConnection = 0x01; // device: ... 01 <serial 7> <challenge 4> F7
constexpr quint8 kHostReply = 0x02;      // host: ... 02 <serial 7> <response 4> F7
constexpr quint8 kConfirmation = 0x03;   // device: ... 03 <serial 7> F7
constexpr quint8 kReset = 0x08;          // host: ... 08 00 F7, all off
constexpr qsizetype kSerialLength = 7;

// Any 7-bit bytes will do; hosts only echo the serial and compute a response from the challenge.
const QByteArray kSerial = QByteArrayLiteral("ORVEL01");
const QByteArray kChallenge = QByteArrayLiteral("\x01\x02\x03\x04");

qsizetype expectedLength(quint8 id)
{
    switch (id) {
    case kDeviceQuery:
        return 7;
    case kHostReply:
        return 6 + kSerialLength + 4 + 1;
    case kReset:
        return 8;
    default:
        return -1;
    }
}

quint8 byteAt(const QByteArray& bytes, qsizetype i)
{
    return static_cast<quint8>(bytes.at(i));
}

bool sysexMatches(const MidiTrigger& trigger, const MidiCommand& command)
{
    const int type = mackieDeviceType(command);
    if (type < trigger.low || type > trigger.high)
        return false;
    const QByteArray& b = command.bytes;
    if (b.size() < 7 || byteAt(b, 5) != trigger.number || b.size() != expectedLength(trigger.number))
        return false;
    return trigger.number != kReset || byteAt(b, 6) == 0;
}

bool matches(const MidiTrigger& trigger, const MidiCommand& command)
{
    if (trigger.kind == MidiTrigger::Kind::MackieSysex)
        return command.commandType == 0xF0 && sysexMatches(trigger, command);
    if (trigger.channel >= 0 && trigger.channel != command.channel())
        return false;
    const bool zeroVelocityNoteOn = command.commandType == MidiCommand::kNoteOn && command.velocity() == 0;
    switch (trigger.kind) {
    case MidiTrigger::Kind::NoteOn:
        return command.commandType == MidiCommand::kNoteOn && !zeroVelocityNoteOn &&
               command.note() == trigger.number && command.velocity() >= trigger.low &&
               command.velocity() <= trigger.high;
    case MidiTrigger::Kind::NoteOff:
        return (command.commandType == MidiCommand::kNoteOff || zeroVelocityNoteOn) &&
               command.note() == trigger.number;
    case MidiTrigger::Kind::ControlChange:
        return command.commandType == MidiCommand::kControlChange &&
               command.controllerNumber() == trigger.number && command.controllerValue() >= trigger.low &&
               command.controllerValue() <= trigger.high;
    case MidiTrigger::Kind::ProgramChange:
        return command.commandType == 0xCF && command.data1 == trigger.number;
    case MidiTrigger::Kind::MackieSysex:
        break;
    }
    return false;
}

QByteArray surfaceMessage(quint8 type, quint8 id, const QByteArray& body)
{
    return QByteArrayLiteral("\xF0\x00\x00\x66") + char(type) + char(id) + body + char(0xF7);
}

} // namespace

MidiTriggerSettings MidiTriggerSettings::load()
{
    const Preferences& store = Preferences::standard();
    MidiTriggerSettings s;
    s.recordNote = store.boolean(kRecordNoteKey).valueOr(s.recordNote);
    s.selectNote = store.boolean(kSelectNoteKey).valueOr(s.selectNote);
    s.huiSequences = store.boolean(kHuiKey).valueOr(s.huiSequences);
    s.lightWhileArmed = store.boolean(kArmedKey).valueOr(s.lightWhileArmed);
    s.offWhenDawLeaves = store.boolean(kDawLeavesKey).valueOr(s.offWhenDawLeaves);
    const qint64 channel = store.integer(kChannelKey).valueOr(0);
    s.channel = channel >= 0 && channel <= 16 ? int(channel) : 0;
    return s;
}

void MidiTriggerSettings::store() const
{
    Preferences& store = Preferences::standard();
    store.setBool(kRecordNoteKey, recordNote);
    store.setBool(kSelectNoteKey, selectNote);
    store.setBool(kHuiKey, huiSequences);
    store.setBool(kArmedKey, lightWhileArmed);
    store.setBool(kDawLeavesKey, offWhenDawLeaves);
    store.setInteger(kChannelKey, channel);
}

std::vector<MidiTrigger> builtInTriggers(const MidiTriggerSettings& settings)
{
    using Kind = MidiTrigger::Kind;
    const int channel = settings.channel - 1; // -1: any
    std::vector<MidiTrigger> table;
    // The handshake comes first: it never switches anything, and a host waits for it.
    table.push_back({Kind::MackieSysex, -1, kDeviceQuery, kMackieMain, kMackieMain,
                     TriggerAction::DeviceQuery, false,
                     QStringLiteral("Mackie Control device query: answered")});
    table.push_back({Kind::MackieSysex, -1, kDeviceQuery, kLogicMain, kLogicMain, TriggerAction::DeviceQuery,
                     false, QStringLiteral("Logic Control device query: answered")});
    table.push_back({Kind::MackieSysex, -1, kHostReply, kLogicMain, kMackieMain, TriggerAction::HostReply,
                     false, QStringLiteral("control surface host reply: confirmed")});
    if (settings.offWhenDawLeaves)
        table.push_back({Kind::MackieSysex, -1, kReset, 0x10, 0x15, TriggerAction::DawGone, true,
                         QStringLiteral("control surface reset: lights back")});
    if (settings.recordNote) {
        table.push_back({Kind::NoteOn, channel, 95, 127, 127, TriggerAction::On, true,
                         QStringLiteral("Record LED on: lights on")});
        if (settings.lightWhileArmed)
            table.push_back({Kind::NoteOn, channel, 95, 1, 1, TriggerAction::On, true,
                             QStringLiteral("Record LED blinking (armed): lights on")});
        table.push_back({Kind::NoteOff, channel, 95, 0, 127, TriggerAction::Off, true,
                         QStringLiteral("Record LED off: lights back")});
    }
    if (settings.selectNote) {
        table.push_back({Kind::NoteOn, channel, 25, 127, 127, TriggerAction::On, true,
                         QStringLiteral("note 25 on: lights on")});
        table.push_back({Kind::NoteOff, channel, 25, 0, 127, TriggerAction::Off, false,
                         QStringLiteral("note 25 off: lights back")});
    }
    if (settings.huiSequences)
        table.push_back({Kind::ControlChange, channel, 44, 0, 127, TriggerAction::HuiHistory, false,
                         QStringLiteral("controller 44: HUI sequence")});
    return table;
}

const MidiTrigger* matchTrigger(std::span<const MidiTrigger> table, const MidiCommand& command)
{
    for (const MidiTrigger& trigger : table) {
        if (matches(trigger, command))
            return &trigger;
    }
    return nullptr;
}

int mackieDeviceType(const MidiCommand& command)
{
    const QByteArray& b = command.bytes;
    if (b.size() < 7 || !b.startsWith(QByteArrayLiteral("\xF0\x00\x00\x66")) ||
        byteAt(b, b.size() - 1) != 0xF7)
        return -1;
    const int type = byteAt(b, 4);
    return isSurfaceType(type) ? type : -1;
}

std::optional<QByteArray> surfaceAnswer(const MidiCommand& command)
{
    static const std::vector<MidiTrigger> handshake = builtInTriggers(MidiTriggerSettings{});
    const MidiTrigger* trigger = matchTrigger(handshake, command);
    if (!trigger)
        return std::nullopt;
    const auto type = static_cast<quint8>(mackieDeviceType(command));
    if (type != kMackieMain && type != kLogicMain)
        return std::nullopt;
    if (trigger->action == TriggerAction::DeviceQuery)
        return surfaceMessage(type, kHostConnection, kSerial + kChallenge);
    if (trigger->action == TriggerAction::HostReply)
        return surfaceMessage(type, kConfirmation, kSerial);
    return std::nullopt;
}

} // namespace orvel
