// From MIDI and the settings window's controls to the lights: the message vocabulary and the
// surface handshake, the throttle, the flash test, the two switches, and adding and removing rules.

#include "ControllerHarness.h"
#include "support/TestMain.h"

#include <QSignalSpy>
#include <QTest>

using namespace orvel;
using namespace orvel::test;

namespace {

// "-95 -25 -44" turn built-in triggers off, "armed" lights while armed, "ch2" listens on channel 2,
// "stay" keeps the lights when the DAW goes away.
MidiTriggerSettings parseSettings(const QString& words)
{
    const QStringList w = words.split(' ');
    return {!w.contains("-95"),  !w.contains("-25"),  !w.contains("-44"),
            w.contains("armed"), !w.contains("stay"), w.filter("ch").value(0).mid(2).toInt()};
}

// "+0.5" among the messages ends the batch and moves the clock on; "11*" is 64 KB of 0x11. Answers: M, L = a
// Mackie or Logic Control main unit's answer to a device query, C = the confirmation of a Logic host's reply.
const struct {
    const char *name, *settings, *messages, *switches, *answers;
} kRows[] = {
    {"44 patterns", "", "c68 c67 c69 c1 c67 c5 c3 c69 c69 c3 c68 c67 c4 c5 c99 c67 c5",
     "on off on on off off"},
    {"44 6 7 70 71 dropped", "", "c68 c6 c67 c7 c70 c71 c69", "on"},
    {"44 later pattern", "", "c68 c67 c69 c5 c67 c4 c5", "on off"},
    {"notes 25 and 95", "", "n25/127 n25/0 n95/127 n95/0", "on off on off"},
    {"not a trigger", "", "x45/68 x45/67 x45/69 n25/64 n95/64 n95/1 n24/127 n96/127 n60/0", ""},
    // MIDI bridges turn a note-on with velocity 0 into a note-off: both put the lights back.
    {"note-off", "", "n95/127 f95/64 n25/127 f25/0", "on off on off"},
    {"batch in order", "", "n95/127 c68 c67 c5 n25/127", "on off on"},
    {"light while armed", "armed", "n95/1 n95/127 n95/0", "on on off"},
    {"armed, velocity 64", "armed", "n95/64", ""},
    {"note 95 off", "-95", "n95/127 f95/0 n25/127", "on"},
    {"note 25 off", "-25", "n25/127 n25/0 n95/127", "on"},
    {"controller 44 off", "-44", "c68 c67 c69", ""},
    {"any channel", "", "n95/127@16", "on"},
    {"channel 2 only", "ch2", "n95/127 c68 c67 c69 n95/127@2", "on"},
    {"channel 1 only", "ch1", "n95/127@2 n95/127@16 n95/127", "on"},
    // The DAW closes its session while recording: only the reset, never a note-off.
    {"reset", "", "n95/127 sf0000066140800f7 n95/127 sf0000066150800f7", "on off on off"},
    {"not a reset", "", "sf0000066140800f7 n95/127 sf0000066140801f7 sf0000067140800f7 sf00000661408f7",
     "on"},
    {"reset, staying on", "stay", "n95/127 sf0000066140800f7", "on"},
    // A host greets its surface with a device query per device type and waits for an answer; Orvel
    // answers as one main unit per wake-up, and again when asked anew.
    {"one answer per wake-up", "",
     "sf00000661400f7 sf00000661500f7 sf00000661000f7 sf00000661100f7 +0.5 sf00000661000f7 "
     "sf00000661500f7 +0 sf00000661400f7",
     "", "M M"},
    {"64 KB query", "", "sf0000066140011*f7", ""},
    {"Logic host", "", "sf00000661000f7 sf00000661002010203040506070a0b0c0df7", "", "L C"},
    {"not a query", "",
     "sf00000671400f7 sf00000661401f7 sf0000066140000f7 sf000066140000 sf0000066f7 sf0000066120000f7", ""},
};

} // namespace

class TestLightListDispatch : public QObject {
    Q_OBJECT

private slots:
    void vocabulary_data()
    {
        QTest::addColumn<int>("row");
        for (int i = 0; i < int(std::size(kRows)); ++i)
            QTest::newRow(kRows[i].name) << i;
    }

