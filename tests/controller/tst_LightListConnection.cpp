// The controller from start-up to a connected bridge: the start-up flash test, discovery, MIDI
// endpoints, pairing, reconnection, the light list and the rules built from the store.

#include "ControllerHarness.h"
#include "support/TestMain.h"

#include <QJsonValue>
#include <QTest>

using namespace orvel;
using namespace orvel::test;

namespace {

const QString kConnecting = QStringLiteral(
    "Connecting to Hue Bridge at %1...\nIf this takes more than 30 seconds, please restart the app.");
const QString kConnected = QStringLiteral("Connected to Hue Bridge 'Orvel Sim' at %1");

} // namespace

class TestLightListConnection : public QObject {
    Q_OBJECT

private slots:
    void constructionRunsTheFlashTestWhenEnabled_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<bool>("expected");
        QTest::newRow("first launch") << QVariant() << true;
        QTest::newRow("stored false") << QVariant(false) << false;
        QTest::newRow("not a Bool") << QVariant(QStringLiteral("no")) << true;
    }

    void constructionRunsTheFlashTestWhenEnabled()
    {
        QFETCH(QVariant, stored);
        QFETCH(bool, expected);
        ControllerHarness h;
        if (stored.isValid())
            h.prefs().setJson("global_toggle", QJsonValue::fromVariant(stored));
        h.create();
        QCOMPARE(h.prefs().boolean("global_toggle").value, expected);
        h.advance(2.499);
        QCOMPARE(h.list->blinkingAll(), expected);
        h.advance(0.001);
        QVERIFY(!h.list->blinkingAll());
        QCOMPARE(h.list->statusText(), QStringLiteral("Connecting..."));
    }

    // Discovery runs for 20 s beside MIDI; a port that cannot be made costs only itself.
    void setUpWithMidiFailures_data()
    {
        QTest::addColumn<QString>("failing");
        QTest::addColumn<QString>("line");
        QTest::newRow("none") << QString() << "midi set up";
        QTest::newRow("destination") << "destination"
                                     << "could not create the MIDI destination \"Orvel\": no sequencer";
        QTest::newRow("source") << "source"
                                << "error setting up fake midi: no sequencer";
    }

    void setUpWithMidiFailures()
    {
        QFETCH(QString, failing);
        QFETCH(QString, line);
        ControllerHarness h;
        if (!failing.isEmpty())
            (failing == "source" ? h.midi->sourceError : h.midi->destinationError) = "no sequencer";
        ConsoleCapture console;
        h.start();
        QCOMPARE(h.bridges->discoveryDuration, 20);
        h.bridges->finishDiscovery(QStringLiteral("mDNS: nothing"));
        QCOMPARE(console.lines().mid(0, 2),
                 QStringList({"discovering Hue Bridges...", "setting up midi..."}));
        for (const QString& expected : {line, QStringLiteral("midi set up"), QStringLiteral("mDNS: nothing")})
            QVERIFY(console.contains(expected));
        QCOMPARE(h.midi->destinationName + ", " + h.midi->sourceName, "Orvel, Orvel Input");
        QCOMPARE(h.switchesFor("n95/127"), failing == "destination" ? QStringList() : QStringList{"on"});
        QCOMPARE(h.list->lightRules().size(), 2); // the bridge side goes on regardless
    }

    void pairsOnceTheLinkButtonIsPressed()
    {
        ControllerHarness h;
        ConsoleCapture console;
        h.start({});
        QVERIFY(console.contains("no stored username, performing first-time setup..."));
        QCOMPARE(console.lines().count("failure"), 1); // the first tick comes at once
        h.advance(1.0);
        QCOMPARE(console.lines().count("failure"), 2);
        QVERIFY(h.list->lightRules().isEmpty());

        h.bridge.sim.pressLinkButton();
        h.advance(1.0);       // asked on this tick, granted on the next
        h.clock.advance(2.0); // the first read with the new name still out a tick later: no second pairing
        h.advance(0);
        const QString granted = h.prefs().text("hue_username").value;
        QVERIFY(console.contains("got new username: " + granted));
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

    void rulesAreBuiltFromRuleCount_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<int>("count");
        QTest::newRow("missing") << QVariant() << 2;
        QTest::newRow("three") << QVariant(3) << 3;
        QTest::newRow("zero") << QVariant(0) << 0;
        QTest::newRow("text") << QVariant(QStringLiteral("3")) << 2;
        QTest::newRow("damaged, huge") << QVariant(100000000) << 255; // capped instead of hanging
    }

    void rulesAreBuiltFromRuleCount()
    {
        QFETCH(QVariant, stored);
        QFETCH(int, count);
        ControllerHarness h;
        if (stored.isValid())
            h.prefs().setJson("rule_count", QJsonValue::fromVariant(stored));
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
                 id < LightList::kMaxRules ? after : stored.toLongLong());
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

    // A light removed from the bridge moves the chosen one to another position.
    void aRuleFollowsItsLightWhenPositionsMove()
    {
        ControllerHarness h;
        h.prefs().setInteger("rule_count", 1);
        h.connect();
        const auto rule = h.list->lightRules().front();
        rule->setLightID(1); // Shelf, newly chosen, blinks for 2 s
        h.advance(2.0);
        QVERIFY(writesTo(h.bridge, 2).endsWith(R"(2 {"on":false})"));
        h.clearRequests();

        h.bridge.sim.removeLight("1");
        h.list->lightsInterface()->readWithCompletion([](HueBridgeClient&, const QString&) {});
        h.advance(0);
        h.list->refreshLights();
        h.advance(3);
        QCOMPARE(rule->lightID(), quint64(0));
        QCOMPARE(h.prefs().integer("0light_index").value, qint64(0));
        QVERIFY(h.writes().isEmpty()); // the rule did not blink
        h.list->rulesOn();
        h.advance(0.1);
        QCOMPARE(h.writes().value(0), QStringLiteral(R"(2 {"on":true})"));
    }
};

ORVEL_TEST_MAIN(TestLightListConnection)
#include "tst_LightListConnection.moc"
