#pragma once

#include "controller/midi/MidiEndpoints.h"

#include <memory>

namespace orvel {

// The program's endpoints as one JACK client, "Orvel", with the ports "Orvel" (in) and
// "Orvel Input" (out). Unlike a plain MIDI port library it watches the JACK graph: connections
// to our ports, ports of other programs coming and going, and the server itself. When the
// server goes away the ports are reopened once it is back (tries with growing pauses on the main
// queue), and the destination and source objects handed out keep working.
// Use it on the main thread; the handler and events arrive there too.
class JackMidiEndpoints final : public MidiEndpoints {
public:
    JackMidiEndpoints();
    ~JackMidiEndpoints() override;
    JackMidiEndpoints(const JackMidiEndpoints&) = delete;
    JackMidiEndpoints& operator=(const JackMidiEndpoints&) = delete;

    // True when a JACK server answers (no server is started for it).
    static bool serverAvailable();

    std::unique_ptr<MidiDestination> createDestination(const QString& name, Handler handler,
                                                       QString* error) override;
    std::unique_ptr<MidiSource> createSource(const QString& name, QString* error) override;

    // The name the server gave our client: "Orvel", or "Orvel-01" beside another one.
    QString clientName() const;

    void setEventHandler(EventHandler handler) override;
    QList<MidiPortInfo> ports() const override;
    QStringList connections(const QString& ourPort) const override;
    bool setConnected(const QString& source, const QString& destination, bool connected,
                      QString* error) override;

    struct Client; // shared with the JACK threads' callbacks

private:
    std::shared_ptr<Client> client_;
};

} // namespace orvel
