// The controller from start-up to a connected bridge: the start-up flash test, MIDI endpoints,
// pairing, reconnection, the light list and the rules built from the store.

#include "ControllerHarness.h"
#include "support/TestMain.h"

#include <QTest>

using namespace orvel;
using namespace orvel::test;

namespace {

QString connectingText(const QString& host)
{
    return QStringLiteral("Connecting to Hue Bridge at %1...\nIf this takes more than 30 seconds, please "
                          "restart the app.")
        .arg(host);
}

QString connectedText(const QString& host)
{
    return QStringLiteral("Connected to Hue Bridge 'Fake Bridge' at ") + host;
}

} // namespace

class TestLightListConnection : public QObject {
    Q_OBJECT

private slots:
    void constructionRunsTheFlashTestWhenEnabled_data();
    void constructionRunsTheFlashTestWhenEnabled();
    void setUpDiscoversForTwentySecondsThenOpensMidi();
    void midiEndpointFailuresCostOnlyThemselves_data();
    void midiEndpointFailuresCostOnlyThemselves();
    void pairsOnceTheLinkButtonIsPressed();
    void refusedStoredNameRetriesEveryTenSeconds();
    void rulesAreBuiltFromRuleCount_data();
    void rulesAreBuiltFromRuleCount();
    void aSlowAuthenticatedReadBuildsNoSecondRuleSet();
    void aRuleFollowsItsLightWhenPositionsMove();
};

void TestLightListConnection::constructionRunsTheFlashTestWhenEnabled_data()
{
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<bool>("expected");
    QTest::newRow("first launch") << QVariant() << true;
    QTest::newRow("stored false") << QVariant(false) << false;
    QTest::newRow("not a Bool") << QVariant(QStringLiteral("no")) << true;
}

void TestLightListConnection::constructionRunsTheFlashTestWhenEnabled()
{
    QFETCH(QVariant, stored);
    QFETCH(bool, expected);
    ControllerHarness h;
    if (stored.typeId() == QMetaType::Bool)
        h.prefs().setBool("global_toggle", stored.toBool());
    else if (stored.isValid())
        h.prefs().setText("global_toggle", stored.toString());

    h.create();
    QCOMPARE(h.list->globalToggle(), expected);
    QCOMPARE(h.prefs().boolean("global_toggle").status, Preferences::Status::Ok);
    QCOMPARE(h.prefs().boolean("global_toggle").value, expected);
    QCOMPARE(h.list->blinkingAll(), expected);
    h.clock.advance(2.499);
    QCOMPARE(h.list->blinkingAll(), expected);
    h.clock.advance(0.001);
    QVERIFY(!h.list->blinkingAll());
    QVERIFY(!h.list->on());
    QCOMPARE(h.list->statusText(), QStringLiteral("Connecting..."));
}

void TestLightListConnection::setUpDiscoversForTwentySecondsThenOpensMidi()
{
    ControllerHarness h;
    h.create();
    ConsoleCapture console;
    h.list->setUp();
    QCOMPARE(h.bridges->discoveryDuration, 20);
    h.bridges->discoveryDone(QStringLiteral("mDNS: nothing"));
    QCOMPARE(console.lines(), (QStringList{"discovering Hue Bridges...", "setting up midi...", "midi set up",
                                           "Hue Bridge discovery complete", "mDNS: nothing"}));
    QCOMPARE(h.list->statusText(), QStringLiteral("Connecting..."));
}

void TestLightListConnection::midiEndpointFailuresCostOnlyThemselves_data()
{
    QTest::addColumn<QString>("failing");
    QTest::addColumn<QString>("line");
    QTest::newRow("none") << QString() << "midi set up";
    QTest::newRow("destination") << "destination"
                                 << "could not create the MIDI destination \"Orvel\": no sequencer";
    QTest::newRow("source") << "source"
                            << "error setting up fake midi: no sequencer";
}

