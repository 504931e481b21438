// Decoding and batching of a burst of 10,000 messages as the MIDI thread hands them over: every
// message pushed into the inbox, then drained and decoded as one batch on this thread.
// Prints the median and the 99th percentile over the runs. Usage: bench_midi_decode [runs]

#include "BenchSupport.h"
#include "controller/midi/MidiInbox.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    constexpr int kMessages = 10000;

    std::vector<std::vector<unsigned char>> burst;
    burst.reserve(kMessages);
    for (int i = 0; i < kMessages; ++i) {
        if (i % 2)
            burst.push_back(
                {static_cast<unsigned char>(0x90 | (i % 16)), static_cast<unsigned char>(i % 128), 127});
        else
            burst.push_back(
                {static_cast<unsigned char>(0xB0 | (i % 16)), 44, static_cast<unsigned char>(i % 128)});
    }

    orvel::MidiInbox inbox;
    std::vector<double> pushMs, drainMs, totalMs;
    std::size_t decoded = 0;
    for (int run = 0; run < runs; ++run) {
        QElapsedTimer timer;
        timer.start();
        for (const auto& message : burst)
            inbox.push(message.data(), message.size());
        const qint64 pushed = timer.nsecsElapsed();
        const std::vector<orvel::MidiCommand> commands = inbox.drain();
        const qint64 total = timer.nsecsElapsed();
        decoded += commands.size();
        pushMs.push_back(double(pushed) / 1e6);
        drainMs.push_back(double(total - pushed) / 1e6);
        totalMs.push_back(double(total) / 1e6);
    }
    if (decoded != std::size_t(runs) * kMessages) {
        std::fprintf(stderr, "lost messages: %zu of %zu\n", decoded, std::size_t(runs) * kMessages);
        return 1;
    }

    auto report = [](const char* what, std::vector<double> values) {
        std::printf("%-28s median %8.3f ms   p99 %8.3f ms\n", what, orvel::bench::percentile(values, 0.5),
                    orvel::bench::percentile(values, 0.99));
    };
    std::printf("burst of %d messages, %d runs\n", kMessages, runs);
    report("push (MIDI thread side)", pushMs);
    report("drain + decode (main side)", drainMs);
    report("total", totalMs);
    return 0;
}
