#include "controller/midi/MidiTriggers.h"

#include "platform/Preferences.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

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

namespace {

const QString kTypeKey = QStringLiteral("type");
const QString kChannelField = QStringLiteral("channel");
const QString kNumberKey = QStringLiteral("number");
const QString kLowKey = QStringLiteral("low");
const QString kHighKey = QStringLiteral("high");
const QString kActionKey = QStringLiteral("action");

const std::pair<MidiTrigger::Kind, QString> kLearnedKinds[] = {
    {MidiTrigger::Kind::NoteOn, QStringLiteral("note-on")},
    {MidiTrigger::Kind::NoteOff, QStringLiteral("note-off")},
    {MidiTrigger::Kind::ControlChange, QStringLiteral("control")},
    {MidiTrigger::Kind::ProgramChange, QStringLiteral("program")},
};

QString noteName(int note)
{
    static const char* const names[] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
    return QStringLiteral("%1%2 (%3)").arg(QLatin1String(names[note % 12])).arg(note / 12 - 1).arg(note);
}

// A whole number in [low, high] under `key`, or nothing.
std::optional<int> field(const QJsonObject& record, const QString& key, int low, int high)
{
    const QJsonValue value = record.value(key);
    if (!value.isDouble())
        return std::nullopt;
    const double number = value.toDouble();
    if (number != double(int(number)) || number < low || number > high)
        return std::nullopt;
    return int(number);
}

} // namespace

std::optional<MidiTrigger> learnTrigger(const MidiCommand& command, TriggerAction action)
{
    if (action != TriggerAction::On && action != TriggerAction::Off)
        return std::nullopt;
    MidiTrigger trigger;
    trigger.channel = command.channel();
    trigger.number = command.data1;
    trigger.action = action;
    switch (command.commandType) {
    case MidiCommand::kNoteOn:
        trigger.kind = command.velocity() == 0 ? MidiTrigger::Kind::NoteOff : MidiTrigger::Kind::NoteOn;
        trigger.low = 1;
        break;
    case MidiCommand::kNoteOff:
        trigger.kind = MidiTrigger::Kind::NoteOff;
        break;
    case MidiCommand::kControlChange:
        trigger.kind = MidiTrigger::Kind::ControlChange;
        trigger.low = trigger.high = command.controllerValue();
        break;
    case 0xCF:
        trigger.kind = MidiTrigger::Kind::ProgramChange;
        break;
    default:
        return std::nullopt;
    }
    trigger.meaning = learnedMeaning(trigger);
    return trigger;
}

QString describeTrigger(const MidiTrigger& t)
{
    const QString channel =
        t.channel < 0 ? QStringLiteral("any channel") : QStringLiteral("channel %1").arg(t.channel + 1);
    switch (t.kind) {
    case MidiTrigger::Kind::NoteOn:
        return QStringLiteral("Note %1 on %2").arg(noteName(t.number), channel);
    case MidiTrigger::Kind::NoteOff:
        return QStringLiteral("Note %1 off, %2").arg(noteName(t.number), channel);
    case MidiTrigger::Kind::ControlChange: {
        const QString values = t.low == t.high ? QStringLiteral("value %1").arg(t.low)
                               : t.high == 127 ? QStringLiteral("values %1 and up").arg(t.low)
                               : t.low == 0    ? QStringLiteral("below %1").arg(t.high + 1)
                                               : QStringLiteral("values %1 to %2").arg(t.low).arg(t.high);
        return QStringLiteral("Controller %1, %2, %3").arg(t.number).arg(values, channel);
    }
    case MidiTrigger::Kind::ProgramChange:
        return QStringLiteral("Program %1 on %2").arg(t.number).arg(channel);
    case MidiTrigger::Kind::MackieSysex:
        break;
    }
    return t.meaning;
}

