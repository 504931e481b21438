#include "platform/Console.h"
#include "platform/MainQueue.h"
#include "platform/Preferences.h"
#include "rules/LightRule.h"
#include "support/FakeHueBridge.h"
#include "support/TestMain.h"

#include <QSignalSpy>
#include <QTemporaryDir>

#include <cmath>
#include <limits>

using namespace orvel;
using orvel::test::FakeHueBridge;

class LightRuleTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<ManualClock> clock_;
    std::unique_ptr<ScopedMainQueue> scope_;
    std::shared_ptr<FakeHueBridge> bridge_;

    Preferences& store() { return Preferences::standard(); }

    // A bridge with a colour light, a white light, a plug and a second colour light.
    void setUpBridge()
    {
        bridge_ = std::make_shared<FakeHueBridge>();
        bridge_->addColorLight(QStringLiteral("Desk"), 8000, 140, 200, true);
        bridge_->addWhiteLight(QStringLiteral("Hall"), 120, false);
        bridge_->addPlug(QStringLiteral("Fan"), false);
        bridge_->addColorLight(QStringLiteral("Shelf"), 30000, 50, 90, false);
    }

    // A rule already settled on `light` with the given on state (the choosing blink played out).
    std::shared_ptr<LightRule> settledRule(quint64 light, double hue = 21845, double sat = 200,
                                           double bri = 255, bool onOn = true)
    {
        store().setInteger(QStringLiteral("0light_index"), static_cast<qint64>(light));
        store().setDouble(QStringLiteral("0on_hue"), hue);
        store().setDouble(QStringLiteral("0on_saturation"), sat);
        store().setDouble(QStringLiteral("0on_value"), bri);
        store().setBool(QStringLiteral("0on_on"), onOn);
        auto rule = LightRule::create(0, bridge_);
        clock_->advance(3.5);
        bridge_->writes.clear();
        return rule;
    }

