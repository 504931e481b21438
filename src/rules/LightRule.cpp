#include "rules/LightRule.h"

#include "platform/Console.h"
#include "platform/MainQueue.h"
#include "platform/Preferences.h"

#include <algorithm>
#include <cmath>

namespace orvel {

namespace {

const QString kLightIndex = QStringLiteral("light_index");
const QString kOnHue = QStringLiteral("on_hue");
const QString kOnSaturation = QStringLiteral("on_saturation");
const QString kOnValue = QStringLiteral("on_value");
const QString kOnOn = QStringLiteral("on_on");
// The uniqueid of the chosen light, so that the rule can find its light again when positions move.
const QString kLightUniqueId = QStringLiteral("light_uid");

constexpr double kReadDelay = 0.1;
constexpr double kSettleDelay = 1.0;
constexpr double kBlinkDuration = 2.0;

bool isPlug(const HueLight& light)
{
    const auto type = light.type();
    return type && *type == plugTypeText();
}

std::optional<std::shared_ptr<HueLight>> lightAt(const HueBridgeClient* client, quint64 index)
{
    if (!client)
        return std::nullopt;
    const auto lights = client->lights();
    if (!lights || index >= lights->size())
        return std::nullopt;
    return (*lights)[static_cast<std::size_t>(index)];
}

} // namespace

namespace wire {

std::optional<quint16> hue(double value)
{
    if (!std::isfinite(value) || value == -1)
        return std::nullopt;
    return static_cast<quint16>(std::clamp(value, 0.0, 65535.0));
}

std::optional<quint8> eightBit(double value)
{
    if (!std::isfinite(value))
        return std::nullopt;
    return static_cast<quint8>(std::clamp(value, 0.0, 255.0));
}

int brightness(double value)
{
    if (!std::isfinite(value) || value == -1)
        return -1;
    return static_cast<int>(std::clamp(value, 0.0, 255.0));
}

} // namespace wire

std::shared_ptr<LightRule> LightRule::create(qint64 ruleID, std::shared_ptr<HueBridgeClient> lightsInterface)
{
    auto rule = std::make_shared<LightRule>(Private{}, ruleID, std::move(lightsInterface));
    rule->loadStoredSettings();
    return rule;
}

LightRule::LightRule(Private, qint64 ruleID, std::shared_ptr<HueBridgeClient> lightsInterface)
    : ruleID_(ruleID)
    , lightsInterface_(std::move(lightsInterface))
{}

LightRule::~LightRule() = default;

QString LightRule::key(qint64 ruleID, const QString& suffix)
{
    return QString::number(ruleID) + suffix;
}

// The order matters: choosing the light starts a blink whose deferred step runs after loading
// has finished, so it writes the loaded on state.
void LightRule::loadStoredSettings()
{
    auto& store = Preferences::standard();

    lightID_ = store.unsignedInteger(key(ruleID_, kLightIndex)).valueOr(kNoLight);
    if (const auto moved = storedPositionOfChosenLight())
        lightID_ = static_cast<quint64>(*moved);
    Q_EMIT changed();
    lightChanged();

    const double hue = store.real(key(ruleID_, kOnHue)).valueOr(-1);
    setOnHueDegrees(hue);
    if (hue != -1)
        baseHue_ = hue;

    setOnSaturation(store.real(key(ruleID_, kOnSaturation)).valueOr(255));
    setOnValue(store.real(key(ruleID_, kOnValue)).valueOr(255));
    setOnOn(store.boolean(key(ruleID_, kOnOn)).valueOr(true));
}

void LightRule::setRuleID(qint64 ruleID)
{
    auto& store = Preferences::standard();
    const auto uniqueId = store.text(key(ruleID_, kLightUniqueId));
    ruleID_ = ruleID;
    store.setInteger(key(ruleID_, kLightIndex), static_cast<qint64>(lightID_));
    store.setDouble(key(ruleID_, kOnHue), onHueDegrees_);
    store.setDouble(key(ruleID_, kOnSaturation), onSaturation_);
    store.setDouble(key(ruleID_, kOnValue), onValue_);
    store.setBool(key(ruleID_, kOnOn), onOn_);
    if (uniqueId.ok())
        store.setText(key(ruleID_, kLightUniqueId), uniqueId.value);
    else
        store.remove(key(ruleID_, kLightUniqueId));
}

void LightRule::forgetStoredSettings(qint64 ruleID)
{
    auto& store = Preferences::standard();
    for (const QString& suffix : {kLightIndex, kOnHue, kOnSaturation, kOnValue, kOnOn, kLightUniqueId})
        store.remove(key(ruleID, suffix));
}

void LightRule::setLightID(quint64 lightID)
{
    // The uniqueid stored belongs to the light chosen before: kept, it would move the rule back
    // to that light at the next start. lightChanged() stores the new light's, when it has one.
    Preferences::standard().remove(key(ruleID_, kLightUniqueId));
    lightID_ = lightID;
    Q_EMIT changed();
    lightChanged();
}

// The on state's numbers: stored, announced, and written under their key at once.
void LightRule::assignStored(double& field, const QString& suffix, double value)
{
    field = value;
    Q_EMIT changed();
    Preferences::standard().setDouble(key(ruleID_, suffix), value);
}

void LightRule::setOnHueDegrees(double hue)
{
    assignStored(onHueDegrees_, kOnHue, hue);
}

void LightRule::setOnSaturation(double saturation)
{
    assignStored(onSaturation_, kOnSaturation, saturation);
}

void LightRule::setOnValue(double value)
{
    assignStored(onValue_, kOnValue, value);
}

void LightRule::setOnOn(bool onOn)
{
    onOn_ = onOn;
    Q_EMIT changed();
    Preferences::standard().setBool(key(ruleID_, kOnOn), onOn);
}

void LightRule::setOn(bool on)
{
    on_ = on;
    Q_EMIT changed();
}

void LightRule::lightChanged()
{
    auto& store = Preferences::standard();
    store.setInteger(key(ruleID_, kLightIndex), static_cast<qint64>(lightID_));

    if (const auto light = lightAt(lightsInterface_.get(), lightID_)) {
        const auto type = (*light)->type();
        if (type)
            printLine(QStringLiteral("type of light %1 = %2").arg(lightID_).arg(*type));
        takeCapabilitiesOf(**light);
        Q_EMIT changed();
        const QString uniqueId = (*light)->uniqueId();
        if (!uniqueId.isEmpty())
            store.setText(key(ruleID_, kLightUniqueId), uniqueId);
    }
    blink();
}

std::optional<qint64> LightRule::storedPositionOfChosenLight() const
{
    const QString uniqueId = Preferences::standard().text(key(ruleID_, kLightUniqueId)).valueOr(QString());
    if (uniqueId.isEmpty() || !lightsInterface_)
        return std::nullopt;
    const auto lights = lightsInterface_->lights();
    if (!lights)
        return std::nullopt;
    if (lightID_ < lights->size() && (*lights)[static_cast<std::size_t>(lightID_)]->uniqueId() == uniqueId)
        return std::nullopt;
    for (std::size_t i = 0; i < lights->size(); ++i) {
        if ((*lights)[i]->uniqueId() == uniqueId)
            return static_cast<qint64>(i);
    }
    return std::nullopt; // the light is gone from the bridge: keep the position the user chose
}

bool LightRule::followLight()
{
    const auto moved = storedPositionOfChosenLight();
    if (!moved)
        return false;
    lightID_ = static_cast<quint64>(*moved);
    Preferences::standard().setInteger(key(ruleID_, kLightIndex), *moved);
    if (const auto light = lightAt(lightsInterface_.get(), lightID_))
        takeCapabilitiesOf(**light);
    Q_EMIT changed();
    return true;
}

// A chosen light can be switched on and off by the row; a plug has no colour to remember.
void LightRule::takeCapabilitiesOf(const HueLight& light)
{
    canControlOn_ = true;
    if (isPlug(light)) {
        baseValue_ = -1;
        baseHue_.reset();
        baseSaturation_.reset();
    }
}

void LightRule::switchOn()
{
    if (lightID_ == kNoLight || on_)
        return;
    const auto light = lightAt(lightsInterface_.get(), lightID_);
    if (!light)
        return;
    setOn(true);
    transitioning_ = true;
    const quint64 cycle = ++switchOnCycle_;
    (*light)->read();
    MainQueue::shared().after(kReadDelay, [self = shared_from_this(), light = *light, cycle] {
        // A step left from an earlier switch-on must not act for a later one: switched off and on
        // again within 0.1 s, the light would get the on state before its fresh read.
        if (cycle == self->switchOnCycle_)
            self->applyOnState(light);
    });
}

void LightRule::applyOnState(const std::shared_ptr<HueLight>& light)
{
    if (!transitioning_)
        return;

    // The bridge numbered its lights anew (a restart, a restore from backup): the fresh read shows
    // another light at this position. Its state is not ours to capture or to change; the chosen
    // light is read again where it went and switched on from there.
    const QString chosen = Preferences::standard().text(key(ruleID_, kLightUniqueId)).valueOr(QString());
    if (!chosen.isEmpty() && !light->uniqueId().isEmpty() && light->uniqueId() != chosen && followLight()) {
        if (const auto moved = lightAt(lightsInterface_.get(), lightID_)) {
            printLine(
                QStringLiteral("light %1 is the chosen light now; switching it on there").arg(lightID_));
            (*moved)->read();
            MainQueue::shared().after(kReadDelay,
                                      [self = shared_from_this(), light = *moved, cycle = switchOnCycle_] {
                                          if (cycle == self->switchOnCycle_)
                                              self->applyOnState(light);
                                      });
        }
        return;
    }

    const auto hue = light->hue();
    const bool alreadyShowsOnState =
        hue && static_cast<double>(*hue) == onHueDegrees_ && light->on() && !isPlug(*light);
    if (!alreadyShowsOnState) {
        captureBase(*light);
        setLight(lightID_, wire::hue(onHueDegrees_), wire::eightBit(onSaturation_),
                 wire::brightness(onValue_), onOn_);
    }
    // The settle step ends only its own switch-on. Left from an earlier cycle it would clear the
    // flag of a switch-on made within the second (a fast off/on from MIDI), and that switch-on's
    // deferred step would then send nothing: the light would stay dark while the rule is on.
    MainQueue::shared().after(kSettleDelay, [self = shared_from_this(), cycle = switchOnCycle_] {
        if (cycle == self->switchOnCycle_)
            self->transitioning_ = false;
    });
}

void LightRule::captureBase(const HueLight& light)
{
    if (!light.reachable())
        return;
    const auto hue = light.hue();
    const auto saturation = light.saturation();
    const auto brightness = light.brightness();
    baseHue_ = hue ? std::optional<double>(*hue) : std::nullopt;
    baseSaturation_ = saturation ? std::optional<double>(*saturation) : std::nullopt;
    baseValue_ = brightness ? *brightness : -1;
    baseOn_ = isPlug(light) ? !onOn_ : light.on();
    printLine(QStringLiteral("base on : ") + (baseOn_ ? QStringLiteral("true") : QStringLiteral("false")));
}

void LightRule::setLight(quint64 index, std::optional<quint16> hue, std::optional<quint8> saturation,
                         int brightness, bool on)
{
    const auto light = lightAt(lightsInterface_.get(), index);
    if (!light || !(*light)->reachable())
        return;
    HueLight& target = **light;
    target.setOn(on);
    target.write();
    if (!on)
        return;
    if (hue)
        target.setHue(*hue);
    if (saturation)
        target.setSaturation(*saturation);
    if (brightness != -1)
        target.setBrightness(static_cast<quint8>(brightness & 0xFF));
    target.write();
}

void LightRule::switchOff()
{
    if (!on_)
        return;
    transitioning_ = false;
    setOn(false);
    if (baseOn_) {
        setLight(lightID_, baseHue_ ? wire::hue(*baseHue_) : std::nullopt,
                 baseSaturation_ ? wire::eightBit(*baseSaturation_) : std::nullopt,
                 wire::brightness(baseValue_), true);
    } else {
        setLight(lightID_, std::nullopt, std::nullopt, -1, false);
    }
}

void LightRule::blink()
{
    switchOn();
    MainQueue::shared().after(kBlinkDuration, [self = shared_from_this()] { self->switchOff(); });
}

} // namespace orvel
