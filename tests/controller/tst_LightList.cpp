// The controller: from start-up to a connected bridge (the start-up flash test, discovery, MIDI
// endpoints, pairing, reconnection, the light list and the rules built from the store); from MIDI
// and the settings window's controls to the lights (the message vocabulary and the surface
// handshake, the throttle, the flash test, the two switches, adding and removing rules); and
// beyond the built-in vocabulary, triggers taught by example and the list of what arrives.
// Remembered sources are followed end to end (e2e_controller_test).

#include "support/ControllerHarness.h"
#include "support/TestMain.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QSignalSpy>

using namespace orvel;
using namespace orvel::test;

namespace {

const QString kConnecting = QStringLiteral(
    "Connecting to Hue Bridge at %1...\nIf this takes more than 30 seconds, please restart the app.");
const QString kConnected = QStringLiteral("Connected to Hue Bridge 'Orvel Sim' at %1");

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
    const char *name, *settings, *messages, *switches, *answers = "";
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

// One data row per entry of `rows`, named after it; the test looks the entry up by index.
template <typename Rows> void addRows(const Rows& rows)
{
    QTest::addColumn<int>("row");
    for (int i = 0; i < int(std::size(rows)); ++i)
        QTest::newRow(rows[i].name) << i;
}

} // namespace

class TestLightList : public QObject {
    Q_OBJECT

private slots:
    // First launch, stored false, not a Bool.
    void constructionRunsTheFlashTestWhenEnabled()
    {
        const std::pair<QJsonValue, bool> rows[] = {{QJsonValue(), true}, {false, false}, {"no", true}};
        for (const auto& [stored, expected] : rows) {
            ControllerHarness h;
            if (!stored.isNull())
                h.prefs().setJson("global_toggle", stored);
            h.create();
            QCOMPARE(h.prefs().boolean("global_toggle").value, expected);
            h.advance(2.499);
            QCOMPARE(h.list->blinkingAll(), expected);
            h.advance(0.001);
            QVERIFY(!h.list->blinkingAll());
            QCOMPARE(h.list->statusText(), "Connecting...");
        }
    }

    // Discovery runs for 20 s beside MIDI; a port that cannot be made costs only itself.
    void setUpWithMidiFailures()
    {
        for (const QString failing : {"", "destination", "source"}) {
            ControllerHarness h;
            if (!failing.isEmpty())
                (failing == "source" ? h.midi->sourceError : h.midi->destinationError) = "no sequencer";
            ConsoleCapture console;
            h.start();
            QCOMPARE(h.bridges->discoveryDuration, 20);
            h.bridges->finishDiscovery("mDNS: nothing");
            QCOMPARE(console.lines().mid(0, 2),
                     QStringList({"discovering Hue Bridges...", "setting up midi..."}));
            QVERIFY(console.contains("midi set up") && console.contains("mDNS: nothing"));
            QVERIFY(failing != "source" || console.contains("error setting up fake midi: no sequencer"));
            QVERIFY(failing != "destination" ||
                    console.contains("could not create the MIDI destination \"Orvel\": no sequencer"));
            QCOMPARE(h.midi->destinationName + ", " + h.midi->sourceName, "Orvel, Orvel Input");
            QCOMPARE(h.switchesFor("n95/127"), failing == "destination" ? QStringList() : QStringList{"on"});
            QCOMPARE(h.list->lightRules().size(), 2); // the bridge side goes on regardless
        }
    }

    void pairsOnceTheLinkButtonIsPressed()
    {
        ControllerHarness h;
        ConsoleCapture console;
        h.start({});
        QCOMPARE(console.lines().count("failure"), 1); // the first tick comes at once
        h.advance(1.0);
        QCOMPARE(console.lines().count("failure"), 2);

        h.bridge.sim.pressLinkButton();
        h.advance(1.0);       // asked on this tick, granted on the next
        h.clock.advance(2.0); // the first read with the new name still out a tick later: no second pairing
        h.advance(0);
        const QString granted = h.prefs().text("hue_username").value;
        QVERIFY(granted != kSimUser && h.bridge.sim.users().contains(granted));
        const QString newBridge =
            "Connecting to a new Hue Bridge at %1. Ensure that all Bridge lights are on "
            "and press the Bridge's button to connect.";
        QCOMPARE(h.statusTexts,
                 QStringList({kConnecting, newBridge, kConnected}).replaceInStrings("%1", h.bridge.host()));
        QCOMPARE(h.list->lightRules().size(), 2);
        // The pairing timer is gone.
        const auto clients = h.bridges->clients.size();
        h.advance(30);
        QCOMPARE(h.bridges->clients.size(), clients);
        QCOMPARE(console.lines().count("success!"), 1);
    }

