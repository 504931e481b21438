#pragma once

#include "controller/midi/MidiEndpoints.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <utility>

namespace orvel {

// The MIDI outputs the user asked Orvel to connect to "Orvel" whenever they are there: at
// start-up, when their program starts later, after it or the MIDI server restarts. Where the
// source's program also has the matching input of the same surface ("... control out" and
// "... control in"), "Orvel Input" is connected to it as well: such surfaces stay silent until
// both directions are connected. Only connections Orvel made itself are ever undone.
class MidiSources {
public:
    explicit MidiSources(MidiEndpoints& midi);

    // Full port names ("client:port") remembered, in the order they were checked.
    const QStringList& remembered() const { return remembered_; }
    // Remembers or forgets a source (stored at once); forgetting disconnects what Orvel connected.
    void setRemembered(const QString& source, bool remember);

    // Connects every remembered source that is there and not connected yet. Call when ports came
    // or went and when the MIDI server is back.
    void reconcile();
    // The server went away and took every connection with it.
    void forgetConnectionsMade() { made_.clear(); }

    // The input of the same surface as `source` among `ports`, or empty.
    static QString partnerInput(const QString& source, const QList<MidiPortInfo>& ports);

private:
    void connect(const QString& from, const QString& to);

    MidiEndpoints& midi_;
    QStringList remembered_;
    QList<std::pair<QString, QString>> made_; // (from, to) pairs Orvel connected, in order
};

} // namespace orvel
