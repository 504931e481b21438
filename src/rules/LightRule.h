#pragma once

#include "hue/HueBridge.h"

#include <QObject>
#include <QString>

#include <memory>
#include <optional>

namespace orvel {

// One light rule: the light it drives, the state it puts that light into when the lights are
// switched on, and the state the light had before, to go back to when they are switched off.
// Every edit is stored at once under five keys prefixed with the rule's id.
//
// Rules are shared objects: delayed steps keep the rule alive until they have run, so a rule
// removed from the list in the meantime still finishes what it started.
class LightRule : public QObject, public std::enable_shared_from_this<LightRule> {
    Q_OBJECT
    struct Private {};

public:
    static constexpr quint64 kNoLight = 255;

    // Builds a rule and loads its stored settings. Loading selects the stored light, which
    // makes the rule blink once.
    static std::shared_ptr<LightRule> create(qint64 ruleID, std::shared_ptr<HueBridgeClient> lightsInterface);

    LightRule(Private, qint64 ruleID, std::shared_ptr<HueBridgeClient> lightsInterface);
    ~LightRule() override;

    // The key under which this rule keeps `suffix` ("light_index", "on_hue", ...).
    static QString key(qint64 ruleID, const QString& suffix);

    qint64 ruleID() const { return ruleID_; }
    // Gives the rule another id and writes its settings under that id's keys at once. The keys of
    // the old id are left as they are. The controller keeps ids equal to list positions with this.
    void setRuleID(qint64 ruleID);
    // Deletes every key kept under `ruleID`.
    static void forgetStoredSettings(qint64 ruleID);
    const std::shared_ptr<HueBridgeClient>& lightsInterface() const { return lightsInterface_; }

    // Published: every assignment stores the value, writes its key where it has one, and emits
    // changed(), even when the value is the same.
    bool on() const { return on_; }
    quint64 lightID() const { return lightID_; }
    void setLightID(quint64 lightID);
    double onHueDegrees() const { return onHueDegrees_; } // bridge hue units, -1 = never set
    void setOnHueDegrees(double hue);
    double onSaturation() const { return onSaturation_; }
    void setOnSaturation(double saturation);
    double onValue() const { return onValue_; }
    void setOnValue(double value);
    bool onOn() const { return onOn_; }
    void setOnOn(bool onOn);
    std::optional<bool> canControlOn() const { return canControlOn_; }

    // Unpublished.
    bool transitioning() const { return transitioning_; }
    std::optional<double> baseHue() const { return baseHue_; }
    std::optional<double> baseSaturation() const { return baseSaturation_; }
    double baseValue() const { return baseValue_; } // -1 = none known
    bool baseOn() const { return baseOn_; }

    // Puts the light into the on state: refreshes the light, and 0.1 s later remembers its state
    // and writes the on state.
    void switchOn();
    // Writes the remembered state back.
    void switchOff();
    // switchOn() now, switchOff() 2 s later.
    void blink();

    // The bridge's lights are addressed by position. When the light this rule last chose now sits
    // at another position (a light was added to or deleted from the bridge), the rule follows it
    // and stores the new position, without blinking. Returns true when the position changed.
    bool followLight();

Q_SIGNALS:
    void changed();

private:
    void loadStoredSettings();
    void lightChanged();
    void takeCapabilitiesOf(const HueLight& light);
    std::optional<qint64> storedPositionOfChosenLight() const;
    void applyOnState(const std::shared_ptr<HueLight>& light);
    void captureBase(const HueLight& light);
    void setLight(quint64 index, std::optional<quint16> hue, std::optional<quint8> saturation, int brightness,
                  bool on);
    void setOn(bool on);
    void assignStored(double& field, const QString& suffix, double value);

    qint64 ruleID_;
    bool on_ = false;
    bool transitioning_ = false;
    std::optional<double> baseHue_;
    std::optional<double> baseSaturation_;
    double baseValue_ = -1;
    bool baseOn_ = false;
    std::shared_ptr<HueBridgeClient> lightsInterface_;
    quint64 lightID_ = 0;
    double onHueDegrees_ = 0;
    double onSaturation_ = 255;
    double onValue_ = 255;
    bool onOn_ = true;
    std::optional<bool> canControlOn_;
    quint64 switchOnCycle_ = 0; // tells the delayed steps of one switch-on from those of the next
};

// What reaches a light. Values from the model are doubles that the editor keeps inside the
// light's ranges; anything else is made safe here instead of reaching an unsigned conversion.
namespace wire {
// -1 (never set) and non-finite values send no hue; others are clamped to 0..65535, truncated.
std::optional<quint16> hue(double value);
// Non-finite values send nothing; others are clamped to 0..255, truncated.
std::optional<quint8> eightBit(double value);
// -1 stays "none"; others are clamped to 0..255 and truncated; non-finite is "none" too.
int brightness(double value);
} // namespace wire

} // namespace orvel
