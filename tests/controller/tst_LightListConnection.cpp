// The controller from start-up to a connected bridge: the start-up flash test, discovery, MIDI
// endpoints, pairing, reconnection, the light list and the rules built from the store.

#include "ControllerHarness.h"
#include "support/TestMain.h"

#include <QSignalSpy>
#include <QTest>

using namespace orvel;
using namespace orvel::test;

namespace {

const QString kPairingText = QStringLiteral(
    "Connecting to a new Hue Bridge at 10.0.0.2. Ensure that all Bridge lights are on and press the Bridge's "
    "button to connect.");
const QString kConnectedText = QStringLiteral("Connected to Hue Bridge 'Fake Bridge' at 10.0.0.2");

// A timer that only carries user info, to call the timer targets by hand.
struct StubTimer : RepeatingTimer {
    explicit StubTimer(QVariant info)
        : info(std::move(info))
    {}
    void fire() override {}
    void invalidate() override { valid = false; }
    bool isValid() const override { return valid; }
    double interval() const override { return 1.0; }
    const QVariant& userInfo() const override { return info; }
    QVariant info;
    bool valid = true;
};

} // namespace

class TestLightListConnection : public QObject {
    Q_OBJECT

private slots:
    void constructionRunsTheFlashTestWhenEnabled_data();
    void constructionRunsTheFlashTestWhenEnabled();
    void setUpDiscoversAndCreatesTheMidiEndpoints();
    void midiEndpointFailuresCostOnlyThemselves_data();
    void midiEndpointFailuresCostOnlyThemselves();
    void pairsOnceTheLinkButtonIsPressed();
    void refusedStoredNameRetriesEveryTenSeconds();
    void timerTicksTakeTheHostFromTheirUserInfo();
    void rulesAreBuiltFromRuleCount_data();
    void rulesAreBuiltFromRuleCount();
    void availableLightsFollowTheBridgeOrder();
    void aSlowAuthenticatedReadBuildsNoSecondRuleSet();
    void aBridgeReportedAgainStartsNothingNew();
    void givenHostIsUsedLikeADiscoveredOne();
    void aRuleFollowsItsLightWhenPositionsMove();
};

