// One rule against the simulated bridge through the real HTTP client, on a manual clock: the
// network answers in real time, so each step waits for the client to have heard every answer.

#include "controller/bridge/HttpHueBridge.h"
#include "platform/MainQueue.h"
#include "platform/Preferences.h"
#include "rules/LightOption.h"
#include "rules/LightRule.h"
#include "rules/Queue.h"
#include "rules/SharedInt.h"
#include "support/SimBridge.h"
#include "support/TestMain.h"

#include <QSignalSpy>
#include <QTemporaryDir>

#include <limits>
#include <unordered_set>

using namespace orvel;

namespace {

// Positions 0..3: a colour light (on), a dimmable one without a unique id (on), a plug (off) and a
// second colour light (off).
const QByteArray kLights = R"({
  "1": {"name": "Desk", "type": "Extended color light", "uniqueid": "00:17:88:01:00:00:00:01-0b",
        "state": {"on": true, "hue": 8000, "sat": 140, "bri": 200}},
  "2": {"name": "Hall", "type": "Dimmable light", "state": {"on": true, "bri": 120}},
  "3": {"name": "Fan", "type": "On/Off plug-in unit", "uniqueid": "00:17:88:01:00:00:00:03-01",
        "state": {"on": false}},
  "4": {"name": "Shelf", "type": "Extended color light", "uniqueid": "00:17:88:01:00:00:00:04-0b",
        "state": {"on": false, "hue": 30000, "sat": 50, "bri": 90}}
})";

const QString kOn = QStringLiteral(R"({"on":true})");
const QString kColour = QStringLiteral(R"({"hue":21845,"sat":200,"bri":254})");
const QString kDeskBase = QStringLiteral(R"(1 {"hue":8000,"sat":140,"bri":200})");
const QString kShelfOff = QStringLiteral(R"(4 {"on":false})");
const QStringList kShelfOn{"4 " + kOn, "4 " + kColour};

} // namespace

class LightRuleTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<ManualClock> clock_;
    std::unique_ptr<ScopedMainQueue> scope_;
    std::unique_ptr<test::SimBridge> bridge_;
    std::shared_ptr<HttpHueBridge> client_;

    Preferences& store() { return Preferences::standard(); }
    double real(const char* key) { return store().real(key).value; }

    bool readAll() { return test::SimBridge::read(*client_).isEmpty(); }
    // Advances the clock by `seconds`, with every request the rule made answered and taken in before
    // and after; the state writes the bridge got since the last call.
    QStringList after(double seconds)
    {
        const auto idle = [&] { return client_->pendingRequests() == 0; };
        const bool answered = QTest::qWaitFor(idle, 5000);
        clock_->advance(seconds);
        const QStringList writes =
            answered && QTest::qWaitFor(idle, 5000) ? bridge_->writes() : QStringList{"<unanswered>"};
        bridge_->sim.clearRequests();
        return writes;
    }
    QStringList now() { return after(0); }

    // A rule already settled on `light` with the given on state (the choosing blink played out).
    auto settledRule(qint64 light, double hue = 21845, double sat = 200, double bri = 255, bool onOn = true)
    {
        store().setInteger("0light_index", light);
        for (const auto& [key, value] :
             {std::pair{"0on_hue", hue}, {"0on_saturation", sat}, {"0on_value", bri}})
            store().setDouble(key, value);
        store().setBool("0on_on", onOn);
        auto rule = LightRule::create(0, client_);
        for (const double step : {0.1, 3.4})
            after(step);
        return rule;
    }

