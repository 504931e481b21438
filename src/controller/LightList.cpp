#include "controller/LightList.h"

#include "app/Log.h"
#include "platform/Console.h"
#include "platform/Preferences.h"

#include <QStringList>

#include <algorithm>

namespace orvel {

namespace {

const QString kGlobalToggleKey = QStringLiteral("global_toggle");
const QString kUsernameKey = QStringLiteral("hue_username");
const QString kRuleCountKey = QStringLiteral("rule_count");
const QString kHostKey = QStringLiteral("host");

constexpr int kDiscoverySeconds = 20;
constexpr double kReconnectInterval = 10.0;
constexpr double kPairingInterval = 1.0;
constexpr double kLightReadDelay = 0.1;
constexpr double kThrottleStart = 2.0;
constexpr double kThrottleStep = 0.1;
constexpr qsizetype kRulesAtOnce = 5;
constexpr double kFlashOffDelay = 2.0;
constexpr double kFlashEndDelay = 2.5;
constexpr quint64 kDefaultRuleCount = 2;
// More rules than a bridge has lights make no sense; a bigger stored count is a damaged file, and
// building millions of rules from it would hang the program.
constexpr quint64 kMaxRuleCount = LightList::kMaxRules;

// The host a connection timer works for: nothing when its user info is not a text table, so
// that a stray timer does no harm.
std::optional<QString> hostFromUserInfo(const QVariant& userInfo)
{
    if (userInfo.typeId() != QMetaType::QVariantMap)
        return std::nullopt;
    const QVariantMap map = userInfo.toMap();
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        if (it.value().typeId() != QMetaType::QString)
            return std::nullopt;
    }
    return map.value(kHostKey, QStringLiteral("unknown")).toString();
}

} // namespace

LightList::LightList(std::shared_ptr<HueBridgeServices> bridges, std::shared_ptr<MidiEndpoints> midi,
                     QObject* parent)
    : QObject(parent)
    , bridges_(std::move(bridges))
    , midi_(std::move(midi))
    , triggerSettings_(MidiTriggerSettings::load())
{
    QStringList problems;
    learned_ = learnedFromJson(Preferences::standard().object(QStringLiteral("midi_learned")), &problems);
    if (learned_.size() > kMaxLearned)
        learned_.resize(kMaxLearned);
    for (const QString& problem : std::as_const(problems))
        printLine(problem);
    rebuildTriggers();
    setGlobalToggle(Preferences::standard().boolean(kGlobalToggleKey).valueOr(true));
}

LightList::~LightList()
{
    if (timer_)
        timer_->invalidate();
    midiListener_.reset();
    midiSender_.reset();
}

void LightList::setGivenBridgeHost(const QString& host)
{
    givenBridgeHost_ = host;
}

void LightList::setUp()
{
    writeLog(QStringLiteral("discovering Hue Bridges..."));
    hue_discover = bridges_->makeDiscovery(this);
    if (hue_discover) {
        hue_discover->discoverForDuration(kDiscoverySeconds, [](const QString& log) {
            writeLog(QStringLiteral("Hue Bridge discovery complete"));
            writeLog(log);
        });
    }
    if (!givenBridgeHost_.isEmpty())
        foundHueAt(givenBridgeHost_, QStringLiteral("bridge given at start: ") + givenBridgeHost_);

    setUpMidi();
}

// ---------------------------------------------------------------------------------------------
// Published properties

void LightList::setGlobalToggle(bool value)
{
    globalToggle_ = value;
    Q_EMIT changed();
    Preferences::standard().setBool(kGlobalToggleKey, value);
    if (value)
        blinkAll();
}

void LightList::setOverrideToggle(bool value)
{
    overrideToggle_ = value;
    Q_EMIT changed();
    if (value)
        rulesOn();
    else
        rulesOff();
}

void LightList::setStatusText(const QString& text)
{
    statusText_ = text;
    Q_EMIT changed();
}

void LightList::setOn(bool value)
{
    on_ = value;
    Q_EMIT changed();
}

void LightList::setBlinkingAll(bool value)
{
    blinkingAll_ = value;
    Q_EMIT changed();
}

// ---------------------------------------------------------------------------------------------
// Bridge discovery and connection

