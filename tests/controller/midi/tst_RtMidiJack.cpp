// End-to-end tests of the virtual endpoints through a JACK server: another JACK client sends to
// "Orvel" and receives from "Orvel Input". They use a running server (scripts/with-jack.sh starts
// one for the test run), start a private one when only jackd is installed, and skip otherwise.

#include "controller/midi/RtMidiEndpoints.h"
#include "platform/Console.h"
#include "support/TestMain.h"

#include <QDir>
#include <QObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>
#include <QThread>

#include <RtMidi.h>

#include <memory>
#include <mutex>

using namespace orvel;

namespace {

std::string g_probeError;

void recordProbeError(RtMidiError::Type type, const std::string& text, void*)
{
    if (type != RtMidiError::DEBUG_WARNING)
        g_probeError = text;
}

bool jackServerReachable()
{
    try {
        RtMidiOut probe(RtMidi::UNIX_JACK, "orvel-test-probe");
        probe.setErrorCallback(&recordProbeError);
        g_probeError.clear();
        probe.getPortCount();
        return g_probeError.empty();
    } catch (const RtMidiError&) {
        return false;
    }
}

// Index of the first port whose name contains `part`, or -1.
template <typename Port> int findPort(Port& port, const std::string& part)
{
    for (unsigned int i = 0; i < port.getPortCount(); ++i) {
        if (port.getPortName(i).find(part) != std::string::npos)
            return int(i);
    }
    return -1;
}

std::vector<unsigned char> message(std::initializer_list<unsigned char> bytes) { return bytes; }

// The bytes of the i-th message of a burst: unique for i < 16384, all channels in turn.
std::vector<unsigned char> burstMessage(int i)
{
    return {static_cast<unsigned char>(0x90 | (i % 16)), static_cast<unsigned char>(i % 128),
            static_cast<unsigned char>((i / 128) % 128)};
}

// Tune request: what the tests send to find out that a new JACK connection carries messages.
// JACK puts a connection into effect a process cycle or more after it was made, and drops what
// is sent before that.
constexpr unsigned char kPing = 0xF6;

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
            for (const MidiCommand& command : batch) {
                if (command.commandType == kPing)
                    ++pings;
                else
                    commands.push_back(command);
            }
        };
    }
};

// A second JACK client that sends to the destination "Orvel".
class Sender {
public:
    bool open()
    {
        out_ = std::make_unique<RtMidiOut>(RtMidi::UNIX_JACK, "orvel-test-sender");
        const int port = findPort(*out_, "Orvel");
        if (port < 0)
            return false;
        out_->openPort(unsigned(port), "out");
        return true;
    }
    void send(const std::vector<unsigned char>& bytes) { out_->sendMessage(&bytes); }

    // Pings until one gets through: from then on nothing sent is lost to connecting.
    bool waitUntilConnected(const Received& received)
    {
        for (int attempt = 0; attempt < 100 && received.pings == 0; ++attempt) {
            send({kPing});
            QTest::qWaitFor([&received] { return received.pings > 0; }, 200);
        }
        return received.pings > 0;
    }

private:
    std::unique_ptr<RtMidiOut> out_;
};

} // namespace

class TestRtMidiJack : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void deliversANoteOnTheMainThread();
    void deliversABurstCompleteInOrderInBatches();
    void dropsMalformedMessagesAndKeepsTheRest();
    void destroyingTheDestinationWithADrainPendingIsSafe();
    void emptyCommandPutsNothingOnTheWire();
    void midiSendToolReachesTheDestination();

private:
    std::unique_ptr<QProcess> ownServer_;
    std::unique_ptr<RtMidiEndpoints> endpoints_;
};

void TestRtMidiJack::initTestCase()
{
    if (!jackServerReachable()) {
        const QString jackd = QStandardPaths::findExecutable("jackd");
        if (jackd.isEmpty())
            QSKIP("no JACK server is running and jackd is not installed (Debian package jackd2)");
        // A server of our own under a private name, so that nothing else running is disturbed.
        const QByteArray name = "orvel-test-" + QByteArray::number(QCoreApplication::applicationPid());
        ownServer_ = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("JACK_NO_AUDIO_RESERVATION", "1");
        ownServer_->setProcessEnvironment(env);
        ownServer_->setProcessChannelMode(QProcess::MergedChannels);
        ownServer_->start(jackd,
                          {"-n", QString::fromLatin1(name), "-r", "-d", "dummy", "-r", "48000", "-p", "1024"});
        QVERIFY2(ownServer_->waitForStarted(), qPrintable(ownServer_->errorString()));
        qputenv("JACK_DEFAULT_SERVER", name);
        QTRY_VERIFY_WITH_TIMEOUT(jackServerReachable() || ownServer_->state() == QProcess::NotRunning, 10000);
        QVERIFY2(jackServerReachable(), ownServer_->readAll().constData());
    }
    qputenv("ORVEL_MIDI_API", "jack");
}

