#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

namespace orvel {

// One decoded MIDI message. `commandType` is the status byte with the channel bits set, so every
// channel gives the same value: 0x9F note-on, 0xBF control change, 0x8F note-off, and so on;
// system messages keep their own status byte.
struct MidiCommand {
    static constexpr quint8 kNoteOn = 0x9F;
    static constexpr quint8 kControlChange = 0xBF;
    static constexpr quint8 kNoteOff = 0x8F;

    quint8 commandType = 0;
    quint8 data1 = 0;
    quint8 data2 = 0;
    QByteArray bytes; // the message as received (empty for a command made by the program)

    quint8 note() const { return data1; }
    quint8 velocity() const { return data2; }
    quint8 controllerNumber() const { return data1; }
    quint8 controllerValue() const { return data2; }
    quint8 channel() const { return bytes.isEmpty() ? 0 : static_cast<quint8>(bytes.at(0)) & 0x0F; }

    // Readable text, only ever printed.
    QString description() const;
};

class MidiDestination {
public:
    virtual ~MidiDestination() = default;
};

class MidiSource {
public:
    virtual ~MidiSource() = default;
    // Sends the commands; false with `error` filled when they could not be sent.
    virtual bool sendCommands(const std::vector<MidiCommand>& commands, QString* error) = 0;
};

// Creates the program's virtual endpoints; tests hand the controller a fake.
class MidiEndpoints {
public:
    virtual ~MidiEndpoints() = default;
    // Handler runs on the main thread, once per received batch, commands in arrival order.
    using Handler = std::function<void(const std::vector<MidiCommand>& commands)>;
    // A virtual destination other programs send to. nullptr with `error` filled on failure.
    virtual std::unique_ptr<MidiDestination> createDestination(const QString& name, Handler handler,
                                                               QString* error) = 0;
    // A virtual source other programs receive from. nullptr with `error` filled on failure.
    virtual std::unique_ptr<MidiSource> createSource(const QString& name, QString* error) = 0;
};

} // namespace orvel
