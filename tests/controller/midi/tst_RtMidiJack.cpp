// End-to-end tests of the virtual endpoints through JACK: other JACK clients send to "Orvel" and
// listen to "Orvel Input". They run on the private server of scripts/with-jack.sh or start one of
// their own (so no other "Orvel" in a running session gets their messages), fall back to a
// running server without jackd, and skip when there is neither.

#include "controller/midi/RtMidiEndpoints.h"
#include "support/JackSupport.h"
#include "support/TestMain.h"

#include <QObject>
#include <QProcess>
#include <QTest>
#include <QThread>

#include <RtMidi.h>

#include <memory>

using namespace orvel;

namespace {

using Bytes = std::vector<unsigned char>;

// Tune request, sent until one arrives: JACK puts a new connection into effect a process cycle
// or more after it is made and drops what is sent before.
constexpr unsigned char kPing = 0xF6;

// The i-th message of a burst: unique for i < 16384, all channels in turn.
Bytes burstMessage(int i)
{
    return {static_cast<unsigned char>(0x90 | (i % 16)), static_cast<unsigned char>(i % 128),
            static_cast<unsigned char>((i / 128) % 128)};
}

// Everything the destination's handler saw, pings left out.
struct Received {
    std::vector<MidiCommand> commands;
    std::vector<std::size_t> batchSizes;
    int pings = 0;
    bool allOnMainThread = true;

    MidiEndpoints::Handler handler()
    {
        return [this](const std::vector<MidiCommand>& batch) {
            allOnMainThread = allOnMainThread && QThread::currentThread() == qApp->thread();
            batchSizes.push_back(batch.size());
            for (const MidiCommand& command : batch)
                command.commandType == kPing ? void(++pings) : commands.push_back(command);
        };
    }
};

} // namespace

class TestRtMidiJack : public QObject {
    Q_OBJECT

    test::JackServer jack_;
    Received received_;
    std::unique_ptr<MidiDestination> destination_;
    std::unique_ptr<RtMidiOut> sender_;

    // Creates the destination "Orvel" and a second client connected to it.
    bool openDestinationAndSender()
    {
        QString error;
        destination_ = RtMidiEndpoints().createDestination("Orvel", received_.handler(), &error);
        if (!destination_)
            qWarning("%s", qPrintable(error));
        sender_ = std::make_unique<RtMidiOut>(RtMidi::UNIX_JACK, "orvel-test-sender");
        const int port = test::findMidiPort(*sender_, "Orvel");
        if (!destination_ || port < 0)
            return false;
        sender_->openPort(unsigned(port), "out");
        return test::sendUntil(*sender_, {kPing}, [this] { return received_.pings > 0; });
    }
    void send(const Bytes& bytes) { sender_->sendMessage(&bytes); }

private slots:
    void initTestCase()
    {
        if (const QString why = jack_.ensureRunning(); !why.isEmpty())
            QSKIP(qPrintable(why));
        qputenv("ORVEL_MIDI_API", "jack");
    }

    void cleanup()
    {
        sender_.reset();
        destination_.reset();
        received_ = {};
    }

    void deliversNotesOnTheMainThreadCompleteInOrderInBatches()
    {
        QVERIFY(openDestinationAndSender());
        // One JACK process cycle carries a few thousand events and the sending side drops the
        // rest, so the sender goes in chunks that each fit into a cycle.
        constexpr int kCount = 4000;
        constexpr int kChunk = 500;
        for (int start = 0; start < kCount; start += kChunk) {
            for (int i = start; i < start + kChunk; ++i)
                send(burstMessage(i));
            QTRY_COMPARE_WITH_TIMEOUT(received_.commands.size(), std::size_t(start + kChunk), 10000);
        }
        QCOMPARE(received_.commands.front().description(), "NoteOn channel 1 note 0 velocity 0");
        for (int i = 0; i < kCount; ++i) {
            const Bytes bytes = burstMessage(i);
            QCOMPARE(received_.commands[std::size_t(i)].bytes,
                     QByteArray(reinterpret_cast<const char*>(bytes.data()), 3));
        }
        QVERIFY(received_.allOnMainThread);
        // What arrives while the main thread is busy rides along in one batch.
        QVERIFY(received_.batchSizes.size() < std::size_t(kCount));
    }

    void destroyingTheDestinationWithADrainPendingIsSafe()
    {
        QVERIFY(openDestinationAndSender());
        received_.commands.clear();
        for (int i = 0; i < 100; ++i)
            send(burstMessage(i));
        // Give JACK time to hand the messages over without running the event loop: the drain is
        // then queued but has not run when the destination goes. Under the sanitizers a drain
        // reaching the destroyed destination would show.
        QTest::qSleep(200);
        destination_.reset();
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
        QVERIFY(received_.commands.empty());
    }

    void sourceSendsToListenersAndEmptyCommandsNotAtAll()
    {
        QString error;
        auto source = RtMidiEndpoints().createSource("Orvel Input", &error);
        QVERIFY2(source, qPrintable(error));
        RtMidiIn listener(RtMidi::UNIX_JACK, "orvel-test-listener");
        const int port = test::findMidiPort(listener, "Orvel Input");
        QVERIFY(port >= 0);
        listener.openPort(unsigned(port), "in");
        std::vector<Bytes> heard;
        auto listen = [&] {
            for (Bytes message; (void)listener.getMessage(&message), !message.empty();)
                heard.push_back(message);
            return !heard.empty();
        };

        MidiCommand command;
        command.commandType = kPing;
        bool connected = false;
        for (int attempt = 0; attempt < 100 && !connected; ++attempt) {
            QVERIFY2(source->sendCommands({command}, &error), qPrintable(error));
            connected = QTest::qWaitFor(listen, 200);
        }
        QVERIFY(connected);

        command = {MidiCommand::kNoteOn, 25, 127, {}};
        QVERIFY2(source->sendCommands({MidiCommand{}, command}, &error), qPrintable(error));
        // Port order is kept, so anything the empty command had sent would come before the note.
        QTRY_VERIFY(listen() && heard.back() == Bytes({0x90, 25, 127}));
        std::erase(heard, Bytes{kPing});
        QCOMPARE(heard, std::vector<Bytes>({{0x90, 25, 127}}));
    }

#ifdef ORVEL_MIDI_SEND
    void midiSendToolReachesTheDestination()
    {
        QVERIFY(openDestinationAndSender());
        QProcess tool;
        tool.setProcessChannelMode(QProcess::MergedChannels);
        for (const QStringList& message :
             {QStringList{"0x9F", "95", "127"}, {"--port", "NoSuchPort", "0x90", "1", "2"}}) {
            tool.start(ORVEL_MIDI_SEND, QStringList{"--api", "jack"} + message);
            // The event loop keeps running while the tool works.
            QTRY_COMPARE_WITH_TIMEOUT(tool.state(), QProcess::NotRunning, 20000);
        }
        QVERIFY(tool.exitCode() != 0 && tool.readAll().contains("NoSuchPort"));
        QCOMPARE(received_.commands.size(), std::size_t(1));
        QCOMPARE(received_.commands.front().bytes, QByteArray::fromHex("9f5f7f"));
    }
#endif
};

ORVEL_TEST_MAIN(TestRtMidiJack)
#include "tst_RtMidiJack.moc"