void LightList::foundHueAt(const QString& host, const QString& discoveryLog)
{
    Q_UNUSED(discoveryLog);
    if (host.isEmpty()) {
        printLine(QStringLiteral("ignoring a Hue Bridge reported without a host"));
        return;
    }
    // Discovery (or the given host and discovery both) may report a bridge again. Starting over
    // would put a second timer and a second client beside the first; once connected, a new
    // client would also leave the rules driving the old one.
    if (rulesBuilt_) {
        writeLog(
            QStringLiteral("Hue Bridge at %1 found, staying with the one at %2").arg(host, connectionHost_));
        return;
    }
    if (host == connectionHost_) {
        writeLog(QStringLiteral("Hue Bridge at %1 found again, already connecting").arg(host));
        return;
    }

    writeLog(QStringLiteral("Connecting to Hue Bridge at ") + host);
    setStatusText(QStringLiteral("Connecting to Hue Bridge at ") + host +
                  QStringLiteral("...\nIf this takes more than 30 seconds, please restart the app."));
    connectionHost_ = host;
    const QVariantMap userInfo{{kHostKey, host}};
    lightsInterface_ = bridges_->makeClient(host, username_);
    QPointer<LightList> self(this);
    lightsInterface_->readWithCompletion([self, host, userInfo](HueBridgeClient&, const QString&) {
        // A later report took over in the meantime: its own read goes on from here.
        if (self && self->connectionHost_ == host)
            self->startPairing(host, userInfo);
    });
}

void LightList::startPairing(const QString& host, const QVariantMap& userInfo)
{
    if (rulesBuilt_)
        return;
    username_ = Preferences::standard().text(kUsernameKey).valueOr(QString());
    if (!username_.isEmpty()) {
        writeLog(QStringLiteral("loaded username ") + username_);
        startTimer(kReconnectInterval, userInfo, &LightList::connectHueTimerWithTimer);
    } else {
        writeLog(QStringLiteral("no stored username, performing first-time setup..."));
        setStatusText(
            QStringLiteral("Connecting to a new Hue Bridge at ") + host +
            QStringLiteral(". Ensure that all Bridge lights are on and press the Bridge's button to "
                           "connect."));
        startTimer(kPairingInterval, userInfo, &LightList::connectHueFirstTimerWithTimer);
    }
}

void LightList::startTimer(double interval, const QVariantMap& userInfo,
                           void (LightList::*target)(RepeatingTimer&))
{
    // Only one connection attempt runs at a time.
    if (timer_)
        timer_->invalidate();
    QPointer<LightList> self(this);
    timer_ = MainQueue::shared().scheduleRepeating(interval, QVariant(userInfo),
                                                   [self, target](RepeatingTimer& t) {
                                                       if (self)
                                                           (self.data()->*target)(t);
                                                   });
    // The tick may stop the timer and replace timer_; keep it alive through the first tick.
    const auto timer = timer_;
    timer->fire();
}

void LightList::connectHueTimerWithTimer(RepeatingTimer& timer)
{
    const auto host = hostFromUserInfo(timer.userInfo());
    if (!host)
        return;
    connectHue(*host);
}

void LightList::connectHueFirstTimerWithTimer(RepeatingTimer& timer)
{
    const auto host = hostFromUserInfo(timer.userInfo());
    if (!host)
        return;
    if (attemptRegistration()) {
        printLine(QStringLiteral("success!"));
        timer.invalidate();
        connectHue(*host);
    } else {
        printLine(QStringLiteral("failure"));
    }
}

void LightList::connectHue(const QString& host)
{
    lightsInterface_ = bridges_->makeClient(host, username_);
    QPointer<LightList> self(this);
    lightsInterface_->readWithCompletion([self](HueBridgeClient&, const QString&) {
        if (!self || !self->lightsInterface_ || !self->lightsInterface_->authenticated())
            return;
        if (self->timer_)
            self->timer_->invalidate();
        self->hueConnected();
    });
}

bool LightList::attemptRegistration()
{
    printLine(QStringLiteral("attempt once"));
    if (!lightsInterface_)
        return false;
    lightsInterface_->registerUsername();
    const QString granted = lightsInterface_->username();
    if (granted.isEmpty())
        return false;
    printLine(QStringLiteral("got new username: ") + granted);
    Preferences::standard().setText(kUsernameKey, granted);
    username_ = granted;
    return true;
}

void LightList::hueConnected()
{
    if (!lightsInterface_)
        return;
    const auto lights = lightsInterface_->lights();
    if (lights) {
        QStringList names;
        for (std::size_t i = 0; i < lights->size(); ++i)
            names << QStringLiteral("%1 \"%2\"").arg(i).arg((*lights)[i]->name());
        printLine(QStringLiteral("lights: [") + names.join(QStringLiteral(", ")) + QLatin1Char(']'));
    } else {
        printLine(QStringLiteral("no lights"));
    }

    setStatusText(QStringLiteral("Connected to Hue Bridge '") + lightsInterface_->name() +
                  QStringLiteral("' at ") + lightsInterface_->host());
    refreshLights();

    // Every authenticated read lands here; the rules belong to the connection, not to the read.
    if (!rulesBuilt_) {
        rulesBuilt_ = true;
        buildRules();
    }
}

