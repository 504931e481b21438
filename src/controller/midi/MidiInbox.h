#pragma once

#include "controller/midi/MidiEndpoints.h"

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace orvel {

// Collects raw messages on the MIDI library's thread and gives them to the main thread as one
// batch, in arrival order. Only push() may be called off the main thread.
class MidiInbox {
public:
    // Stores one message. True when the inbox was empty until now: exactly then the caller must
    // arrange one drain() on the main thread; later pushes ride along with that drain.
    bool push(const unsigned char* data, std::size_t size);

    // Takes everything collected so far and decodes it. Each malformed message is reported with
    // one line on standard output and dropped; the rest keep their order.
    std::vector<MidiCommand> drain();

private:
    std::mutex mutex_;
    std::vector<unsigned char> bytes_; // messages back to back
    std::vector<std::uint32_t> lengths_;
    // Swapped in on each drain so that neither side reallocates in the steady state.
    std::vector<unsigned char> spareBytes_;
    std::vector<std::uint32_t> spareLengths_;
};

} // namespace orvel
