#pragma once

#include "controller/midi/MidiEndpoints.h"

#include <cstddef>
#include <optional>
#include <vector>

namespace orvel {

// Turns the raw bytes of one MIDI message, as the MIDI library hands them over, into a command.
// Gives nothing unless the bytes are exactly one complete, well-formed message:
// - a channel message: status 0x80..0xEF followed by exactly its one or two data bytes;
// - a system common or real-time message with exactly its data bytes (undefined kinds rejected);
// - a system exclusive message from 0xF0 to its closing 0xF7 with only data bytes between.
// Trailing bytes after a complete message are rejected rather than read as running status: one
// delivery is one message, so anything more means the sender packed what we cannot vouch for.
// Never reads beyond `size` bytes.
std::optional<MidiCommand> decodeMidi(const unsigned char* data, std::size_t size);
std::optional<MidiCommand> decodeMidi(const std::vector<unsigned char>& message);

// The bytes as text for diagnostics: "90 5f 7f", or "(empty)".
QString midiBytesText(const unsigned char* data, std::size_t size);

} // namespace orvel
