// Beyond the built-in vocabulary: triggers taught by example and kept across starts, sources that
// are connected whenever they appear, and the list of what arrives.

#include "ControllerHarness.h"
#include "support/TestMain.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTest>

using namespace orvel;
using namespace orvel::test;

namespace {

// The rulesOn() and rulesOff() calls `messages` cause, read off the published `on`.
QStringList switchesFor(ControllerHarness& h, const QString& messages)
{
    QStringList calls;
    auto connection =
        QObject::connect(h.list.get(), &LightList::changed, [&] { calls << (h.list->on() ? "on" : "off"); });
    h.midi->deliver(parseMessages(messages));
    QObject::disconnect(connection);
    return calls;
}

} // namespace

class TestMidiLearning : public QObject {
    Q_OBJECT

private slots:
    void learnedTriggers_data()
    {
        QTest::addColumn<QString>("taught"); // the message, then "on"/"off", then how it is widened
        QTest::addColumn<QString>("messages");
        QTest::addColumn<QStringList>("switches");
        QTest::addColumn<QString>("described");

        const QStringList on{"on"};
        QTest::newRow("note, its channel")
            << "n60/100@10 on"
            << "n60/1@10 n60/100@1 n60/0@10" << on << "Note C4 (60) on channel 10";
        QTest::newRow("note, any channel") << "n60/100@10 on any"
                                           << "n60/100@3" << on << "Note C4 (60) on any channel";
        QTest::newRow("note-off") << "n61/0@1 off"
                                  << "n95/127 f61/64" << QStringList{"on", "off"}
                                  << "Note C#4 (61) off, channel 1";
        QTest::newRow("pedal, this value only")
            << "x64/127 on"
            << "x64/100 x64/127" << on << "Controller 64, value 127, channel 1";
        QTest::newRow("pedal, 64 and up")
            << "x64/127 on wide"
            << "x64/63 x64/64" << on << "Controller 64, values 64 and up, channel 1";
        QTest::newRow("pedal, below 64")
            << "x64/0 off wide"
            << "n95/127 x64/64 x64/63" << QStringList{"on", "off"} << "Controller 64, below 64, channel 1";
        QTest::newRow("program") << "p5@2 on"
                                 << "p4@2 p5@2" << on << "Program 5 on channel 2";
        // The built-in vocabulary keeps precedence and its own meaning.
        QTest::newRow("built-in first") << "n95/127 off"
                                        << "n95/127" << on << "Note B6 (95) on channel 1";
    }

    void learnedTriggers()
    {
        QFETCH(QString, taught);
        QFETCH(QString, messages);
        QFETCH(QStringList, switches);
        QFETCH(QString, described);
        ControllerHarness h;
        h.create();
        h.list->setUp();
        const QStringList words = taught.split(' ');
        h.list->startLearning(words[1] == "on" ? TriggerAction::On : TriggerAction::Off);
        h.midi->deliver(parseMessages("sf07e7f0601f7 " + words[0])); // sysex is no trigger: still learning
        QVERIFY(!h.list->learning());
        QCOMPARE(h.list->on(), false); // the lesson itself switches nothing
        std::vector<MidiTrigger> learned = h.list->learnedTriggers();
        QCOMPARE(learned.size(), std::size_t(1));
        if (words.contains("any"))
            learned[0].channel = -1;
        if (words.contains("wide") && words[1] == "on")
            learned[0].low = 64, learned[0].high = 127;
        if (words.contains("wide") && words[1] == "off")
            learned[0].low = 0, learned[0].high = 63;
        h.list->setLearnedTriggers(learned);
        QCOMPARE(describeTrigger(h.list->learnedTriggers()[0]), described);

        h.restart(); // kept across starts
        h.list->setUp();
        QCOMPARE(switchesFor(h, messages), switches);
    }

    void storedListSkipsDamagedEntries()
    {
        ControllerHarness h;
        const auto stored = QJsonDocument::fromJson(R"([
            {"type": "note-on", "channel": 0, "number": 60, "low": 1, "high": 127, "action": "on"},
            {"type": "note-on", "channel": 17, "number": 60, "low": 1, "high": 127, "action": "on"},
            {"type": "chord", "channel": 0, "number": 60, "low": 1, "high": 127, "action": "on"},
            {"type": "control", "channel": 1, "number": 64, "low": 100, "high": 10, "action": "off"},
            {"type": "control", "channel": 1, "number": "64", "low": 0, "high": 63, "action": "off"},
            "note 60",
            {"type": "control", "channel": 1, "number": 64, "low": 0, "high": 63, "action": "off"}])");
        h.prefs().setJson("midi_learned", stored.array());
        ConsoleCapture console;
        h.create();
        QCOMPARE(h.list->learnedTriggers().size(), std::size_t(2));
        QCOMPARE(console.lines().filter("skipped learned MIDI trigger").size(), 5);
        h.list->setUp();
        QCOMPARE(switchesFor(h, "n60/1@5 x64/0"), QStringList({"on", "off"}));

        h.prefs().setText("midi_learned", "[]");
        h.restart();
        QVERIFY(h.list->learnedTriggers().empty());