void TestRtMidiJack::cleanupTestCase()
{
    if (ownServer_) {
        ownServer_->terminate();
        if (!ownServer_->waitForFinished(5000))
            ownServer_->kill();
        ownServer_->waitForFinished(1000);
    }
}

void TestRtMidiJack::init() { endpoints_ = std::make_unique<RtMidiEndpoints>(); }

void TestRtMidiJack::cleanup() { endpoints_.reset(); }

void TestRtMidiJack::deliversANoteOnTheMainThread()
{
    Received received;
    QString error;
    auto destination = endpoints_->createDestination("Orvel", received.handler(), &error);
    QVERIFY2(destination, qPrintable(error));
    Sender sender;
    QVERIFY(sender.open());
    QVERIFY(sender.waitUntilConnected(received));

    sender.send(message({0x90, 95, 127}));
    QTRY_COMPARE(received.commands.size(), std::size_t(1));
    const MidiCommand& note = received.commands.front();
    QCOMPARE(note.commandType, MidiCommand::kNoteOn);
    QCOMPARE(note.note(), 95);
    QCOMPARE(note.velocity(), 127);
    QCOMPARE(note.channel(), 0);
    QCOMPARE(note.bytes, QByteArray::fromHex("905f7f"));
    QCOMPARE(note.description(), "NoteOn channel 1 note 95 velocity 127");
    QVERIFY(received.allOnMainThread);
}

void TestRtMidiJack::deliversABurstCompleteInOrderInBatches()
{
    Received received;
    QString error;
    auto destination = endpoints_->createDestination("Orvel", received.handler(), &error);
    QVERIFY2(destination, qPrintable(error));
    Sender sender;
    QVERIFY(sender.open());
    QVERIFY(sender.waitUntilConnected(received));

    // JACK carries at most a few thousand events per process cycle and drops the rest on the
    // sending side, so the sender goes in chunks that each fit into one cycle.
    constexpr int kCount = 10000;
    constexpr int kChunk = 500;
    for (int start = 0; start < kCount; start += kChunk) {
        for (int i = start; i < start + kChunk; ++i)
            sender.send(burstMessage(i));
        QTRY_COMPARE_WITH_TIMEOUT(received.commands.size(), std::size_t(start + kChunk), 10000);
    }

    for (int i = 0; i < kCount; ++i) {
        const auto expected = burstMessage(i);
        QCOMPARE(received.commands[std::size_t(i)].bytes,
                 QByteArray(reinterpret_cast<const char*>(expected.data()), 3));
        QCOMPARE(received.commands[std::size_t(i)].commandType, MidiCommand::kNoteOn);
    }
    QVERIFY(received.allOnMainThread);
    // Messages that arrive while the main thread is busy ride along in one batch.
    QVERIFY2(received.batchSizes.size() < std::size_t(kCount),
             qPrintable(QString("%1 batches").arg(received.batchSizes.size())));
    QVERIFY(std::find(received.batchSizes.begin(), received.batchSizes.end(), 0u) == received.batchSizes.end());
}

void TestRtMidiJack::dropsMalformedMessagesAndKeepsTheRest()
{
    ConsoleCapture console;
    Received received;
    QString error;
    auto destination = endpoints_->createDestination("Orvel", received.handler(), &error);
    QVERIFY2(destination, qPrintable(error));
    Sender sender;
    QVERIFY(sender.open());
    QVERIFY(sender.waitUntilConnected(received));

    sender.send(message({0xB0, 44, 68}));
    sender.send(message({0x90, 95}));
    sender.send(message({0x5F, 0x7F}));
    sender.send(message({0xB0, 44, 67}));
    QTRY_COMPARE(received.commands.size(), std::size_t(2));
    QCOMPARE(received.commands[0].controllerValue(), 68);
    QCOMPARE(received.commands[1].controllerValue(), 67);
    QVERIFY(console.contains("ignored malformed MIDI message: 90 5f"));
    QVERIFY(console.contains("ignored malformed MIDI message: 5f 7f"));
}

