// Beyond the built-in vocabulary: triggers taught by example and kept across starts, and the list
// of what arrives. Remembered sources are followed end to end (e2e_controller_test).

#include "ControllerHarness.h"
#include "support/TestMain.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTest>

using namespace orvel;
using namespace orvel::test;

namespace {

// The message taught, then "on"/"off", then how it is widened; what then switches, and how.
const struct {
    const char *name, *taught, *messages, *switches, *described;
} kLessons[] = {
    {"note, its channel", "n60/100@10 on", "n60/1@10 n60/100@1 n60/0@10", "on", "Note C4 (60) on channel 10"},
    {"note, any channel", "n60/100@10 on any", "n60/100@3", "on", "Note C4 (60) on any channel"},
    {"note-off", "n61/0@1 off", "n95/127 f61/64", "on off", "Note C#4 (61) off, channel 1"},
    {"pedal, this value only", "x64/127 on", "x64/100 x64/127", "on", "Controller 64, value 127, channel 1"},
    {"pedal, 64 and up", "x64/127 on wide", "x64/63 x64/64", "on",
     "Controller 64, values 64 and up, channel 1"},
    {"pedal, below 64", "x64/0 off wide", "n95/127 x64/64 x64/63", "on off",
     "Controller 64, below 64, channel 1"},
    {"program", "p5@2 on", "p4@2 p5@2", "on", "Program 5 on channel 2"},
    // The built-in vocabulary keeps precedence and its own meaning.
    {"built-in first", "n95/127 off", "n95/127", "on", "Note B6 (95) on channel 1"},
};

} // namespace

class TestMidiLearning : public QObject {
    Q_OBJECT

private slots:
    void learnedTriggers_data()
    {
        QTest::addColumn<int>("row");
        for (int i = 0; i < int(std::size(kLessons)); ++i)
            QTest::newRow(kLessons[i].name) << i;
    }

    void learnedTriggers()
    {
        QFETCH(int, row);
        const auto& [name, taught, messages, switches, described] = kLessons[row];
        ControllerHarness h;
        h.listen();
        const QStringList words = QString(taught).split(' ');
        h.list->startLearning(words[1] == "on" ? TriggerAction::On : TriggerAction::Off);
        // Sysex is no trigger: still learning. The lesson itself switches nothing.
        QCOMPARE(h.switchesFor("sf07e7f0601f7 " + words[0]), QStringList());
        QVERIFY(!h.list->learning());
        std::vector<MidiTrigger> learned = h.list->learnedTriggers();
        QCOMPARE(learned.size(), std::size_t(1));
        if (words.contains("any"))
            learned[0].channel = -1;
        if (words.contains("wide"))
            learned[0].low = words[1] == "on" ? 64 : 0, learned[0].high = words[1] == "on" ? 127 : 63;
        h.list->setLearnedTriggers(learned);
        QCOMPARE(describeTrigger(h.list->learnedTriggers()[0]), QString(described));

        h.restart(); // kept across starts
        h.list->setUp();
        QCOMPARE(h.switchesFor(messages).join(' '), QString(switches));
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
        QCOMPARE(h.switchesFor("n60/1@5 x64/0"), QStringList({"on", "off"}));

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
        h.listen();
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

    // Kept only while watched; a stream folds into one line per kind, announced once.
    void activityIsKeptOnlyWhileWatchedAndFoldsStreams()
    {
        ControllerHarness h;
        h.listen();
        h.midi->deliver(parseMessages("n60/100"));
        QVERIFY(h.list->activity().entries().isEmpty());

        h.list->setActivityRecording(true);
        QSignalSpy announced(h.list.get(), &LightList::midiActivity);
        h.midi->deliver(parseMessages(
            "n95/127 " + QString("x73/48 x73/48 sf0000066141200414243f7 ").repeated(200) + "n60/100 n95/0"));
        QStringList lines;
        for (const MidiActivity::Entry& entry : h.list->activity().entries())
            lines << QStringLiteral("%1 x%2 %3")
                         .arg(entry.meaning)
                         .arg(entry.count)
                         .arg(entry.bytes.toHex(' '));
        QCOMPARE(lines,
                 QStringList({"Record LED off: lights back x1 90 5f 00", "ignored: note 60 x1 90 3c 64",
                              "ignored: system exclusive x200 f0 00 00 66 14 12 00 41 42 43 f7",
                              "ignored: timecode x400 b0 49 30", "Record LED on: lights on x1 90 5f 7f"}));
        QCOMPARE(announced.count(), 0);
        h.clock.advance(0.1);
        QCOMPARE(announced.count(), 1);

        for (int i = 0; i < 60; ++i)
            h.midi->deliver(parseMessages(QStringLiteral("n%1/100").arg(i)));
        QCOMPARE(h.list->activity().entries().size(), MidiActivity::kLimit);
        h.list->setActivityRecording(false);
        QVERIFY(h.list->activity().entries().isEmpty());
    }
};

ORVEL_TEST_MAIN(TestMidiLearning)
#include "tst_MidiLearning.moc"