private Q_SLOTS:
    void init()
    {
        dir_ = std::make_unique<QTemporaryDir>();
        Preferences::installStandard(std::make_unique<Preferences>(dir_->path() + "/preferences.json"));
        clock_ = std::make_unique<ManualClock>();
        scope_ = std::make_unique<ScopedMainQueue>(*clock_);
        setUpBridge();
    }

    void cleanup()
    {
        scope_.reset();
        Preferences::installStandard(nullptr);
    }

    void brandNewRuleWritesItsDefaults()
    {
        auto rule = LightRule::create(12, bridge_);
        QCOMPARE(rule->lightID(), quint64(255));
        QCOMPARE(rule->onHueDegrees(), -1.0);
        QCOMPARE(rule->onSaturation(), 255.0);
        QCOMPARE(rule->onValue(), 255.0);
        QCOMPARE(rule->onOn(), true);
        QCOMPARE(rule->baseHue(), std::nullopt);
        QCOMPARE(rule->baseValue(), -1.0);
        QCOMPARE(rule->canControlOn(), std::nullopt);

        QCOMPARE(store().integer("12light_index").value, qint64(255));
        QCOMPARE(store().real("12on_hue").value, -1.0);
        QCOMPARE(store().real("12on_saturation").value, 255.0);
        QCOMPARE(store().real("12on_value").value, 255.0);
        QCOMPARE(store().boolean("12on_on").value, true);
        QVERIFY(!store().contains("1on_hue")); // rule 12's keys never pass for rule 1's

        clock_->advance(5);
        QVERIFY(bridge_->writes.isEmpty()); // no light chosen: nothing is touched
    }

    void storedHueZeroIsARealHue()
    {
        store().setDouble("0on_hue", 0);
        store().setDouble("1on_hue", -1);
        store().setText("2on_hue", "not a number");
        QCOMPARE(LightRule::create(0, bridge_)->baseHue(), std::optional<double>(0));
        QCOMPARE(LightRule::create(1, bridge_)->baseHue(), std::nullopt);
        auto mistyped = LightRule::create(2, bridge_);
        QCOMPARE(mistyped->onHueDegrees(), -1.0);
        QCOMPARE(store().real("2on_hue").value, -1.0); // the default replaced the unusable value
    }

    void storedLightIsChosenWhenTheBridgeHasIt()
    {
        ConsoleCapture console;
        store().setInteger("0light_index", 3);
        auto rule = LightRule::create(0, bridge_);
        QCOMPARE(rule->lightID(), quint64(3));
        QCOMPARE(rule->canControlOn(), std::optional<bool>(true));
        QVERIFY(console.contains("type of light 3 = Extended color light"));

        store().setInteger("1light_index", 7);
        auto pastTheEnd = LightRule::create(1, bridge_);
        QCOMPARE(pastTheEnd->lightID(), quint64(7));
        QCOMPARE(pastTheEnd->canControlOn(), std::nullopt);
        QCOMPARE(store().integer("1light_index").value, qint64(7));
        bridge_->writes.clear();
        clock_->advance(0.1);
        for (const QString& write : bridge_->writes)
            QVERIFY(!write.startsWith("7"));
    }

    void choosingAPlugDropsColourAtOnce()
    {
        auto rule = settledRule(0);
        QVERIFY(rule->baseHue().has_value());
        rule->setLightID(2);
        QCOMPARE(rule->baseHue(), std::nullopt);
        QCOMPARE(rule->baseSaturation(), std::nullopt);
        QCOMPARE(rule->baseValue(), -1.0);
        QCOMPARE(rule->canControlOn(), std::optional<bool>(true));
    }

    void switchOnWritesOnFlagThenColour()
    {
        auto rule = settledRule(0, 21845.9, 200.7, 255);
        rule->switchOn();
        QVERIFY(rule->on());
        QVERIFY(rule->transitioning());
        QCOMPARE(bridge_->light(0)->reads, 2); // the choosing blink read once already
        QVERIFY(bridge_->writes.isEmpty());
        clock_->advance(0.1);
        QCOMPARE(bridge_->writes, (QStringList{"0 on=true", "0 hue=21845 sat=200 bri=255"}));
        QCOMPARE(rule->baseHue(), std::optional<double>(8000));
        QCOMPARE(rule->baseSaturation(), std::optional<double>(140));
        QCOMPARE(rule->baseValue(), 200.0);
        QVERIFY(rule->baseOn());
        clock_->advance(1.0);
        QVERIFY(!rule->transitioning());

        rule->switchOn(); // already on: nothing more
        clock_->advance(1);
        QCOMPARE(bridge_->writes.size(), 2);

        rule->switchOff();
        QCOMPARE(bridge_->writes.mid(2), (QStringList{"0 on=true", "0 hue=8000 sat=140 bri=200"}));
    }

    void switchOffBeforeTheDeferredStepSendsNoOnState()
    {
        auto rule = settledRule(3); // light 3 is off; the blink captured baseOn false
        rule->switchOn();
        rule->switchOff();
        clock_->advance(5);
        QCOMPARE(bridge_->writes, QStringList{"3 on=false"});
        QVERIFY(!rule->on());
    }

    void quickOffAndOnAgainStillReachesTheLight()
    {
        auto rule = settledRule(3);
        rule->switchOn(); // deferred step at 0.1, settle at 1.1
        clock_->advance(0.5);
        rule->switchOff();
        clock_->advance(0.55);
        bridge_->writes.clear();
        rule->switchOn(); // deferred step at 1.15, after the first cycle's settle
        clock_->advance(0.1);
        QCOMPARE(bridge_->writes, (QStringList{"3 on=true", "3 hue=21845 sat=200 bri=255"}));
        clock_->advance(0.95);
        QVERIFY(rule->transitioning()); // the earlier settle step did not end this switch-on
        clock_->advance(0.05);
        QVERIFY(!rule->transitioning());

        // Off and on within 0.1 s: only the second switch-on's step acts, once.
        rule->switchOff();
        bridge_->writes.clear();
        rule->switchOn();
        clock_->advance(0.05);
        rule->switchOff();
        rule->switchOn();
        clock_->advance(0.06);
        QCOMPARE(bridge_->writes, QStringList{"3 on=false"}); // the first step stood down
        clock_->advance(0.05);
        QCOMPARE(bridge_->writes.mid(1), (QStringList{"3 on=true", "3 hue=21845 sat=200 bri=255"}));
    }

    void lightAlreadyShowingTheOnStateIsLeftAlone()
    {
        auto rule = settledRule(0, 21845);
        bridge_->light(0)->hueValue = 21845;
        bridge_->light(0)->isOn = true;
        rule->switchOn();
        clock_->advance(0.1);
        QVERIFY(bridge_->writes.isEmpty());
        // The base fields still hold the older capture, which is what switch-off restores.
        rule->switchOff();
        QCOMPARE(bridge_->writes, (QStringList{"0 on=true", "0 hue=8000 sat=140 bri=200"}));
    }

    void onStateOffOnlySwitchesTheLightOff()
    {
        auto rule = settledRule(0, 21845, 200, 255, false);
        rule->switchOn();
        clock_->advance(0.1);
        QCOMPARE(bridge_->writes, QStringList{"0 on=false"});
        rule->switchOff();
        QCOMPARE(bridge_->writes.mid(1), (QStringList{"0 on=true", "0 hue=8000 sat=140 bri=200"}));
    }

    void lightWithoutBrightnessIsRestoredWithoutOne()
    {
        auto rule = settledRule(0);
        bridge_->light(0)->briValue.reset();
        rule->switchOn();
        clock_->advance(0.1);
        QCOMPARE(rule->baseValue(), -1.0);
        rule->switchOff();
        QCOMPARE(bridge_->writes.last(), QStringLiteral("0 hue=8000 sat=140"));
    }

    void plugFollowsItsOnStateWhateverItWas()
    {
        bridge_->light(2)->isOn = true;
        auto rule = settledRule(2);
        rule->switchOn();
        clock_->advance(0.1);
        QCOMPARE(bridge_->writes, (QStringList{"2 on=true", "2 hue=21845 sat=200 bri=255"}));
        QVERIFY(!rule->baseOn());
        rule->switchOff();
        QCOMPARE(bridge_->writes.last(), QStringLiteral("2 on=false"));
    }

    void choosingALightBlinksIt()
    {
        auto rule = settledRule(0);
        QSignalSpy spy(rule.get(), &LightRule::changed);
        rule->setLightID(3);
        QVERIFY(rule->on());
        clock_->advance(0.1);
        QCOMPARE(bridge_->writes, (QStringList{"3 on=true", "3 hue=21845 sat=200 bri=255"}));
        clock_->advance(1.85);
        QVERIFY(rule->on());
        clock_->advance(0.05);
        QVERIFY(!rule->on());
        QCOMPARE(bridge_->writes.last(), QStringLiteral("3 on=false"));
        QVERIFY(spy.count() >= 3); // the choice, on, off

        // blink() during an on state only ends it 2 s later.
        rule->switchOn();
        clock_->advance(1.5);
        bridge_->writes.clear();
        rule->blink();
        clock_->advance(2.0);
        QVERIFY(!rule->on());
        QCOMPARE(bridge_->writes, QStringList{"3 on=false"});
    }

    void unreachableLightIsSkipped()
    {
        auto rule = settledRule(0);
        bridge_->light(0)->isReachable = false;
        rule->switchOn();
        clock_->advance(2);
        rule->switchOff();
        QVERIFY(bridge_->writes.isEmpty());
        QVERIFY(!rule->on());
    }

    void valuesOutsideTheRangesNeverReachAnUnsignedConversion()
    {
        auto rule = settledRule(0, -1, 300, std::numeric_limits<double>::quiet_NaN());
        rule->switchOn();
        clock_->advance(0.1);
        QCOMPARE(bridge_->writes, (QStringList{"0 on=true", "0 sat=255"}));
        rule->switchOff();

        rule->setOnHueDegrees(70000);
        rule->setOnSaturation(-5);
        rule->setOnValue(-20);
        clock_->advance(2);
        bridge_->writes.clear();
        rule->switchOn();
        clock_->advance(0.1);
        QCOMPARE(bridge_->writes, (QStringList{"0 on=true", "0 hue=65535 sat=0 bri=0"}));
        QCOMPARE(wire::hue(std::numeric_limits<double>::infinity()), std::nullopt);
        QCOMPARE(wire::hue(-0.5), std::optional<quint16>(0));
        QCOMPARE(wire::brightness(255.0), 255);
    }

    void everyAssignmentNotifiesAndStores()
    {
        auto rule = settledRule(0);
        QSignalSpy spy(rule.get(), &LightRule::changed);
        rule->setOnSaturation(rule->onSaturation());
        rule->setOnOn(rule->onOn());
        QCOMPARE(spy.count(), 2);
        store().remove("0on_value");
        rule->setOnValue(rule->onValue());
        QCOMPARE(store().real("0on_value").value, 255.0);
    }

    void ruleFollowsItsLightWhenPositionsMove()
    {
        auto rule = settledRule(3);
        QCOMPARE(store().text("0light_uid").value, bridge_->light(3)->uniqueId());
        const auto shelf = bridge_->light(3);
        // A new light appears before the rule's light on the bridge.
        bridge_->insertLightAt(1, std::make_shared<test::FakeHueLight>(bridge_.get(), "9"));
        QVERIFY(rule->followLight());
        QCOMPARE(rule->lightID(), quint64(4));
        QCOMPARE(store().integer("0light_index").value, qint64(4));
        QVERIFY(!rule->followLight());
        clock_->advance(3);
        QVERIFY(bridge_->writes.isEmpty()); // silent: no blink

        // A restart finds it at its new place too, and blinks the right light.
        bridge_->removeLightAt(0);
        auto rebuilt = LightRule::create(0, bridge_);
        QCOMPARE(rebuilt->lightID(), quint64(3));
        clock_->advance(0.1);
        QCOMPARE(bridge_->writes.first(), QStringLiteral("3 on=true"));
        QCOMPARE(bridge_->light(3), shelf);

        // A light deleted from the bridge leaves the chosen position alone.
        bridge_->removeLightAt(3);
        QVERIFY(!rebuilt->followLight());
        QCOMPARE(rebuilt->lightID(), quint64(3));
    }

    // A bridge restored or restarted may give its lights new numbers: what a rule reads at its
    // position is then another light, which it must neither capture nor switch.
    void switchOnFollowsItsLightWhenTheBridgeRenumbersThem()
    {
        auto rule = settledRule(0, 21845, 200, 255);
        const auto desk = bridge_->light(0);
        const auto shelf = bridge_->light(3);
        std::swap(desk->uid, shelf->uid);
        std::swap(desk->isOn, shelf->isOn);
        std::swap(desk->hueValue, shelf->hueValue);
        std::swap(desk->satValue, shelf->satValue);
        std::swap(desk->briValue, shelf->briValue);

        rule->switchOn();
        clock_->advance(0.2);
        QCOMPARE(rule->lightID(), quint64(3));
        QCOMPARE(bridge_->writes, (QStringList{"3 on=true", "3 hue=21845 sat=200 bri=255"}));
        rule->switchOff();
        QCOMPARE(bridge_->writes.mid(2), (QStringList{"3 on=true", "3 hue=8000 sat=140 bri=200"}));
    }

    void pickingALightReplacesTheStoredUniqueId()
    {
        auto rule = settledRule(3);
        QVERIFY(!store().text("0light_uid").value.isEmpty());
        // The picked light reports no uniqueid: nothing may lead the next start back to light 3.
        bridge_->light(1)->uid.clear();
        rule->setLightID(1);
        QVERIFY(!store().text("0light_uid").ok());
        auto rebuilt = LightRule::create(0, bridge_);
        QCOMPARE(rebuilt->lightID(), quint64(1));

        rule->setLightID(0);
        QCOMPARE(store().text("0light_uid").value, bridge_->light(0)->uniqueId());
    }
};

ORVEL_TEST_MAIN(LightRuleTest)
#include "light_rule_test.moc"