void TestLightListConnection::midiEndpointFailuresCostOnlyThemselves()
{
    QFETCH(QString, failing);
    QFETCH(QString, line);
    ControllerHarness h;
    if (!failing.isEmpty())
        (failing == "source" ? h.midi->sourceError : h.midi->destinationError) =
            QStringLiteral("no sequencer");
    h.useThreeLights();
    ConsoleCapture console;
    h.start();

    QVERIFY2(console.contains(line), qPrintable(console.lines().join('\n')));
    QVERIFY(console.contains("midi set up"));
    QCOMPARE(h.midi->destinationName, QStringLiteral("Orvel"));
    QCOMPARE(h.midi->sourceName, QStringLiteral("Orvel Input"));
    h.midi->deliver({FakeMidiEndpoints::noteOn(95, 127)});
    QCOMPARE(h.list->on(), failing != "destination");
    QCOMPARE(h.list->lightRules().size(), 2); // the bridge side goes on regardless
}

void TestLightListConnection::pairsOnceTheLinkButtonIsPressed()
{
    ControllerHarness h;
    h.useThreeLights();
    ConsoleCapture console;
    h.start({});

    QVERIFY(console.contains("no stored username, performing first-time setup..."));
    QCOMPARE(console.lines().count("failure"), 1); // the first tick comes at once
    h.clock.advance(1.0);
    QCOMPARE(console.lines().count("failure"), 2);
    QVERIFY(h.list->lightRules().isEmpty());

    h.bridges->clients.front()->grantOnRegister = QStringLiteral("granted-name");
    h.clock.advance(1.0);
    QVERIFY(console.contains("got new username: granted-name"));
    QVERIFY(console.contains("success!"));
    QCOMPARE(h.prefs().text("hue_username").value, QStringLiteral("granted-name"));
    QCOMPARE(h.bridge().username(), QStringLiteral("granted-name"));
    QCOMPARE(h.statusTexts, QStringList({connectingText(kBridgeHost),
                                         "Connecting to a new Hue Bridge at 10.0.0.2. Ensure that all Bridge "
                                         "lights are on and press the Bridge's button to connect.",
                                         connectedText(kBridgeHost)}));
    QCOMPARE(h.list->lightRules().size(), 2);

    // The pairing timer is gone.
    const auto clients = h.bridges->clients.size();
    h.clock.advance(30);
    QCOMPARE(console.lines().count("attempt once"), 3);
    QCOMPARE(h.bridges->clients.size(), clients);
}

// Also: a bridge reported again while connecting or once connected used to start a second timer
// and, once connected, leave the rules driving a client of their own.
void TestLightListConnection::refusedStoredNameRetriesEveryTenSeconds()
{
    ControllerHarness h;
    h.useThreeLights([](FakeHueBridge& bridge) { bridge.acceptsUsername = false; });
    ConsoleCapture console;
    h.start(QStringLiteral("stale"));
    h.bridges->delegate->foundHueAt(kBridgeHost, {});

    QVERIFY(console.contains("loaded username stale"));
    QCOMPARE(h.bridges->clients.size(), std::size_t(2)); // the found bridge's read, then the first tick
    h.clock.advance(9.9);
    QCOMPARE(h.bridges->clients.size(), std::size_t(2));
    h.clock.advance(0.1);
    QCOMPARE(h.bridges->clients.size(), std::size_t(3));
    h.clock.advance(10);
    QCOMPARE(h.bridges->clients.size(), std::size_t(4));
    for (const auto& client : h.bridges->clients) {
        // The found bridge is read without a name; the ticks never fall back to pairing.
        QCOMPARE(client->username(), client == h.bridges->clients[0] ? QString() : QStringLiteral("stale"));
        QCOMPARE(client->registerCount, 0);
    }

    // Another bridge before any is connected takes over; the first one's timer stops.
    h.bridges->delegate->foundHueAt("10.0.0.3", {});
    QCOMPARE(h.bridges->clients.size(), std::size_t(6));
    h.useThreeLights(); // the bridge accepts the name again
    h.clock.advance(10);
    QCOMPARE(h.bridges->clients.size(), std::size_t(7));
    QCOMPARE(h.statusTexts, QStringList({connectingText(kBridgeHost), connectingText("10.0.0.3"),
                                         connectedText("10.0.0.3")}));

    // Once connected, further reports change nothing.
    const auto client = h.list->lightsInterface();
    h.bridges->delegate->foundHueAt("10.0.0.3", {});
    h.bridges->delegate->foundHueAt(kBridgeHost, {});
    h.clock.advance(60);
    QCOMPARE(h.bridges->clients.size(), std::size_t(7));
    QCOMPARE(h.list->lightsInterface(), client);
    QCOMPARE(h.list->lightRules().size(), 2);
    QCOMPARE(h.list->statusText(), connectedText("10.0.0.3"));
}

