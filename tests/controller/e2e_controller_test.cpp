// The whole road from a MIDI note to the bridge: other JACK clients send to "Orvel", the
// controller dispatches, the rules write through the real HTTP client, and the simulated bridge
// on loopback records what arrived. Needs a JACK server or jackd (scripts/with-jack.sh); without a
// private one it starts its own, so no other "Orvel" in a running session gets its messages.

#include "controller/midi/RtMidiEndpoints.h"
#include "support/ControllerHarness.h"
#include "support/JackSupport.h"
#include "support/Program.h"
#include "support/SimBridge.h"
#include "support/TestMain.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

using namespace orvel;
using namespace orvel::test;

class TestControllerEndToEnd : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (const QString why = jack_.ensureRunning(); !why.isEmpty())
            QSKIP(qPrintable(why));
        Preferences::installStandard(std::make_unique<Preferences>(dir_.filePath("prefs.json")));
        Preferences::standard().setText("hue_username", kSimUser);
        Preferences::standard().setInteger("rule_count", 2);
        storeRule(0, 0, 1000, 100, 50);
        storeRule(1, 1, 50000, 254, 254);
    }
    void cleanupTestCase() { Preferences::installStandard(nullptr); }

    // orvel-midi-send's note reaches the rules' lights, and the tool's port leaving "Orvel" puts
    // them back; a port it cannot find is an error.
    void midiSendSwitchesTheRulesLightsOnTheBridge()
    {
        SimBridge bridge;
        auto list = startController(bridge);
        QVERIFY(list);
        QProcess tool;
        tool.setProcessChannelMode(QProcess::MergedChannels);
        for (const QStringList& message :
             {QStringList{"0x90", "95", "127"}, {"--port", "NoSuchPort", "0x90", "1"}}) {
            tool.start(MIDI_SEND, QStringList{"--api", "jack"} + message);
            QTRY_COMPARE_WITH_TIMEOUT(tool.state(), QProcess::NotRunning, 20000); // the event loop runs
        }
        QVERIFY(tool.exitCode() != 0 && tool.readAll().contains("NoSuchPort"));
        // The rules' colours went out; whether the lights were put back before or after the rules
        // finished switching on depends on when the tool's port left.
        auto onAndBack = [&](int light, const QString& colour, const QString& back) {
            const QStringList writes = writesTo(bridge, light);
            return writes.contains(QString::number(light) + ' ' + colour) &&
                   writes.endsWith(QString::number(light) + ' ' + back);
        };
        QTRY_VERIFY_WITH_TIMEOUT(
            onAndBack(1, R"({"hue":1000,"sat":100,"bri":50})", R"({"hue":8000,"sat":140,"bri":200})") &&
                onAndBack(2, R"({"hue":50000,"sat":254,"bri":254})", R"({"on":false})"),
            10000);
        QVERIFY(!list->on());
    }

    // A burst reaches the handler complete, in order, on the main thread, in batches; a drain still
    // queued when the destination goes (under the sanitizers) must not reach it.
    void burstsArriveInOrderAndNotAfterTheDestinationWent()
    {
        using Bytes = std::vector<unsigned char>;
        std::vector<Bytes> received;
        std::size_t batches = 0;
        bool onMainThread = true;
        auto handler = [&](const std::vector<MidiCommand>& batch) {
            onMainThread = onMainThread && QThread::currentThread() == qApp->thread();
            ++batches;
            for (const MidiCommand& command : batch)
                received.emplace_back(command.bytes.begin(), command.bytes.end());
        };
        QString error;
        auto destination =
            RtMidiEndpoints(RtMidiEndpoints::Api::Jack).createDestination("Orvel", handler, &error);
        QVERIFY2(destination, qPrintable(error));
        RtMidiOut sender(RtMidi::UNIX_JACK, "orvel-e2e-sender");
        sender.openPort(unsigned(findMidiPort(sender, "Orvel")), "out");
        QVERIFY(sendUntil(sender, {0xF6}, [&] { return !received.empty(); })); // tune request
        received.clear();
        // The i-th message, unique for i < 16384. One JACK process cycle carries a few thousand
        // events and the sending side drops the rest: the burst goes in chunks that fit into one.
        auto message = [](int i) { return Bytes{uchar(0x90 | (i % 16)), uchar(i % 128), uchar(i / 128)}; };
        constexpr int kCount = 4000, kChunk = 500;
        for (int start = 0; start < kCount; start += kChunk) {
            for (int i = start; i < start + kChunk; ++i)
                sender.sendMessage(message(i).data(), 3);
            QTRY_COMPARE_WITH_TIMEOUT(received.size(), std::size_t(start + kChunk), 10000);
        }
        for (int i = 0; i < kCount; ++i)
            QCOMPARE(received[std::size_t(i)], message(i));
        QVERIFY(onMainThread && batches < std::size_t(kCount));

        received.clear();
        for (int i = 0; i < 100; ++i)
            sender.sendMessage(message(i).data(), 3);
        QTest::qSleep(200); // JACK hands them over; the drain is queued but has not run
        destination.reset();
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
        QVERIFY(received.empty());
    }

    // The DAW's ports are connected by Orvel whenever they appear, also after Orvel restarts; the
    // DAW talks once Orvel answered its device query through "Orvel Input".
    void rememberedSourcesFollowTheirPorts()
    {
        SimBridge bridge;
        auto list = startController(bridge);
        QVERIFY(list);
        const QString out = QStringLiteral("daw:mackie control out");
        // No such client to connect to: only Orvel connects the DAW.
        auto startDaw = [] {
            return std::make_unique<Program>(QProcessEnvironment::systemEnvironment(),
                                             QStringLiteral(DAW_PEER), QStringList{"nobody"});
        };
        auto daw = startDaw();
        list->midiSources()->setRemembered(out, true);
        QTRY_VERIFY_WITH_TIMEOUT(daw->said("talking"), 10000);
        QCOMPARE(list->midiConnections("Orvel Input"), QStringList{"daw:mackie control in"});

        list.reset(); // Orvel quits and starts again; the DAW stays
        list = startController(bridge);
        QVERIFY(list);
        QTRY_COMPARE_WITH_TIMEOUT(list->midiConnections("Orvel"), QStringList{out}, 10000);

        // The DAW goes and comes back: connected again, both ways; unchecked: Orvel lets go.
        daw.reset();
        QTRY_VERIFY_WITH_TIMEOUT(list->midiConnections("Orvel").isEmpty(), 10000);
        daw = startDaw();
        QTRY_VERIFY_WITH_TIMEOUT(daw->said("talking"), 10000);
        list->midiSources()->setRemembered(out, false);
        QTRY_VERIFY_WITH_TIMEOUT(list->midiConnections("Orvel").isEmpty() &&
                                     list->midiConnections("Orvel Input").isEmpty(),
                                 10000);
    }

private:
    // A controller on JACK for `bridge`, once its rules have blinked and the flash test is over:
    // Desk was switched on twice and put back, Shelf put back off.
    std::unique_ptr<LightList> startController(SimBridge& bridge)
    {
        auto list = liveController(
            loopbackServices(), std::make_shared<RtMidiEndpoints>(RtMidiEndpoints::Api::Jack), bridge.host());
        auto ready = [&] {
            const QStringList desk = writesTo(bridge, 1);
            return list->lightRules().size() == 2 && !list->blinkingAll() &&
                   desk.count(R"(1 {"on":true})") >= 2 &&
                   desk.endsWith(R"(1 {"hue":8000,"sat":140,"bri":200})") &&
                   writesTo(bridge, 2).contains(R"(2 {"on":false})") &&
                   !list->lightRules()[0]->transitioning() && !list->lightRules()[1]->transitioning();
        };
        if (!QTest::qWaitFor(ready, 20000))
            return nullptr;
        bridge.sim.clearRequests();
        return list;
    }

    JackServer jack_;
    QTemporaryDir dir_;
};

ORVEL_TEST_MAIN(TestControllerEndToEnd)
#include "e2e_controller_test.moc"
