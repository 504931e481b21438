#pragma once

#include "controller/midi/MidiEndpoints.h"

#include <QByteArray>
#include <QJsonArray>
#include <QString>
#include <QStringList>

#include <optional>
#include <span>
#include <vector>

namespace orvel {

// What a matched message asks for.
enum class TriggerAction : quint8 {
    On,          // rulesOn()
    Off,         // rulesOff()
    DawGone,     // rulesOff(), but only when MIDI switched the lights on
    HuiHistory,  // a controller-44 value for the pattern history
    DeviceQuery, // a control-surface host looks for a device: answer it
    HostReply,   // the host answered our connection challenge: confirm
};

// One entry of the table that gives MIDI its meaning. A note-on with velocity 0 is a note-off,
// as MIDI itself defines it; MIDI bridges (PipeWire, a2jmidid) turn one into the other.
struct MidiTrigger {
    enum class Kind : quint8 {
        NoteOn,        // velocity in [low, high]
        NoteOff,       // any velocity, or a note-on with velocity 0
        ControlChange, // value in [low, high]
        ProgramChange, // `number` is the program
        MackieSysex,   // F0 00 00 66 <device type> <number> ... F7; low..high bound the type
    };
    Kind kind = Kind::NoteOn;
    int channel = -1; // 0..15, or -1 for any
    quint8 number = 0;
    quint8 low = 0;
    quint8 high = 127;
    TriggerAction action = TriggerAction::On;
    bool printDescription = false; // the message's description goes to standard output
    QString meaning;               // for people: "Record LED on: lights on"
};

// The user's choices about the built-in vocabulary.
struct MidiTriggerSettings {
    bool recordNote = true;       // note 95, the Record LED
    bool selectNote = true;       // note 25, which Mackie Control also uses for strip 2's Select
    bool huiSequences = true;     // the controller-44 sequences
    bool lightWhileArmed = false; // note 95 velocity 1 (the blinking Record LED) counts as on
    bool offWhenDawLeaves = true; // reset sysex or the DAW's port going away put the lights back
    int channel = 0;              // 0 for any, else 1..16

    bool operator==(const MidiTriggerSettings&) const = default;

    // Stored under their own preference keys; a missing or damaged value keeps its default.
    static MidiTriggerSettings load();
    void store() const;
};

// The built-in vocabulary as the settings shape it, in precedence order.
std::vector<MidiTrigger> builtInTriggers(const MidiTriggerSettings& settings);

// The first entry of `table` that `command` matches, or nullptr.
const MidiTrigger* matchTrigger(std::span<const MidiTrigger> table, const MidiCommand& command);

// The device's answer to a control-surface host's handshake message (a device query or a host
// connection reply), or nothing when the message asks for no answer. Extenders (types 0x15 and
// 0x11) are never answered: Orvel poses as one main unit.
std::optional<QByteArray> surfaceAnswer(const MidiCommand& command);

// The device type byte of a Mackie/Logic Control sysex message, or -1.
int mackieDeviceType(const MidiCommand& command);

// --- Learned triggers: any note, controller or program change, taught by example.

// The trigger `command` teaches for `action` (On or Off), on the command's own channel: a note-on
// with a velocity matches any velocity, a controller only its value, a program change its
// program. Nothing for messages that cannot be a trigger.
std::optional<MidiTrigger> learnTrigger(const MidiCommand& command, TriggerAction action);

// In words, for the list of learned triggers: "Note C4 (60) on channel 10",
// "Controller 64, values 64 and up, any channel".
QString describeTrigger(const MidiTrigger& trigger);
// A learned trigger's meaning, for the activity list: "learned: Note C4 (60) on channel 1: lights on".
QString learnedMeaning(const MidiTrigger& trigger);

// The stored form, a list of small records, and back. A damaged record, or one of the wrong
// type, is left out with a line in `problems`; the others still load.
QJsonArray learnedToJson(const std::vector<MidiTrigger>& learned);
std::vector<MidiTrigger> learnedFromJson(const QJsonValue& stored, QStringList* problems);

// What a message meant for Orvel, for the list of arriving messages: the matched trigger's
// meaning, or why it was ignored ("ignored: note 60", "ignored: timecode").
QString messageMeaning(const MidiTrigger* matched, const MidiCommand& command);

} // namespace orvel