void LightList::buildRules()
{
    quint64 count = Preferences::standard().unsignedInteger(kRuleCountKey).valueOr(kDefaultRuleCount);
    if (count > kMaxRuleCount) {
        printLine(QStringLiteral("stored rule_count %1 is more than %2; building %2 rules")
                      .arg(count)
                      .arg(kMaxRuleCount));
        count = kMaxRuleCount;
    }
    for (quint64 i = 0; i < count; ++i) {
        lightRules_.append(LightRule::create(lightRules_.size(), lightsInterface_));
        Q_EMIT changed();
    }
}

void LightList::refreshLights()
{
    availableLights_.clear();
    Q_EMIT changed();
    if (!lightsInterface_)
        return;

    const quint64 generation = ++refreshGeneration_;
    QPointer<LightList> self(this);
    const auto lights = lightsInterface_->lights();
    if (lights) {
        for (std::size_t i = 0; i < lights->size(); ++i) {
            const auto light = (*lights)[i];
            const QString name = light->name();
            light->read();
            MainQueue::shared().after(kLightReadDelay, [self, generation, light, i, name] {
                // A newer refresh emptied the list after this one was started; it fills it itself.
                if (!self || self->refreshGeneration_ != generation)
                    return;
                QString shown = name;
                if (!light->reachable())
                    shown += QStringLiteral(" (unreachable)");
                self->availableLights_.append(LightOption{static_cast<quint64>(i), shown});
                Q_EMIT self->changed();
            });
        }
    }

    // Lights are addressed by position, and positions move when lights are added to or deleted
    // from the bridge: every rule finds its own light again.
    for (const auto& rule : std::as_const(lightRules_))
        rule->followLight();
}

void LightList::rulesOn()
{
    switchAll(true);
}

void LightList::rulesOff()
{
    switchAll(false);
}

void LightList::switchAll(bool on)
{
    setOn(on);
    onByMidi_ = false;
    if (!globalToggle_ || !lightsInterface_)
        return;
    // A bridge takes only so many writes a second: the first rules go at once, the rest follow
    // one by one after a pause.
    for (qsizetype i = 0; i < lightRules_.size(); ++i) {
        const auto rule = lightRules_[i];
        if (i < kRulesAtOnce) {
            on ? rule->switchOn() : rule->switchOff();
        } else {
            MainQueue::shared().after(kThrottleStart + kThrottleStep * static_cast<double>(i),
                                      [rule, on] { on ? rule->switchOn() : rule->switchOff(); });
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Rule list

void LightList::addRule()
{
    const qsizetype count = lightRules_.size();
    if (!canAddRule()) {
        printLine(QStringLiteral("not adding a rule: there are already %1, the most a start reads back")
                      .arg(count));
        return;
    }
    lightRules_.append(LightRule::create(count, lightsInterface_));
    Q_EMIT changed();
    printLine(QStringLiteral("added rule. Now there are ") + QString::number(count + 1));
    Preferences::standard().setInteger(kRuleCountKey, count + 1);
}

void LightList::removeRule(qint64 index)
{
    const qsizetype count = lightRules_.size();
    if (count <= 1)
        return;
    if (index < 0 || index >= count) {
        printLine(QStringLiteral("no rule at position %1 to remove; there are %2").arg(index).arg(count));
        return;
    }
    lightRules_.removeAt(index);

    // A restart builds the rules 0 to rule_count - 1 from their keys, and a new rule takes the
    // next number: so ids must stay the positions. The rules after the removed one move down by
    // one, taking their settings with them. The top number is then free; its keys only copy a
    // live rule's, and a rule added later must not inherit them.
    for (qsizetype i = index; i < lightRules_.size(); ++i)
        lightRules_[i]->setRuleID(i);
    if (index < lightRules_.size())
        LightRule::forgetStoredSettings(count - 1);

    Q_EMIT changed();
    printLine(QStringLiteral("removed rule. Now there are ") + QString::number(lightRules_.size()));
    Preferences::standard().setInteger(kRuleCountKey, lightRules_.size());
}

void LightList::blinkAll()
{
    if (blinkingAll_)
        return;
    setBlinkingAll(true);
    for (const auto& rule : std::as_const(lightRules_)) {
        rule->switchOn();
        MainQueue::shared().after(kFlashOffDelay, [rule] { rule->switchOff(); });
    }
    QPointer<LightList> self(this);
    MainQueue::shared().after(kFlashEndDelay, [self] {
        if (!self)
            return;
        self->rulesOff();
        self->setBlinkingAll(false);
        // Its rulesOff() also puts back what MIDI switched on meanwhile: say when it happened.
        printLine(QStringLiteral("flash test over"));
    });
}

} // namespace orvel