void TestRtMidiJack::destroyingTheDestinationWithADrainPendingIsSafe()
{
    auto received = std::make_unique<Received>();
    QString error;
    auto destination = endpoints_->createDestination("Orvel", received->handler(), &error);
    QVERIFY2(destination, qPrintable(error));
    Sender sender;
    QVERIFY(sender.open());
    QVERIFY(sender.waitUntilConnected(*received));

    for (int i = 0; i < 100; ++i)
        sender.send(burstMessage(i));
    // Without running the event loop, give JACK time to hand the messages over: the drain is
    // then queued but not yet run when the destination goes.
    QTest::qSleep(200);
    destination.reset();
    received.reset(); // a late drain would now call into freed memory
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}

void TestRtMidiJack::emptyCommandPutsNothingOnTheWire()
{
    QString error;
    auto source = endpoints_->createSource("Orvel Input", &error);
    QVERIFY2(source, qPrintable(error));

    struct Listener {
        std::mutex mutex;
        std::vector<std::vector<unsigned char>> messages; // pings left out
        bool pinged = false;
        static void receive(double, std::vector<unsigned char>* message, void* self)
        {
            auto* listener = static_cast<Listener*>(self);
            const std::lock_guard lock(listener->mutex);
            if (message->size() == 1 && message->front() == kPing)
                listener->pinged = true;
            else
                listener->messages.push_back(*message);
        }
        bool wasPinged()
        {
            const std::lock_guard lock(mutex);
            return pinged;
        }
        std::size_t count()
        {
            const std::lock_guard lock(mutex);
            return messages.size();
        }
    } listener;
    RtMidiIn in(RtMidi::UNIX_JACK, "orvel-test-listener");
    in.setCallback(&Listener::receive, &listener);
    const int port = findPort(in, "Orvel Input");
    QVERIFY(port >= 0);
    in.openPort(unsigned(port), "in");

    MidiCommand ping;
    ping.commandType = kPing;
    for (int attempt = 0; attempt < 100 && !listener.wasPinged(); ++attempt) {
        QVERIFY2(source->sendCommands({ping}, &error), qPrintable(error));
        QTest::qWaitFor([&listener] { return listener.wasPinged(); }, 200);
    }
    QVERIFY(listener.wasPinged());

    MidiCommand note;
    note.commandType = MidiCommand::kNoteOn;
    note.data1 = 25;
    note.data2 = 127;
    QVERIFY2(source->sendCommands({MidiCommand{}}, &error), qPrintable(error));
    QVERIFY2(source->sendCommands({note}, &error), qPrintable(error));

    // Port order is kept, so anything the empty command had sent would come first.
    QTRY_COMPARE(listener.count(), std::size_t(1));
    in.closePort();
    QCOMPARE(listener.messages.front(), message({0x90, 25, 127}));
}

void TestRtMidiJack::midiSendToolReachesTheDestination()
{
#ifndef ORVEL_MIDI_SEND
    QSKIP("orvel-midi-send is not part of this build");
#else
    Received received;
    QString error;
    auto destination = endpoints_->createDestination("Orvel", received.handler(), &error);
    QVERIFY2(destination, qPrintable(error));

    QProcess tool;
    tool.setProcessChannelMode(QProcess::MergedChannels);
    tool.start(ORVEL_MIDI_SEND, {"--api", "jack", "0x9F", "95", "127"});
    // The event loop runs while the tool works, as the destination needs it.
    QTRY_COMPARE_WITH_TIMEOUT(tool.state(), QProcess::NotRunning, 20000);
    QVERIFY2(tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0, tool.readAll().constData());
    QTRY_COMPARE(received.commands.size(), std::size_t(1));
    QCOMPARE(received.commands.front().bytes, QByteArray::fromHex("9f5f7f"));
    QCOMPARE(received.commands.front().channel(), 15);

    tool.start(ORVEL_MIDI_SEND, {"--api", "jack", "--port", "NoSuchPort", "0x90", "1", "2"});
    QTRY_COMPARE_WITH_TIMEOUT(tool.state(), QProcess::NotRunning, 20000);
    QVERIFY(tool.exitCode() != 0);
    QVERIFY(tool.readAll().contains("NoSuchPort"));
#endif
}

ORVEL_TEST_MAIN(TestRtMidiJack)
#include "tst_RtMidiJack.moc"