        // A list no one reads stops growing.
        const MidiTrigger note = *learnTrigger(parseMessages("n60/1")[0], TriggerAction::On);
        h.list->setLearnedTriggers(std::vector<MidiTrigger>(200, note));
        QCOMPARE(h.list->learnedTriggers().size(), LightList::kMaxLearned);
        h.list->startLearning(TriggerAction::On);
        QVERIFY(!h.list->learning());
    }

    void learningEndsAfterTenSecondsOrWhenCancelled()
    {
        ControllerHarness h;
        h.create();
        h.list->setUp();
        h.list->startLearning(TriggerAction::On);
        h.clock.advance(9.9);
        QVERIFY(h.list->learning());
        h.clock.advance(0.1);
        QVERIFY(!h.list->learning());
        h.list->startLearning(TriggerAction::Off);
        h.clock.advance(5);
        h.list->cancelLearning();
        h.list->startLearning(TriggerAction::On); // the first time-out must not end this one
        h.clock.advance(5.5);
        QVERIFY(h.list->learning());
        h.list->cancelLearning();
        h.midi->deliver(parseMessages("n60/100"));
        QVERIFY(h.list->learnedTriggers().empty());
    }

    // A checked source is connected whenever it is there, with its surface's input; unchecking
    // undoes only what Orvel connected.
    void rememberedSourcesFollowTheirPorts()
    {
        ControllerHarness h;
        h.create();
        h.list->setUp();
        const QList<MidiPortInfo> daw{{"daw:mackie control out", "daw", "mackie control out", true},
                                      {"daw:mackie control in", "daw", "mackie control in", false},
                                      {"keys:MIDI Output", "keys", "MIDI Output", true}};
        auto changes = [&] { return std::exchange(h.midi->connectionChanges, {}); };
        h.list->midiSources()->setRemembered("daw:mackie control out", true);
        QCOMPARE(changes(), QStringList()); // not there yet

        h.midi->systemPorts = daw;
        h.midi->tell(MidiSystemEvent::Kind::PortsChanged, h.midi->peers);
        QCOMPARE(changes(),
                 QStringList({"+daw:mackie control out>Orvel", "+Orvel Input>daw:mackie control in"}));
        h.midi->tell(MidiSystemEvent::Kind::PortsChanged, h.midi->peers);
        QCOMPARE(changes(), QStringList()); // already connected

        // The DAW restarts: its ports go and come back, and so does the connection.
        h.midi->systemPorts.clear();
        h.midi->listeners.clear();
        h.midi->tell(MidiSystemEvent::Kind::PortsChanged, {});
        h.midi->systemPorts = daw;
        h.midi->tell(MidiSystemEvent::Kind::PortsChanged, {});
        QCOMPARE(changes().size(), 2);

        h.restart(); // remembered across starts; a keyboard the user connected elsewhere stays
        h.midi->systemPorts = daw;
        h.midi->peers = {"keys:MIDI Output"};
        h.list->setUp();
        QCOMPARE(changes().size(), 2);
        h.list->midiSources()->setRemembered("daw:mackie control out", false);
        QCOMPARE(changes(),
                 QStringList({"-daw:mackie control out>Orvel", "-Orvel Input>daw:mackie control in"}));
        QCOMPARE(h.midi->peers, QStringList{"keys:MIDI Output"});
        QCOMPARE(MidiSources::partnerInput("keys:MIDI Output", daw), QString());
    }

    void activityIsKeptOnlyWhileWatchedAndFoldsStreams()
    {
        ControllerHarness h;
        h.create();
        h.list->setUp();
        h.midi->deliver(parseMessages("n60/100"));
        QVERIFY(h.list->activity().entries().isEmpty());

        h.list->setActivityRecording(true);
        QSignalSpy announced(h.list.get(), &LightList::midiActivity);
        QString stream = "n95/127 ";
        for (int i = 0; i < 400; ++i)
            stream +=
                QStringLiteral("x%1/48 ").arg(0x40 + i % 10) + (i % 3 ? "" : "sf0000066141200414243f7 ");
        h.midi->deliver(parseMessages(stream + "n60/100 n95/0"));
        QStringList lines;
        for (const MidiActivity::Entry& entry : h.list->activity().entries())
            lines << QStringLiteral("%1 x%2 %3")
                         .arg(entry.meaning)
                         .arg(entry.count)
                         .arg(QString(entry.bytes.toHex(' ')));
        QCOMPARE(lines,
                 QStringList({"Record LED off: lights back x1 90 5f 00", "ignored: note 60 x1 90 3c 64",
                              "ignored: system exclusive x134 f0 00 00 66 14 12 00 41 42 43 f7",
                              "ignored: timecode x400 b0 49 30", "Record LED on: lights on x1 90 5f 7f"}));
        QCOMPARE(announced.count(), 0);
        h.clock.advance(0.1);
        QCOMPARE(announced.count(), 1); // once for the whole stream

        for (int i = 0; i < 60; ++i)
            h.midi->deliver(parseMessages(QStringLiteral("n%1/100").arg(i)));
        QCOMPARE(h.list->activity().entries().size(), MidiActivity::kLimit);
        h.list->setActivityRecording(false);
        QVERIFY(h.list->activity().entries().isEmpty());
    }
};

ORVEL_TEST_MAIN(TestMidiLearning)
#include "tst_MidiLearning.moc"
