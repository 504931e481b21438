#pragma once

#include "controller/midi/MidiEndpoints.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QTime>

namespace orvel {

// The last messages that reached "Orvel", newest first, for people to read. Dense streams that
// mean nothing to Orvel (a DAW's timecode, its meters) are folded into one line that counts them,
// so the list stays readable at thousands of messages a second.
class MidiActivity {
public:
    static constexpr qsizetype kLimit = 50;

    struct Entry {
        QTime time;
        QByteArray bytes; // the latest of the folded messages
        QString meaning;
        int count = 1;
    };

    void record(const MidiCommand& command, const QString& meaning, const QTime& time);
    const QList<Entry>& entries() const { return entries_; }
    void clear() { entries_.clear(); }

private:
    QList<Entry> entries_;
};

} // namespace orvel
