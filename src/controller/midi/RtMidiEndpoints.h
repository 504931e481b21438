#pragma once

#include "controller/midi/JackMidiEndpoints.h"
#include "controller/midi/MidiEndpoints.h"

#include <vector>

namespace orvel {

// The program's virtual MIDI endpoints: as a client of a running JACK server (JackMidiEndpoints,
// which also sees the JACK graph; PipeWire serves JACK clients too), otherwise through RtMidi on
// the ALSA sequencer. The environment variable ORVEL_MIDI_API set to "alsa", "jack" or "none" forces the
// choice ("none" behaves like a machine without MIDI).
// Create and destroy the endpoints on the main thread; the handler runs there too.
class RtMidiEndpoints final : public MidiEndpoints {
public:
    enum class Api { Automatic, Alsa, Jack, None };

    // Takes the choice from ORVEL_MIDI_API (Automatic when unset).
    RtMidiEndpoints();
    explicit RtMidiEndpoints(Api api);

    std::unique_ptr<MidiDestination> createDestination(const QString& name, Handler handler,
                                                       QString* error) override;
    std::unique_ptr<MidiSource> createSource(const QString& name, QString* error) override;

    // The MIDI system's ports and events, where the system in use shows them (JACK).
    void setEventHandler(EventHandler handler) override;
    QList<MidiPortInfo> ports() const override;
    QStringList connections(const QString& ourPort) const override;
    bool setConnected(const QString& source, const QString& destination, bool connected,
                      QString* error) override;

    // The byte sequence put on the wire for `command`: its received bytes when it has them,
    // otherwise bytes built from its type and data. An empty command (type 0, no bytes) gives
    // an empty sequence, which is not sent at all. False with `error` filled when the command
    // cannot be expressed as a well-formed message.
    static bool wireBytes(const MidiCommand& command, QByteArray* bytes, QString* error);

    // Hands each command's wire bytes to `send(bytes, command, error)`, leaving out empty commands;
    // stops at the first command that cannot be expressed or sent.
    template <typename Send>
    static bool sendEach(const std::vector<MidiCommand>& commands, QString* error, Send send)
    {
        for (const MidiCommand& command : commands) {
            QByteArray bytes;
            if (!wireBytes(command, &bytes, error))
                return false;
            if (!bytes.isEmpty() && !send(bytes, command, error))
                return false;
        }
        return true;
    }

private:
    // Opens an endpoint on the first MIDI system that works, in the order of choice.
    template <typename Endpoint, typename OpenAlsa, typename OpenJack>
    std::unique_ptr<Endpoint> openEndpoint(const QString& name, const QString& kind, QString* error,
                                           OpenAlsa openAlsa, OpenJack openJack);

    Api api_;
    QString configError_; // an unusable ORVEL_MIDI_API value
    JackMidiEndpoints jack_;
    bool usingJack_ = false;  // the endpoints are on JACK
    std::vector<int> chosen_; // RtMidi::Api values: where to open, fixed by the first endpoint
};

} // namespace orvel
