#include "controller/midi/MidiInbox.h"

#include "controller/midi/MidiDecoder.h"
#include "platform/Console.h"

namespace orvel {

bool MidiInbox::push(const unsigned char* data, std::size_t size)
{
    const std::lock_guard lock(mutex_);
    const bool wasEmpty = lengths_.empty();
    if (size > 0)
        bytes_.insert(bytes_.end(), data, data + size);
    lengths_.push_back(static_cast<std::uint32_t>(size));
    return wasEmpty;
}

std::vector<MidiCommand> MidiInbox::drain()
{
    spareBytes_.clear();
    spareLengths_.clear();
    {
        const std::lock_guard lock(mutex_);
        bytes_.swap(spareBytes_);
        lengths_.swap(spareLengths_);
    }

    std::vector<MidiCommand> commands;
    commands.reserve(spareLengths_.size());
    std::size_t offset = 0;
    for (const std::uint32_t length : spareLengths_) {
        const unsigned char* message = spareBytes_.data() + offset;
        offset += length;
        if (auto command = decodeMidi(message, length))
            commands.push_back(std::move(*command));
        else
            printLine(QStringLiteral("ignored malformed MIDI message: ") + midiBytesText(message, length));
    }
    return commands;
}

} // namespace orvel
