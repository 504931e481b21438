#include "controller/midi/MidiActivity.h"

namespace orvel {

namespace {

// How far back a stream's line is looked for: enough for the few streams a DAW interleaves.
constexpr qsizetype kFoldDepth = 6;

} // namespace

void MidiActivity::record(const MidiCommand& command, const QString& meaning, const QTime& time)
{
    if (meaning.startsWith(QStringLiteral("ignored"))) {
        const qsizetype depth = std::min(kFoldDepth, entries_.size());
        for (qsizetype i = 0; i < depth; ++i) {
            if (entries_[i].meaning != meaning)
                continue;
            Entry entry = entries_.takeAt(i);
            entry.time = time;
            entry.bytes = command.bytes;
            ++entry.count;
            entries_.prepend(std::move(entry));
            return;
        }
    }
    entries_.prepend(Entry{time, command.bytes, meaning, 1});
    if (entries_.size() > kLimit)
        entries_.removeLast();
}

} // namespace orvel