    // Also: a bridge reported again while connecting or once connected used to start a second timer
    // and, once connected, leave the rules driving a client of their own.
    void refusedStoredNameRetriesEveryTenSeconds()
    {
        ControllerHarness h;
        SimBridge other;
        h.start(QStringLiteral("stale"));
        h.bridges->delegate->foundHueAt(h.bridge.host(), {});
        h.advance(0);
        auto clients = [&] { return int(h.bridges->clients.size()); };
        QCOMPARE(clients(), 2); // the found bridge's read, then the first tick
        h.advance(9.9);
        QCOMPARE(clients(), 2);
        h.advance(0.1);
        QCOMPARE(clients(), 3);
        // The found bridge is read without a name; the ticks never fall back to pairing.
        QVERIFY(h.bridges->clients[0]->username().isEmpty());
        QCOMPARE(h.bridges->clients.back()->username(), "stale");
        for (const auto& request : h.bridge.sim.requests())
            QCOMPARE(request.method, QStringLiteral("GET"));

        // Another bridge before any is connected takes over; the first one's timer stops.
        h.bridges->delegate->foundHueAt(other.host(), {});
        h.advance(0);
        QCOMPARE(clients(), 5);
        other.sim.addUser("stale");
        h.clearRequests();
        h.advance(10);
        QCOMPARE(clients(), 6);
        QCOMPARE(h.statusTexts, QStringList({kConnecting.arg(h.bridge.host()), kConnecting.arg(other.host()),
                                             kConnected.arg(other.host())}));

        // Once connected, further reports change nothing.
        const auto client = h.list->lightsInterface();
        h.bridges->delegate->foundHueAt(other.host(), {});
        h.bridges->delegate->foundHueAt(h.bridge.host(), {});
        h.advance(60);
        QCOMPARE(clients(), 6);
        QCOMPARE(h.list->lightsInterface(), client);
        QCOMPARE(h.list->lightRules().size(), 2);
        QVERIFY(h.bridge.sim.requests().isEmpty());
    }

    void rulesAreBuiltFromRuleCount()
    {
        // Missing, three, zero, a text, damaged and huge (capped instead of hanging).
        const std::pair<QJsonValue, int> rows[] = {
            {QJsonValue(), 2}, {3, 3}, {0, 0}, {"3", 2}, {100000000, 255}};
        for (const auto& [stored, count] : rows) {
            ControllerHarness h;
            if (!stored.isNull())
                h.prefs().setJson("rule_count", stored);
            h.connect();
            qint64 id = 0;
            for (const auto& rule : h.list->lightRules())
                QCOMPARE(rule->ruleID(), id++);
            QCOMPARE(id, count);
            // Adding goes on from there, also when none were stored, up to the cap a start reads back.
            h.list->addRule();
            const qint64 after = qMin<qint64>(id + 1, LightList::kMaxRules);
            QCOMPARE(qint64(h.list->lightRules().size()), after);
            QCOMPARE(h.prefs().integer("rule_count").value,
                     id < LightList::kMaxRules ? after : stored.toInteger());
        }
    }

