#pragma once

#include "controller/midi/MidiEndpoints.h"

#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

namespace orvel::test {

// MIDI endpoints that exist only in the test: deliver() hands a batch to the destination's handler
// as the MIDI layer would; what the source sends is kept in `sent`.
class FakeMidiEndpoints : public MidiEndpoints {
public:
    QString destinationError, sourceError; // a non-empty text makes creating that port fail with it
    QString destinationName, sourceName;
    Handler handler;               // empty while no destination exists
    std::vector<MidiCommand> sent; // what went out through the source, empty commands left out
    QStringList peers;             // ports connected to the destination
    QList<MidiPortInfo> systemPorts;
    EventHandler events;

    QList<MidiPortInfo> ports() const override { return systemPorts; }
    bool setConnected(const QString& from, const QString& to, bool connected, QString*) override
    {
        if (to == destinationName && (peers.removeAll(from), connected))
            peers << from;
        return true;
    }
    void setEventHandler(EventHandler handler) override { events = std::move(handler); }
    QStringList connections(const QString& ourPort) const override
    {
        return ourPort == destinationName ? peers : QStringList{};
    }
    // The MIDI system reports a change; `nowConnected` becomes the destination's peers.
    void tell(MidiSystemEvent::Kind kind, const QStringList& nowConnected)
    {
        peers = nowConnected;
        if (events)
            events(MidiSystemEvent{kind, {}});
    }
    void deliver(const std::vector<MidiCommand>& batch)
    {
        if (handler)
            handler(batch);
    }

    // A command as the decoder makes it from these three bytes.
    static MidiCommand message(quint8 status, quint8 data1, quint8 data2)
    {
        return {status < 0xF0 ? quint8(status | 0x0F) : status, data1, data2,
                QByteArray{} + char(status) + char(data1) + char(data2)};
    }
    static MidiCommand noteOn(quint8 note, quint8 velocity) { return message(0x90, note, velocity); }

    std::unique_ptr<MidiDestination> createDestination(const QString& name, Handler received,
                                                       QString* error) override
    {
        destinationName = name;
        *error = destinationError;
        if (!error->isEmpty())
            return nullptr;
        handler = std::move(received);
        return std::make_unique<Port>(this, true);
    }
    std::unique_ptr<MidiSource> createSource(const QString& name, QString* error) override
    {
        sourceName = name;
        *error = sourceError;
        return error->isEmpty() ? std::make_unique<Port>(this, false) : nullptr;
    }

private:
    // Either port: closing the destination takes its handler away; the source keeps what it sends.
    struct Port : MidiDestination, MidiSource {
        Port(FakeMidiEndpoints* owner, bool destination)
            : owner(owner)
            , destination(destination)
        {}
        ~Port() override
        {
            if (destination)
                owner->handler = nullptr;
        }
        bool sendCommands(const std::vector<MidiCommand>& commands, QString*) override
        {
            for (const MidiCommand& command : commands) {
                if (command.commandType != 0 || !command.bytes.isEmpty())
                    owner->sent.push_back(command);
            }
            return true;
        }
        FakeMidiEndpoints* owner;
        bool destination;
    };
};

} // namespace orvel::test
