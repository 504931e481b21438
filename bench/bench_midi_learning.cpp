// What learned triggers and the list of arriving messages cost the main thread.
//  1. Dispatch with 64 learned triggers behind the built-in vocabulary: per message, for a stream
//     that matches nothing (the common case) and for one that switches the lights.
//  2. The MIDI Settings window open on "What Arrives" while 5,000 messages a second come in from
//     another thread, as the MIDI library hands them over: the main thread's busy share.

#include "BenchSupport.h"
#include "controller/LightList.h"
#include "controller/midi/MidiInbox.h"
#include "platform/MainQueue.h"
#include "platform/Preferences.h"
#include "support/FakeMidi.h"
#include "support/SimBridge.h"
#include "support/TestMain.h"
#include "ui/ContentView.h"
#include "ui/MidiSettingsWindow.h"

#include <QApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

using namespace orvel;
using orvel::bench::percentile;
using orvel::bench::QuietStdout;

namespace {

double threadCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

std::vector<MidiTrigger> sixtyFourLearned()
{
    std::vector<MidiTrigger> learned;
    for (int i = 0; i < 64; ++i) {
        MidiTrigger t;
        t.kind = i % 2 ? MidiTrigger::Kind::ControlChange : MidiTrigger::Kind::NoteOn;
        t.channel = i % 16;
        t.number = quint8(i);
        t.low = i % 2 ? 64 : 1;
        t.high = 127;
        t.action = i % 4 < 2 ? TriggerAction::On : TriggerAction::Off;
        learned.push_back(t);
    }
    return learned;
}

void benchLearnedDispatch()
{
    ManualClock clock;
    ScopedMainQueue scope(clock);
    auto bridges = std::make_shared<test::SimBridgeServices>();
    auto midi = std::make_shared<test::FakeMidiEndpoints>();
    std::vector<double> quiet, acting;
    {
        QuietStdout silence;
        LightList list(bridges, midi);
        list.setUp();
        list.setLearnedTriggers(sixtyFourLearned());
        std::vector<MidiCommand> nothing, switching;
        for (int i = 0; i < 10000; ++i) {
            // Timecode and meters on channel 1 beyond every learned number; learned ones in turn.
            nothing.push_back(
                test::FakeMidiEndpoints::message(i % 2 ? 0xB0 : 0xD0, quint8(100 + i % 20), 48));
            switching.push_back(
                test::FakeMidiEndpoints::message(quint8(0x90 | (i % 16)), quint8(i % 64 & ~1), 100));
        }
        for (int round = 0; round < 21; ++round) {
            for (auto [batch, samples] : {std::pair{&nothing, &quiet}, std::pair{&switching, &acting}}) {
                const auto start = std::chrono::steady_clock::now();
                midi->deliver(*batch);
                samples->push_back(
                    std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                        .count() /
                    double(batch->size()));
                clock.advance(5);
            }
        }
    }
    std::printf("dispatch with 64 learned triggers (target <= 2 us a message):\n");
    std::printf("  matching nothing:   median %.3f us, p99 %.3f us a message\n", percentile(quiet, 0.5),
                percentile(quiet, 0.99));
    std::printf("  learned note-ons:   median %.3f us, p99 %.3f us a message\n", percentile(acting, 0.5),
                percentile(acting, 0.99));
}

// `perWake` messages are handed over at once: a JACK client gets everything of one process cycle
// in one callback (256 frames at 48 kHz: about 27 messages at this rate); the ALSA sequencer
// hands over one message at a time.
void benchActivityView(bool windowShown, int perWake)
{
    auto bridges = std::make_shared<test::SimBridgeServices>();
    auto midi = std::make_shared<test::FakeMidiEndpoints>();
    QuietStdout silence;
    LightList list(bridges, midi);
    list.setUp();
    ContentView view(&list, nullptr);
    if (windowShown) {
        view.showMidiSettings();
        view.midiSettings()->findChild<QTabWidget*>()->setCurrentIndex(2);
    }

    // The MIDI thread's side: a DAW's timecode, meters and now and then a note, 5,000 a second,
    // handed to the main thread in batches as the endpoints do.
    MidiInbox inbox;
    QObject context;
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; !stop; ++i) {
            const unsigned char message[3] = {static_cast<unsigned char>(i % 50 == 0 ? 0x90
                                                                         : i % 2     ? 0xB0
                                                                                     : 0xD0),
                                              static_cast<unsigned char>(0x40 + i % 10), 48};
            if (inbox.push(message, message[0] == 0xD0 ? 2 : 3))
                QMetaObject::invokeMethod(
                    &context, [&] { midi->deliver(inbox.drain()); }, Qt::QueuedConnection);
            std::this_thread::sleep_until(start + std::chrono::microseconds(200) * (i + 1));
        }
    });
    const double seconds = 5.0;
    const double cpuBefore = threadCpuSeconds();
    const auto wallBefore = std::chrono::steady_clock::now();
    QEventLoop loop; // sleeps between events, as the application's own loop does
    QTimer::singleShot(int(seconds * 1000), &loop, &QEventLoop::quit);
    loop.exec();
    const double cpu = threadCpuSeconds() - cpuBefore;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
    stop = true;
    sender.join();
    std::fprintf(stderr,
                 "%s, 5,000 messages a second, %d a hand-over, for %.1f s: main thread busy %.1f %% "
                 "(idle %.1f %%, target >= 90 %%), %lld lines listed\n",
                 windowShown ? "\"What Arrives\" shown" : "MIDI Settings closed", perWake, wall,
                 100 * cpu / wall, 100 - 100 * cpu / wall,
                 static_cast<long long>(list.activity().entries().size()));
}

} // namespace

int main(int argc, char** argv)
{
    test::isolateHome();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Orvel"));
    QTemporaryDir dir;
    Preferences::installStandard(std::make_unique<Preferences>(dir.filePath(QStringLiteral("prefs.json"))));
    benchLearnedDispatch();
    for (int perWake : {27, 1}) {
        benchActivityView(false, perWake);
        benchActivityView(true, perWake);
    }
    Preferences::installStandard(nullptr);
    return 0;
}
