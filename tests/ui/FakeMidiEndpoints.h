#pragma once

#include "controller/midi/MidiEndpoints.h"

#include <memory>

namespace orvel::test {

// Endpoints that open nothing: the settings window never looks at MIDI, but the controller wants
// its two endpoints.
class FakeMidiEndpoints : public MidiEndpoints {
public:
    std::unique_ptr<MidiDestination> createDestination(const QString&, Handler handler, QString*) override
    {
        this->handler = std::move(handler);
        return std::make_unique<MidiDestination>();
    }
    std::unique_ptr<MidiSource> createSource(const QString&, QString*) override
    {
        return std::make_unique<Source>();
    }

    Handler handler;

private:
    struct Source : MidiSource {
        bool sendCommands(const std::vector<MidiCommand>&, QString*) override { return true; }
    };
};

} // namespace orvel::test