    // An authenticated read that completes after the next tick's read has started used to run the
    // connection a second time and append the whole rule set again.
    void aSlowAuthenticatedReadBuildsNoSecondRuleSet()
    {
        ControllerHarness h;
        h.bridge.sim.setLightReachable("2", false);
        h.bridge.sim.setFaults({.kinds = {"slow"}, .probability = 1, .slowMs = 2000});
        h.prefs().setText("hue_username", kSimUser);
        h.create();
        h.list->setUp();
        h.bridges->delegate->foundHueAt(h.bridge.host(), {});
        // The found bridge's read comes back late, then the first tick's read goes out, slow too.
        QTRY_VERIFY_WITH_TIMEOUT(h.bridge.sim.requests().size() > 1 &&
                                     h.bridge.sim.requests().constLast().path.contains(kSimUser),
                                 10000);
        h.bridge.sim.setFaults({});
        h.clock.advance(10); // the next tick's read overtakes it
        QTRY_COMPARE_WITH_TIMEOUT(h.bridges->requestsInFlight(), 0, 10000);
        QCOMPARE(h.list->lightRules().size(), 2);
        QCOMPARE(h.list->statusText(), kConnected.arg(h.bridge.host()));
        for (const auto& rule : h.list->lightRules())
            QCOMPARE(rule->lightsInterface(), h.list->lightsInterface());
        // The light list holds each light once, in the bridge's order, after each was read.
        QVERIFY(h.list->availableLights().isEmpty());
        h.advance(0.1);
        QStringList shown;
        for (const auto& option : h.list->availableLights())
            shown << QString::number(option.id) + ' ' + option.name;
        QCOMPARE(shown, QStringList({"0 Desk", "1 Shelf (unreachable)", "2 Hall"}));
        h.advance(60);
        QCOMPARE(h.bridges->clients.size(), std::size_t(3));
    }

    // A light removed from the bridge moves the chosen one to another position, silently.
    void aRuleFollowsItsLightWhenPositionsMove()
    {
        ControllerHarness h;
        h.prefs().setInteger("rule_count", 1);
        h.connect();
        const auto rule = h.list->lightRules().front();
        rule->setLightID(1); // Shelf, newly chosen, blinks for 2 s
        h.advance(2.0);
        h.clearRequests();
        h.bridge.sim.removeLight("1");
        h.list->lightsInterface()->readWithCompletion([](HueBridgeClient&, const QString&) {});
        h.advance(0);
        h.list->refreshLights();
        h.advance(3);
        QCOMPARE(rule->lightID(), quint64(0));
        QVERIFY(h.writes().isEmpty());
    }

    void vocabulary_data() { addRows(kRows); }

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
        QCOMPARE(sent.join(' '), QString(r.answers)
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
        ControllerHarness h; // Desk and Hall on, Shelf and four more like it off
        for (int id = 4; id <= 7; ++id) {
            QJsonObject light = h.bridge.sim.light("2");
            light["uniqueid"] = QString::number(id);
            h.bridge.sim.addLight(light);
        }
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
                                         .arg(h.bridge.readsOf(QString::number(id)))
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

        h.clearRequests(); // back to the captured state: Desk and Hall on in their colour
        h.midi->deliver(parseMessages("n95/0"));
        QCOMPARE(requests({0, 2.5, 0.1}),
                 QStringList({"02 01 02 01 01 00 00 ", "02 01 02 01 01 01 00 ", "02 01 02 01 01 01 01 "}));
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
        QStringList rules;
        for (const auto& r : h.list->lightRules())
            rules << QStringList({QString::number(r->ruleID()), QString::number(r->lightID()),
                                  QString::number(r->onHueDegrees()), QString::number(r->onValue())})
                         .join(' ');
        QCOMPARE(rules, QStringList({"0 0 100 255", "1 2 300 41", "2 255 999 255"}));

        h.list->removeRule(3); // past the end
        QCOMPARE(console.lines().last(), QStringLiteral("no rule at position 3 to remove; there are 3"));
        h.list->removeRule(2);
        h.list->removeRule(1);
        h.list->removeRule(0); // the last rule stays
        QCOMPARE(h.prefs().integer("rule_count").value, qint64(1));
    }

    void learnedTriggers_data() { addRows(kLessons); }

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
            {"type": "note-on", "channel": 0, "number": 60, "low": 1, "high": 127, "action": "on"}, "note 60",
            {"type": "note-on", "channel": 17, "number": 60, "low": 1, "high": 127, "action": "on"},
            {"type": "chord", "channel": 0, "number": 60, "low": 1, "high": 127, "action": "on"},
            {"type": "control", "channel": 1, "number": 64, "low": 100, "high": 10, "action": "off"},
            {"type": "control", "channel": 1, "number": "64", "low": 0, "high": 63, "action": "off"},
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
            lines << entry.meaning + " x" + QString::number(entry.count) + ' ' + entry.bytes.toHex(' ');
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

ORVEL_TEST_MAIN(TestLightList)
#include "tst_LightList.moc"