void TestLightListConnection::rulesAreBuiltFromRuleCount_data()
{
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<int>("count");
    QTest::newRow("missing") << QVariant() << 2;
    QTest::newRow("three") << QVariant(3) << 3;
    QTest::newRow("zero") << QVariant(0) << 0;
    QTest::newRow("text") << QVariant(QStringLiteral("3")) << 2;
    QTest::newRow("damaged, huge") << QVariant(100000000) << 255; // capped instead of hanging
}

void TestLightListConnection::rulesAreBuiltFromRuleCount()
{
    QFETCH(QVariant, stored);
    QFETCH(int, count);
    ControllerHarness h;
    h.useThreeLights();
    if (stored.typeId() == QMetaType::Int)
        h.prefs().setInteger("rule_count", stored.toInt());
    else if (stored.isValid())
        h.prefs().setText("rule_count", stored.toString());
    h.connect();

    QList<qint64> ids;
    for (qint64 id = 0; id < count; ++id)
        ids << id;
    QCOMPARE(h.ruleIDs(), ids);
    // Adding goes on from there, also when none were stored, up to the cap a start reads back.
    h.list->addRule();
    if (count == LightList::kMaxRules) {
        QCOMPARE(h.list->lightRules().size(), LightList::kMaxRules);
        return;
    }
    QCOMPARE(h.list->lightRules().last()->ruleID(), qint64(count));
    QCOMPARE(h.prefs().integer("rule_count").value, qint64(count + 1));
}

// An authenticated read that completes after the next tick's read has started used to run the
// connection a second time and append the whole rule set again.
void TestLightListConnection::aSlowAuthenticatedReadBuildsNoSecondRuleSet()
{
    ControllerHarness h;
    h.useThreeLights([](FakeHueBridge& bridge) {
        bridge.holdReads = true;
        bridge.light(1)->isReachable = false;
    });
    h.start();
    h.bridges->clients[0]->completePendingReads();
    h.clock.advance(10);
    QCOMPARE(h.bridges->clients.size(), std::size_t(3)); // two ticks, both reads still out

    h.bridges->clients[2]->completePendingReads();
    h.bridges->clients[1]->completePendingReads(); // the slow one
    QCOMPARE(h.ruleIDs(), QList<qint64>({0, 1}));
    QCOMPARE(h.list->statusText(), connectedText(kBridgeHost));
    for (const auto& rule : h.list->lightRules())
        QCOMPARE(rule->lightsInterface(), h.list->lightsInterface());
    // Both reads refreshed the light list; it holds each light once, in the bridge's order, after
    // each was read.
    QVERIFY(h.list->availableLights().isEmpty());
    h.clock.advance(0.1);
    QStringList shown;
    for (const auto& option : h.list->availableLights())
        shown << QString::number(option.id) + ' ' + option.name;
    QCOMPARE(shown, QStringList({"0 Desk", "1 Shelf (unreachable)", "2 Hall"}));
    h.clock.advance(60);
    QCOMPARE(h.bridges->clients.size(), std::size_t(3));
}

void TestLightListConnection::aRuleFollowsItsLightWhenPositionsMove()
{
    ControllerHarness h;
    h.useThreeLights();
    h.prefs().setInteger("rule_count", 1);
    h.connect();
    const auto rule = h.list->lightRules().front();
    rule->setLightID(1); // Shelf
    h.clock.advance(3);

    // A new light sorts in before the chosen one on the bridge.
    auto lamp = h.bridge().addColorLight("Lamp");
    h.bridge().removeLightAt(3);
    h.bridge().insertLightAt(0, lamp);
    h.list->refreshLights();
    QCOMPARE(rule->lightID(), quint64(2));
    QCOMPARE(h.prefs().integer("0light_index").value, qint64(2));

    h.bridge().writes.clear();
    h.list->rulesOn();
    h.clock.advance(0.1);
    QCOMPARE(h.bridge().writes.first(), QStringLiteral("2 on=true"));
    QCOMPARE(lamp->reads, 1); // read by the refresh only: the rule did not blink
}

ORVEL_TEST_MAIN(TestLightListConnection)
#include "tst_LightListConnection.moc"
