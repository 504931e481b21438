#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

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

// A MIDI port of another program, as the MIDI system lists it.
struct MidiPortInfo {
    QString name;          // the system's full name, e.g. "ardour:mackie control out"
    QString client;        // "ardour"
    QString port;          // "mackie control out"
    bool isSource = false; // it sends MIDI (other programs' outputs); otherwise it receives
};

// What the MIDI system tells about the world around the endpoints, on the main thread.
struct MidiSystemEvent {
    enum class Kind {
        ConnectionsChanged, // a port was connected to or disconnected from one of ours
        PortsChanged,       // a port appeared or went away somewhere
        ServerLost,         // the MIDI server went away; our ports are gone until ServerBack
        ServerBack,         // our ports are open again
    };
    Kind kind = Kind::ConnectionsChanged;
    QString text; // why, for the log; may be empty
};

// Creates the program's virtual endpoints; tests hand the controller a fake.
// Beyond the endpoints an implementation may see the MIDI system's ports and connections; one
// that cannot (RtMidi on ALSA, say) keeps the defaults: no ports, no events, nothing connectable.
class MidiEndpoints {
public:
    virtual ~MidiEndpoints() = default;
    using EventHandler = std::function<void(const MidiSystemEvent& event)>;
    virtual void setEventHandler(EventHandler handler) { (void)handler; }
    // Other programs' MIDI ports.
    virtual QList<MidiPortInfo> ports() const { return {}; }
    // Full names of the ports connected to our port `ourPort` ("Orvel" or "Orvel Input").
    virtual QStringList connections(const QString& ourPort) const
    {
        (void)ourPort;
        return {};
    }
    // Connects or disconnects a source port to a destination port, full names; ours are named
    // by their own short names. False with `error` filled when the system refused.
    virtual bool setConnected(const QString& source, const QString& destination, bool connected,
                              QString* error)
    {
        (void)source, (void)destination, (void)connected;
        if (error)
            *error = QStringLiteral("this MIDI system does not let Orvel connect ports");
        return false;
    }
    // Handler runs on the main thread, once per received batch, commands in arrival order.
    using Handler = std::function<void(const std::vector<MidiCommand>& commands)>;
    // A virtual destination other programs send to. nullptr with `error` filled on failure.
    virtual std::unique_ptr<MidiDestination> createDestination(const QString& name, Handler handler,
                                                               QString* error) = 0;
    // A virtual source other programs receive from. nullptr with `error` filled on failure.
    virtual std::unique_ptr<MidiSource> createSource(const QString& name, QString* error) = 0;
};

} // namespace orvel