QString learnedMeaning(const MidiTrigger& trigger)
{
    return QStringLiteral("learned: %1: %2")
        .arg(describeTrigger(trigger), trigger.action == TriggerAction::On ? QStringLiteral("lights on")
                                                                           : QStringLiteral("lights back"));
}

QJsonArray learnedToJson(const std::vector<MidiTrigger>& learned)
{
    QJsonArray list;
    for (const MidiTrigger& t : learned) {
        const auto kind = std::find_if(std::begin(kLearnedKinds), std::end(kLearnedKinds),
                                       [&](const auto& entry) { return entry.first == t.kind; });
        if (kind == std::end(kLearnedKinds))
            continue;
        list.append(QJsonObject{
            {kTypeKey, kind->second},
            {kChannelField, t.channel + 1},
            {kNumberKey, t.number},
            {kLowKey, t.low},
            {kHighKey, t.high},
            {kActionKey, t.action == TriggerAction::On ? QStringLiteral("on") : QStringLiteral("off")}});
    }
    return list;
}

std::vector<MidiTrigger> learnedFromJson(const QJsonValue& stored, QStringList* problems)
{
    std::vector<MidiTrigger> learned;
    if (stored.isUndefined())
        return learned;
    if (!stored.isArray()) {
        if (problems)
            *problems << QStringLiteral("learned MIDI triggers are not a list; none loaded");
        return learned;
    }
    const QJsonArray list = stored.toArray();
    for (qsizetype i = 0; i < list.size(); ++i) {
        const QJsonObject record = list[i].toObject();
        const QString type = record.value(kTypeKey).toString();
        const auto kind = std::find_if(std::begin(kLearnedKinds), std::end(kLearnedKinds),
                                       [&](const auto& entry) { return entry.second == type; });
        const auto channel = field(record, kChannelField, 0, 16);
        const auto number = field(record, kNumberKey, 0, 127);
        const auto low = field(record, kLowKey, 0, 127);
        const auto high = field(record, kHighKey, 0, 127);
        const QString action = record.value(kActionKey).toString();
        if (kind == std::end(kLearnedKinds) || !channel || !number || !low || !high || *low > *high ||
            (action != QStringLiteral("on") && action != QStringLiteral("off"))) {
            if (problems)
                *problems << QStringLiteral("skipped learned MIDI trigger %1: %2")
                                 .arg(i + 1)
                                 .arg(
                                     QString::fromUtf8(QJsonDocument(record).toJson(QJsonDocument::Compact)));
            continue;
        }
        MidiTrigger t;
        t.kind = kind->first;
        t.channel = *channel - 1;
        t.number = quint8(*number);
        t.low = quint8(*low);
        t.high = quint8(*high);
        t.action = action == QStringLiteral("on") ? TriggerAction::On : TriggerAction::Off;
        t.meaning = learnedMeaning(t);
        learned.push_back(t);
    }
    return learned;
}

QString messageMeaning(const MidiTrigger* matched, const MidiCommand& command)
{
    if (matched)
        return matched->meaning;
    const quint8 kind = command.commandType;
    switch (kind) {
    case MidiCommand::kNoteOn:
    case MidiCommand::kNoteOff:
        return QStringLiteral("ignored: note %1").arg(command.note());
    case MidiCommand::kControlChange:
        // Mackie Control shows the time on a 10-digit display, one controller per digit.
        if (command.controllerNumber() >= 0x40 && command.controllerNumber() <= 0x4B)
            return QStringLiteral("ignored: timecode");
        return QStringLiteral("ignored: controller %1").arg(command.controllerNumber());
    case 0xCF:
        return QStringLiteral("ignored: program %1").arg(command.data1);
    case 0xDF:
        return QStringLiteral("ignored: meter");
    case 0xEF:
        return QStringLiteral("ignored: fader");
    case 0xF0:
        return QStringLiteral("ignored: system exclusive");
    default:
        return QStringLiteral("ignored: ") + command.description();
    }
}

} // namespace orvel