    void vocabulary()
    {
        QFETCH(int, row);
        const auto& r = kRows[row];
        ControllerHarness h;
        h.listen();
        h.list->setTriggerSettings(parseSettings(r.settings));
        QStringList calls, sent;
        for (const QString& batch :
             ("0 " + QString(r.messages).replace("11*", QString("11").repeated(65529))).split('+')) {
            h.clock.advance(batch.section(' ', 0, 0).toDouble());
            calls << h.switchesFor(batch.section(' ', 1));
        }
        QCOMPARE(calls.join(' '), r.switches);
        for (const MidiCommand& command : h.midi->sent)
            sent << command.bytes.toHex();
        QCOMPARE(sent.join(' '), QString(r.answers ? r.answers : "")
                                     .replace("M", "f000006614014f5256454c303101020304f7")
                                     .replace("L", "f000006610014f5256454c303101020304f7")
                                     .replace("C", "f000006610034f5256454c3031f7"));
    }

    // The DAW's port leaving "Orvel" puts the lights back, but only what MIDI switched on.
    void settingsKeptAndTheDawLeaving()
    {
        ControllerHarness h;
        h.create();
        const MidiTriggerSettings settings = parseSettings("-25 armed ch3");
        h.list->setTriggerSettings(settings);
        QCOMPARE(h.prefs().integer("midi_channel").value, qint64(3));
        h.prefs().setText("midi_note95", "yes"); // damaged: its default holds
        h.restart();
        QCOMPARE(h.list->triggerSettings(), settings);

        storeRule(0, 0, 100, 50, 60);
        h.connect();
        h.midi->tell(MidiSystemEvent::Kind::ConnectionsChanged, {"daw:out", "keys:out"});
        h.midi->deliver(parseMessages("n95/127@3"));
        h.advance(0.2);
        QVERIFY(h.list->on());
        h.clearRequests();
        h.midi->tell(MidiSystemEvent::Kind::ConnectionsChanged, {"daw:out"});
        QVERIFY(!h.list->on());
        QTRY_COMPARE(h.writes(), QStringList({R"(1 {"on":true})", R"(1 {"hue":8000,"sat":140,"bri":200})"}));
        h.list->setOverrideToggle(true); // "Always On" is the user's, not the DAW's
        h.midi->tell(MidiSystemEvent::Kind::ServerLost, {});
        QVERIFY(h.list->on());
    }

    // Switching on reads the first five rules' lights at once and the rest one by one from 2.5 s on,
    // 0.1 s apart; each light gets its on state 0.1 s after its read. Switching off keeps that timing.
    void firstFiveRulesAtOnceThenOneByOne()
    {
        QByteArray lights = "{";
        for (int id = 1; id <= 7; ++id)
            lights +=
                QStringLiteral(
                    R"("%1": {"name": "L%1", "type": "Extended color light", "uniqueid": "00:17:88:01:00:00:00:0%1-0b",)"
                    R"( "state": {"on": false, "hue": 1000, "sat": 100, "bri": 100}},)")
                    .arg(id)
                    .toUtf8();
        lights.back() = '}';
        ControllerHarness h(lights);
        for (int i = 0; i < 7; ++i)
            storeRule(i, i, 20001 + i, 300, 255); // saturation and value past the wire's range
        h.prefs().setInteger("rule_count", 7);
        h.connect();
        // Reads and writes of each light after each step.
        auto requests = [&](std::initializer_list<double> steps) {
            QStringList counts;
            for (double step : steps) {
                h.advance(step);
                counts << QString();
                for (int id = 1; id <= 7; ++id)
                    counts.last() += QStringLiteral("%1%2 ")
                                         .arg(h.readsOf(QString::number(id)))
                                         .arg(writesTo(h.bridge, id).size());
            }
            return counts;
        };

        h.midi->deliver(parseMessages("n95/127"));
        QCOMPARE(requests({0, 0.1, 2.3, 0.1, 0.1, 0.1}),
                 QStringList({"10 10 10 10 10 00 00 ", "12 12 12 12 12 00 00 ", "12 12 12 12 12 00 00 ",
                              "12 12 12 12 12 10 00 ", "12 12 12 12 12 12 10 ", "12 12 12 12 12 12 12 "}));
        for (int id = 1; id <= 7; ++id)
            QCOMPARE(writesTo(h.bridge, id).last(),
                     QStringLiteral(R"(%1 {"hue":%2,"sat":254,"bri":254})").arg(id).arg(20000 + id));

        h.clearRequests(); // back to the captured state: the lights were off
        h.midi->deliver(parseMessages("n95/0"));
        QCOMPARE(requests({0, 2.5, 0.1}),
                 QStringList({"01 01 01 01 01 00 00 ", "01 01 01 01 01 01 00 ", "01 01 01 01 01 01 01 "}));
        QCOMPARE(writesTo(h.bridge, 7), QStringList{R"(7 {"on":false})"});
    }