private Q_SLOTS:
    void init()
    {
        dir_ = std::make_unique<QTemporaryDir>();
        Preferences::installStandard(std::make_unique<Preferences>(dir_->path() + "/preferences.json"));
        clock_ = std::make_unique<ManualClock>();
        scope_ = std::make_unique<ScopedMainQueue>(*clock_);
        bridge_ = std::make_unique<test::SimBridge>(kLights);
        client_ = HttpHueBridge::create(bridge_->host(), test::kSimUser);
        QVERIFY(readAll());
    }

    void cleanup()
    {
        client_.reset();
        bridge_.reset();
        scope_.reset();
        Preferences::installStandard(nullptr);
    }

    void sharedTypesBehaveAndNewAndStoredRulesReadTheirKeys()
    {
        Queue<quint64> queue; // first in, first out
        QCOMPARE(queue.dequeue(), std::nullopt);
        queue.enqueue(1);
        queue.enqueue(2);
        QCOMPARE(queue.dequeue(), std::optional<quint64>(1));
        // A light option is its position; the name may say "(unreachable)".
        const std::unordered_set<LightOption> set{{2, "Desk"}, {2, "Desk (unreachable)"}, {3, "Desk"}};
        QCOMPARE(set.size(), std::size_t(2));
        SharedInt cell; // starts at one and tells of every assignment, even an unchanged value
        QCOMPARE(cell.val(), qint64(1));
        QSignalSpy spy(&cell, &SharedInt::changed);
        cell.setVal(1);
        cell.setVal(4);
        QCOMPARE(spy.count(), 2);
        QCOMPARE(cell.val(), qint64(4));

        // Position 255 means "no light", even on a bridge that has a light there.
        for (int i = 4; i < 256; ++i)
            bridge_->sim.addLight(bridge_->sim.light("2"));
        QVERIFY(readAll());
        auto rule = LightRule::create(12, client_);
        QCOMPARE(QList<double>(
                     {real("12light_index"), real("12on_hue"), real("12on_saturation"), real("12on_value")}),
                 QList<double>({255, -1, 255, 255}));
        QCOMPARE(store().boolean("12on_on").value, true);
        QVERIFY(!store().contains("1on_hue")); // rule 12's keys never pass for rule 1's
        QCOMPARE(after(5), QStringList{});     // no light chosen: nothing is touched

        store().setDouble("0on_hue", 0);
        store().setText("2on_hue", "not a number");
        QCOMPARE(LightRule::create(0, client_)->baseHue(), std::optional<double>(0)); // hue 0 is a hue
        QCOMPARE(LightRule::create(2, client_)->onHueDegrees(), -1.0);
        QCOMPARE(real("2on_hue"), -1.0); // the default replaced the unusable value

        // A stored light past the end of the bridge's list stays chosen but is never written.
        store().setInteger("3light_index", 300);
        auto pastTheEnd = LightRule::create(3, client_);
        QCOMPARE(pastTheEnd->lightID(), quint64(300));
        QCOMPARE(pastTheEnd->canControlOn(), std::nullopt);
        QCOMPARE(after(3), QStringList{});
    }

    // Each kind of light, switched on by a rule and off again: light, the rule's on state, what
    // the switch-on writes after 0.1 s, what the switch-off writes at once.
    void switchOnWritesOnFlagThenColourAndOffPutsTheLightBack()
    {
        const QList<std::tuple<quint64, bool, QStringList, QStringList>> rows{
            {0, true, {"1 " + kOn, "1 " + kColour}, {"1 " + kOn, kDeskBase}},
            {0, false, {R"(1 {"on":false})"}, {"1 " + kOn, kDeskBase}},
            {1, true, {"2 " + kOn, R"(2 {"bri":254})"}, {"2 " + kOn, R"(2 {"bri":120})"}},
            // A plug goes back to the opposite of the rule's on state, whatever it was read in.
            {2, true, {"3 " + kOn}, {R"(3 {"on":false})"}},
            {3, true, kShelfOn, {kShelfOff}},
        };
        for (const auto& [light, onOn, on, off] : rows) {
            cleanup();
            init();
            auto rule = settledRule(light, 21845.9, 200.7, 255, onOn);
            if (light == 2) // switched on at the plug meanwhile
                bridge_->sim.setLightState("3", QJsonObject{{"on", true}});
            rule->switchOn();
            QVERIFY(rule->on() && rule->transitioning());
            QCOMPARE(now(), QStringList{}); // the light is read first
            QCOMPARE(after(0.1), on);
            rule->switchOn(); // already on: nothing more
            QCOMPARE(after(1.0), QStringList{});
            QVERIFY(!rule->transitioning());
            rule->switchOff();
            QCOMPARE(now(), off);
        }
    }

    void baseStateComesFromTheFreshReadOfAReachableLight()
    {
        auto rule = settledRule(0);
        // A light already showing the on state is left alone; the base fields still hold the older
        // capture, which is what switch-off restores.
        bridge_->sim.setLightState("1", QJsonObject{{"hue", 21845}});
        rule->switchOn();
        QCOMPARE(after(0.1), QStringList{});
        rule->switchOff();
        QCOMPARE(now(), (QStringList{"1 " + kOn, kDeskBase}));

        // Changed by a wall switch or another app since the rule last looked.
        bridge_->sim.setLightState("1", QJsonObject{{"hue", 5000}});
        rule->switchOn();
        QCOMPARE(after(0.1), (QStringList{"1 " + kOn, "1 " + kColour}));
        rule->switchOff();
        QCOMPARE(now().last(), R"(1 {"hue":5000,"sat":140,"bri":200})");

        // An unreachable light reports a stale state: it is neither switched nor taken as the
        // state to go back to once it is back.
        bridge_->sim.setLightReachable("1", false);
        bridge_->sim.setLightState("1", QJsonObject{{"hue", 9999}});
        rule->switchOn();
        QCOMPARE(after(2), QStringList{});
        bridge_->sim.setLightReachable("1", true);
        QVERIFY(readAll());
        rule->switchOff();
        QCOMPARE(now().last(), R"(1 {"hue":5000,"sat":140,"bri":200})");
    }

    void choosingALightBlinksItAndSwitchOffBeforeOrAcrossTheDeferredStep()
    {
        auto rule = settledRule(0);
        rule->setLightID(3);
        QVERIFY(rule->on());
        QCOMPARE(after(0.1), kShelfOn);
        after(1.85);
        QVERIFY(rule->on());
        QCOMPARE(after(0.05), QStringList{kShelfOff});

        // blink() during an on state only ends it 2 s later.
        rule->switchOn();
        after(1.5);
        rule->blink();
        QCOMPARE(after(1.95), QStringList{});
        QCOMPARE(after(0.05), QStringList{kShelfOff});
        QVERIFY(!rule->on());

        rule->switchOn();
        rule->switchOff();
        QCOMPARE(after(5), QStringList{kShelfOff}); // no on state after the off

        rule->switchOn(); // deferred step at 0.1, settle at 1.1
        after(0.5);
        rule->switchOff();
        after(0.55);
        rule->switchOn(); // deferred step at 1.15, after the first cycle's settle
        QCOMPARE(after(0.1), kShelfOn);
        after(0.95);
        QVERIFY(rule->transitioning()); // the earlier settle step did not end this switch-on
        after(0.05);
        QVERIFY(!rule->transitioning());

        // Off and on within 0.1 s: only the second switch-on's step acts, once.
        rule->switchOff();
        rule->switchOn();
        after(0.05);
        rule->switchOff();
        rule->switchOn();
        QCOMPARE(after(0.06), QStringList{kShelfOff}); // the first step stood down
        QCOMPARE(after(0.05), kShelfOn);
    }

    void valuesOutsideTheRangesAreClampedAndEveryAssignmentStored()
    {
        auto rule = settledRule(0, -1, 300, std::numeric_limits<double>::quiet_NaN());
        rule->switchOn();
        QCOMPARE(after(0.1), (QStringList{"1 " + kOn, R"(1 {"sat":254})"}));
        rule->switchOff();

        QSignalSpy spy(rule.get(), &LightRule::changed);
        rule->setOnHueDegrees(70000);
        rule->setOnSaturation(-5);
        rule->setOnValue(-20);
        rule->setOnOn(rule->onOn());
        QCOMPARE(spy.count(), 4);
        QCOMPARE(real("0on_saturation"), -5.0);
        after(2);
        rule->switchOn();
        QCOMPARE(after(0.1), (QStringList{"1 " + kOn, R"(1 {"hue":65535,"sat":0,"bri":1})"}));
        QCOMPARE(wire::hue(std::numeric_limits<double>::infinity()), std::nullopt);
        QCOMPARE(wire::hue(-0.5), std::optional<quint16>(0));
    }

    // A light before the rule's light went from the bridge (the controller's own test follows it while
    // running): a restart finds it at its new place and blinks the right light.
    void ruleFindsItsLightAfterARestartAndPickingReplacesItsUniqueId()
    {
        settledRule(3);
        bridge_->sim.removeLight("1");
        QVERIFY(readAll());
        auto rule = LightRule::create(0, client_);
        QCOMPARE(rule->lightID(), quint64(2));
        QCOMPARE(after(0.1).value(0), "4 " + kOn);
        // A picked light without a unique id leaves none that could lead the next start elsewhere.
        rule->setLightID(1); // a plug, which has no colour to go back to
        QCOMPARE(store().text("0light_uid").value, QStringLiteral("00:17:88:01:00:00:00:03-01"));
        QCOMPARE(rule->baseHue(), std::nullopt);
        QCOMPARE(rule->baseValue(), -1.0);
        QCOMPARE(rule->canControlOn(), std::optional<bool>(true));
        rule->setLightID(0);
        QCOMPARE(LightRule::create(0, client_)->lightID(), quint64(0));

        // A light deleted from the bridge leaves the chosen position alone.
        rule->setLightID(1);
        bridge_->sim.removeLight("3");
        QVERIFY(readAll());
        QVERIFY(!rule->followLight());
        QCOMPARE(rule->lightID(), quint64(1));
    }

    // A bridge restored or restarted may give its lights new numbers: what a rule reads at its
    // position is then another light, which it must neither capture nor switch.
    void switchOnFollowsItsLightWhenTheBridgeRenumbersThem()
    {
        auto rule = settledRule(3);
        const QJsonObject desk = bridge_->sim.light("1"), shelf = bridge_->sim.light("4");
        bridge_->sim.removeLight("1");
        bridge_->sim.removeLight("4");
        bridge_->sim.addLight(shelf); // as "4", at position 2
        bridge_->sim.addLight(desk);  // as "5", at the shelf's position 3
        QVERIFY(readAll());
        rule->switchOn();
        after(0.1);
        QCOMPARE(after(0.1), kShelfOn);
        QCOMPARE(rule->lightID(), quint64(2));
        rule->switchOff();
        QCOMPARE(now(), QStringList{kShelfOff});
    }
};

ORVEL_TEST_MAIN(LightRuleTest)
#include "light_rule_test.moc"
