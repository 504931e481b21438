#pragma once

#include "controller/midi/MidiEndpoints.h"

#include <QString>

#include <memory>
#include <vector>

namespace orvel::test {

// MIDI endpoints that exist only in the test: deliver() hands a batch to the destination's handler
// as the MIDI layer would, and everything sent through the source is kept.
class FakeMidiEndpoints : public MidiEndpoints {
public:
    // Failures to simulate: a non-empty text makes that step fail with it.
    QString destinationError;
    QString sourceError;
    QString sendError;

    QString destinationName;
    QString sourceName;
    Handler handler; // empty while no destination exists
    std::vector<std::vector<MidiCommand>> sent;

    void deliver(const std::vector<MidiCommand>& batch)
    {
        if (handler)
            handler(batch);
    }

    static MidiCommand message(quint8 status, quint8 data1, quint8 data2)
    {
        MidiCommand command;
        command.commandType = status < 0xF0 ? static_cast<quint8>(status | 0x0F) : status;
        command.data1 = data1;
        command.data2 = data2;
        command.bytes = QByteArray{reinterpret_cast<const char*>(&status), 1};
        command.bytes.append(static_cast<char>(data1));
        command.bytes.append(static_cast<char>(data2));
        return command;
    }
    static MidiCommand noteOn(quint8 note, quint8 velocity, quint8 channel = 0)
    {
        return message(static_cast<quint8>(0x90 | channel), note, velocity);
    }
    static MidiCommand noteOff(quint8 note, quint8 velocity) { return message(0x80, note, velocity); }
    static MidiCommand controlChange(quint8 controller, quint8 value, quint8 channel = 0)
    {
        return message(static_cast<quint8>(0xB0 | channel), controller, value);
    }

    std::unique_ptr<MidiDestination> createDestination(const QString& name, Handler received,
                                                       QString* error) override
    {
        destinationName = name;
        if (!destinationError.isEmpty()) {
            *error = destinationError;
            return nullptr;
        }
        handler = std::move(received);
        return std::make_unique<Destination>(this);
    }

    std::unique_ptr<MidiSource> createSource(const QString& name, QString* error) override
    {
        sourceName = name;
        if (!sourceError.isEmpty()) {
            *error = sourceError;
            return nullptr;
        }
        return std::make_unique<Source>(this);
    }

private:
    struct Destination : MidiDestination {
        explicit Destination(FakeMidiEndpoints* owner)
            : owner(owner)
        {}
        ~Destination() override { owner->handler = nullptr; }
        FakeMidiEndpoints* owner;
    };
    struct Source : MidiSource {
        explicit Source(FakeMidiEndpoints* owner)
            : owner(owner)
        {}
        bool sendCommands(const std::vector<MidiCommand>& commands, QString* error) override
        {
            if (!owner->sendError.isEmpty()) {
                *error = owner->sendError;
                return false;
            }
            owner->sent.push_back(commands);
            return true;
        }
        FakeMidiEndpoints* owner;
    };
};

} // namespace orvel::test