    // The flash test and "Always On" switch the rules on and back; a second flash test while one
    // runs is ignored. The system switch gates them.
    void flashTestAlwaysOnAndTheSystemSwitch()
    {
        ControllerHarness h;
        storeRule(0, 0, 100, 50, 60);
        storeRule(1, 1, 200, 70, 80);
        h.connect();
        // Back to what the lights showed: Desk was on in its colour, Shelf was off.
        auto onAndBack = [&] {
            return writesTo(h.bridge, 1) + writesTo(h.bridge, 2) ==
                   QStringList({R"(1 {"on":true})", R"(1 {"hue":100,"sat":50,"bri":60})", R"(1 {"on":true})",
                                R"(1 {"hue":8000,"sat":140,"bri":200})", R"(2 {"on":true})",
                                R"(2 {"hue":200,"sat":70,"bri":80})", R"(2 {"on":false})"});
        };
        h.list->blinkAll();
        h.advance(1.0);
        h.list->blinkAll();
        h.advance(1.0);
        QVERIFY(onAndBack());
        h.advance(0.5);
        QVERIFY(!h.list->blinkingAll());
        QSignalSpy changes(h.list.get(), &LightList::changed); // nothing of the ignored one comes
        h.advance(5);
        QCOMPARE(changes.count(), 0);

        h.clearRequests();
        h.list->setOverrideToggle(true);
        QVERIFY(h.list->on());
        h.advance(1.5);
        h.list->setOverrideToggle(false);
        h.advance(0);
        QVERIFY(onAndBack());

        // Switched off, MIDI still switches but writes nothing; switching on runs a flash test.
        h.list->setGlobalToggle(false);
        QCOMPARE(h.prefs().boolean("global_toggle").value, false);
        QCOMPARE(h.switchesFor("n95/127 n95/0"), QStringList({"on", "off"}));
        h.clearRequests();
        h.advance(5);
        QVERIFY(h.writes().isEmpty());
        h.list->setGlobalToggle(true);
        QVERIFY(h.list->blinkingAll());
    }

    // Ids used to stay put on removal while a new rule took the count as its id: after removing from
    // the middle, two rules shared their keys and the next start rebuilt the wrong ones.
    void addAndRemoveKeepRuleCountAndEveryRuleItsOwnSettings()
    {
        ControllerHarness h;
        storeRule(0, 0, 100);
        storeRule(1, 1, 200);
        storeRule(2, 2, 300, 30, 40);
        h.prefs().setInteger("rule_count", 3);
        h.connect();
        ConsoleCapture console;
        auto rules = [&] {
            QStringList shown;
            for (const auto& r : h.list->lightRules())
                shown << QStringLiteral("%1 %2 %3 %4")
                             .arg(r->ruleID())
                             .arg(r->lightID())
                             .arg(r->onHueDegrees())
                             .arg(r->onValue());
            return shown;
        };
        h.list->removeRule(1);
        h.list->addRule(); // a new rule, not a copy of another
        QCOMPARE(console.lines(),
                 QStringList({"removed rule. Now there are 2", "added rule. Now there are 3"}));
        h.list->lightRules()[1]->setOnValue(41);
        h.list->lightRules()[2]->setOnHueDegrees(999);
        h.advance(3);
        h.restart();
        h.connect();
        QCOMPARE(h.prefs().integer("rule_count").value, qint64(3));
        QCOMPARE(rules(), QStringList({"0 0 100 255", "1 2 300 41", "2 255 999 255"}));

        h.list->removeRule(3); // past the end
        QCOMPARE(console.lines().last(), QStringLiteral("no rule at position 3 to remove; there are 3"));
        h.list->removeRule(2);
        h.list->removeRule(1);
        h.list->removeRule(0); // the last rule stays
        QCOMPARE(h.prefs().integer("rule_count").value, qint64(1));
    }
};

ORVEL_TEST_MAIN(TestLightListDispatch)
#include "tst_LightListDispatch.moc"