void TestLightListConnection::constructionRunsTheFlashTestWhenEnabled_data()
{
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<bool>("expected");

    QTest::newRow("first launch") << QVariant() << true;
    QTest::newRow("stored false") << QVariant(false) << false;
    QTest::newRow("stored true") << QVariant(true) << true;
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

void TestLightListConnection::setUpDiscoversAndCreatesTheMidiEndpoints()
{
    ControllerHarness h;
    h.create();
    ConsoleCapture console;
    h.list->setUp();

    QCOMPARE(h.bridges->discoveryDuration, 20);
    QCOMPARE(h.midi->destinationName, QStringLiteral("Orvel"));
    QCOMPARE(h.midi->sourceName, QStringLiteral("Orvel Input"));
    QCOMPARE(h.midi->sent.size(), std::size_t(1));
    QCOMPARE(h.midi->sent[0].size(), std::size_t(1));
    QCOMPARE(h.midi->sent[0][0].commandType, quint8(0));
    QVERIFY(h.midi->sent[0][0].bytes.isEmpty());
    QCOMPARE(console.lines(),
             QStringList({"discovering Hue Bridges...", "setting up midi...", "midi set up"}));

    console.clear();
    h.bridges->discoveryDone(QStringLiteral("mDNS: nothing\nN-UPnP: nothing"));
    QCOMPARE(console.lines(),
             QStringList({"Hue Bridge discovery complete", "mDNS: nothing\nN-UPnP: nothing"}));
    // No bridge: nothing more happens.
    h.clock.advance(60);
    QCOMPARE(h.list->statusText(), QStringLiteral("Connecting..."));
    QVERIFY(h.bridges->clients.empty());

    // The destination's batches reach the dispatch.
    h.midi->deliver({FakeMidiEndpoints::noteOn(95, 127)});
    QVERIFY(h.list->on());
}

void TestLightListConnection::midiEndpointFailuresCostOnlyThemselves_data()
{
    QTest::addColumn<QString>("failing");
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("destinationWorks");

    QTest::newRow("destination") << "destination"
                                 << "could not create the MIDI destination \"Orvel\": no sequencer" << false;
    QTest::newRow("source") << "source"
                            << "error setting up fake midi: no sequencer" << true;
    QTest::newRow("send") << "send"
                          << "problem sending message to fake midi" << true;
}

void TestLightListConnection::midiEndpointFailuresCostOnlyThemselves()
{
    QFETCH(QString, failing);
    QFETCH(QString, line);
    QFETCH(bool, destinationWorks);
    ControllerHarness h;
    (failing == "destination" ? h.midi->destinationError
     : failing == "source"    ? h.midi->sourceError
                              : h.midi->sendError) = QStringLiteral("no sequencer");
    h.create();
    ConsoleCapture console;
    h.list->setUp();

    QVERIFY2(console.contains(line), qPrintable(console.lines().join('\n')));
    QCOMPARE(console.lines().last(), QStringLiteral("midi set up"));
    QCOMPARE(bool(h.midi->handler), destinationWorks);
    // The bridge side goes on regardless.
    h.useThreeLights();
    h.prefs().setText("hue_username", "user1");
    h.bridges->delegate->foundHueAt(kBridgeHost, {});
    QCOMPARE(h.list->lightRules().size(), 2);
}

void TestLightListConnection::pairsOnceTheLinkButtonIsPressed()
{
    ControllerHarness h;
    h.useThreeLights();
    h.create();
    h.list->setUp();
    ConsoleCapture console;
    h.bridges->delegate->foundHueAt(kBridgeHost, {});

    QVERIFY(console.contains("Connecting to Hue Bridge at 10.0.0.2"));
    QVERIFY(console.contains("no stored username, performing first-time setup..."));
    QCOMPARE(console.lines().count("failure"), 1); // the first tick comes at once
    h.clock.advance(1.0);
    QCOMPARE(console.lines().count("failure"), 2);
    QCOMPARE(console.lines().count("attempt once"), 2);
    QVERIFY(h.list->lightRules().isEmpty());

    h.bridges->clients.front()->grantOnRegister = QStringLiteral("granted-name");
    h.clock.advance(1.0);
    QVERIFY(console.contains("got new username: granted-name"));
    QVERIFY(console.contains("success!"));
    QCOMPARE(h.prefs().text("hue_username").value, QStringLiteral("granted-name"));
    QCOMPARE(h.list->username(), QStringLiteral("granted-name"));
    QCOMPARE(h.bridge().username(), QStringLiteral("granted-name"));
    QCOMPARE(h.statusTexts, QStringList({connectingText(kBridgeHost), kPairingText, kConnectedText}));
    QCOMPARE(h.list->lightRules().size(), 2);

    // The pairing timer is gone.
    const auto clients = h.bridges->clients.size();
    console.clear();
    h.clock.advance(30);
    QVERIFY(!console.contains("attempt once"));
    QCOMPARE(h.bridges->clients.size(), clients);
    QVERIFY(!h.list->timer()->isValid());
}

void TestLightListConnection::refusedStoredNameRetriesEveryTenSeconds()
{
    ControllerHarness h;
    h.useThreeLights([](FakeHueBridge& bridge) { bridge.acceptsUsername = false; });
    h.prefs().setText("hue_username", "stale");
    h.create();
    h.list->setUp();
    ConsoleCapture console;
    h.bridges->delegate->foundHueAt(kBridgeHost, {});

    QVERIFY(console.contains("loaded username stale"));
    QCOMPARE(h.bridges->clients.size(), std::size_t(2)); // the found bridge's read, then the first tick
    h.clock.advance(9.9);
    QCOMPARE(h.bridges->clients.size(), std::size_t(2));
    h.clock.advance(0.1);
    QCOMPARE(h.bridges->clients.size(), std::size_t(3));
    h.clock.advance(10);
    QCOMPARE(h.bridges->clients.size(), std::size_t(4));
    QCOMPARE(h.bridges->clients[0]->username(), QString()); // the found bridge is read without one
    for (const auto& client : h.bridges->clients) {
        if (client != h.bridges->clients[0])
            QCOMPARE(client->username(), QStringLiteral("stale"));
        QCOMPARE(client->registerCount, 0); // never falls back to pairing
    }
    QCOMPARE(h.statusTexts, QStringList({connectingText(kBridgeHost)}));

    h.useThreeLights(); // the bridge accepts the name again
    h.clock.advance(10);
    QCOMPARE(h.statusTexts.last(), kConnectedText);
    QCOMPARE(h.bridges->clients.size(), std::size_t(5));
    h.clock.advance(60);
    QCOMPARE(h.bridges->clients.size(), std::size_t(5));
}

void TestLightListConnection::timerTicksTakeTheHostFromTheirUserInfo()
{
    ControllerHarness h;
    h.create();
    ConsoleCapture console;

    StubTimer text(QStringLiteral("10.0.0.9"));
    StubTimer none{QVariant()};
    StubTimer notText(QVariantMap{{"host", 7}});
    h.list->connectHueTimerWithTimer(text);
    h.list->connectHueTimerWithTimer(none);
    h.list->connectHueTimerWithTimer(notText);
    h.list->connectHueFirstTimerWithTimer(text);
    QVERIFY(h.bridges->clients.empty());
    QVERIFY(console.lines().isEmpty());

    StubTimer withHost(QVariantMap{{"host", "10.0.0.9"}});
    StubTimer withoutHost(QVariantMap{{"other", "x"}});
    h.list->connectHueTimerWithTimer(withHost);
    h.list->connectHueTimerWithTimer(withoutHost);
    QCOMPARE(h.bridges->clients.size(), std::size_t(2));
    QCOMPARE(h.bridges->clients[0]->host(), QStringLiteral("10.0.0.9"));
    QCOMPARE(h.bridges->clients[1]->host(), QStringLiteral("unknown"));
}

void TestLightListConnection::rulesAreBuiltFromRuleCount_data()
{
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<QList<qint64>>("ids");

    QTest::newRow("missing") << QVariant() << QList<qint64>{0, 1};
    QTest::newRow("three") << QVariant(3) << QList<qint64>{0, 1, 2};
    QTest::newRow("one") << QVariant(1) << QList<qint64>{0};
    QTest::newRow("zero") << QVariant(0) << QList<qint64>{};
    QTest::newRow("negative") << QVariant(-1) << QList<qint64>{0, 1};
    QTest::newRow("text") << QVariant(QStringLiteral("3")) << QList<qint64>{0, 1};
    QTest::newRow("fraction") << QVariant(2.5) << QList<qint64>{0, 1};
    QList<qint64> most;
    for (qint64 id = 0; id < 255; ++id)
        most << id;
    QTest::newRow("damaged, huge") << QVariant(100000000) << most; // capped instead of hanging
}

void TestLightListConnection::rulesAreBuiltFromRuleCount()
{
    QFETCH(QVariant, stored);
    QFETCH(QList<qint64>, ids);
    ControllerHarness h;
    h.useThreeLights();
    if (stored.typeId() == QMetaType::Int)
        h.prefs().setInteger("rule_count", stored.toInt());
    else if (stored.typeId() == QMetaType::Double)
        h.prefs().setDouble("rule_count", stored.toDouble());
    else if (stored.isValid())
        h.prefs().setText("rule_count", stored.toString());
    h.connect();

    QCOMPARE(h.ruleIDs(), ids);
    for (const auto& rule : h.list->lightRules())
        QCOMPARE(rule->lightsInterface(), h.list->lightsInterface());

    // Adding goes on from there, also when none were stored.
    h.list->addRule();
    QCOMPARE(h.list->lightRules().last()->ruleID(), qint64(ids.size()));
    QCOMPARE(h.prefs().integer("rule_count").value, qint64(ids.size() + 1));
}

void TestLightListConnection::availableLightsFollowTheBridgeOrder()
{
    ControllerHarness h;
    h.useThreeLights();
    h.bridges->configure = [configure = h.bridges->configure](FakeHueBridge& bridge) {
        configure(bridge);
        bridge.light(1)->isReachable = false;
    };
    h.prefs().setText("hue_username", "user1");
    h.create();
    h.list->setUp();
    ConsoleCapture console;
    h.bridges->delegate->foundHueAt(kBridgeHost, {});

    QVERIFY(console.contains("lights: [0 \"Desk\", 1 \"Shelf\", 2 \"Hall\"]"));
    QVERIFY(h.list->availableLights().isEmpty()); // each light is read first
    for (std::size_t i = 0; i < 3; ++i)
        QVERIFY(h.bridge().light(i)->reads >= 1);
    h.clock.advance(0.1);
    QList<quint64> ids;
    QStringList names;
    for (const auto& option : h.list->availableLights()) {
        ids << option.id;
        names << option.name;
    }
    QCOMPARE(ids, QList<quint64>({0, 1, 2}));
    QCOMPARE(names, QStringList({"Desk", "Shelf (unreachable)", "Hall"}));

    // A bridge without lights still gets its rules.
    ControllerHarness empty;
    empty.connect();
    QVERIFY(empty.list->availableLights().isEmpty());
    QCOMPARE(empty.list->lightRules().size(), 2);
    QCOMPARE(empty.list->statusText(), kConnectedText);
}

// An authenticated read that completes after the next tick's read has started used to run the
// connection a second time and append the whole rule set again.
void TestLightListConnection::aSlowAuthenticatedReadBuildsNoSecondRuleSet()
{
    ControllerHarness h;
    h.useThreeLights([](FakeHueBridge& bridge) { bridge.holdReads = true; });
    h.prefs().setText("hue_username", "user1");
    h.create();
    h.list->setUp();
    h.bridges->delegate->foundHueAt(kBridgeHost, {});
    h.bridges->clients[0]->completePendingReads();
    QCOMPARE(h.bridges->clients.size(), std::size_t(2)); // first tick, its read still out
    h.clock.advance(10);
    QCOMPARE(h.bridges->clients.size(), std::size_t(3));

    h.bridges->clients[2]->completePendingReads();
    QCOMPARE(h.list->lightRules().size(), 2);
    h.bridges->clients[1]->completePendingReads(); // the slow one
    QCOMPARE(h.list->lightRules().size(), 2);
    QCOMPARE(h.ruleIDs(), QList<qint64>({0, 1}));
    QCOMPARE(h.list->statusText(), kConnectedText);
    for (const auto& rule : h.list->lightRules())
        QCOMPARE(rule->lightsInterface(), h.list->lightsInterface());
    // Both reads refreshed the light list; it holds each light once.
    h.clock.advance(0.1);
    QCOMPARE(h.list->availableLights().size(), 3);

    h.clock.advance(60);
    QCOMPARE(h.bridges->clients.size(), std::size_t(3));
}

void TestLightListConnection::aBridgeReportedAgainStartsNothingNew()
{
    ControllerHarness h;
    h.useThreeLights([](FakeHueBridge& bridge) { bridge.acceptsUsername = false; });
    h.prefs().setText("hue_username", "user1");
    h.create();
    h.list->setUp();

    // While connecting: the same host again keeps the one timer.
    h.bridges->delegate->foundHueAt(kBridgeHost, {});
    h.bridges->delegate->foundHueAt(kBridgeHost, {});
    QCOMPARE(h.bridges->clients.size(), std::size_t(2));
    h.clock.advance(10);
    QCOMPARE(h.bridges->clients.size(), std::size_t(3));

    // Another bridge before any is connected takes over; the first one's timer stops.
    h.bridges->delegate->foundHueAt("10.0.0.3", {});
    QCOMPARE(h.bridges->clients.size(), std::size_t(5));
    h.clock.advance(10);
    QCOMPARE(h.bridges->clients.size(), std::size_t(6));
    QCOMPARE(h.bridge().host(), QStringLiteral("10.0.0.3"));

    h.useThreeLights();
    h.clock.advance(10);
    QCOMPARE(h.list->statusText(), QStringLiteral("Connected to Hue Bridge 'Fake Bridge' at 10.0.0.3"));
    QCOMPARE(h.list->lightRules().size(), 2);

    // Once connected, further reports change nothing.
    const auto client = h.list->lightsInterface();
    h.bridges->delegate->foundHueAt("10.0.0.3", {});
    h.bridges->delegate->foundHueAt(kBridgeHost, {});
    h.clock.advance(30);
    QCOMPARE(h.bridges->clients.size(), std::size_t(7));
    QCOMPARE(h.list->lightsInterface(), client);
    QCOMPARE(h.list->lightRules().size(), 2);
    QCOMPARE(h.list->statusText(), QStringLiteral("Connected to Hue Bridge 'Fake Bridge' at 10.0.0.3"));
}

void TestLightListConnection::givenHostIsUsedLikeADiscoveredOne()
{
    ControllerHarness h;
    h.useThreeLights();
    h.prefs().setText("hue_username", "user1");
    h.create();
    h.list->setGivenBridgeHost("127.0.0.1:8080");
    h.list->setUp();

    QCOMPARE(h.list->statusText(), QStringLiteral("Connected to Hue Bridge 'Fake Bridge' at 127.0.0.1:8080"));
    QCOMPARE(h.list->lightRules().size(), 2);
    // Discovery finds the same bridge later.
    h.bridges->delegate->foundHueAt("127.0.0.1:8080", {});
    QCOMPARE(h.list->lightRules().size(), 2);
    QCOMPARE(h.bridges->clients.size(), std::size_t(2));
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
    h.clock.advance(0.1);
    QCOMPARE(h.list->availableLights().size(), 4);
    QCOMPARE(h.list->availableLights()[2].name, QStringLiteral("Shelf"));

    h.bridge().writes.clear();
    h.list->rulesOn();
    h.clock.advance(0.1);
    QCOMPARE(h.bridge().writes.first(), QStringLiteral("2 on=true"));
    QCOMPARE(lamp->reads, 1); // read by the refresh only: the rule did not blink
}

ORVEL_TEST_MAIN(TestLightListConnection)
#include "tst_LightListConnection.moc"
