#include "FakeHueBridge.h"

namespace orvel::test {

void FakeHueLight::write()
{
    QStringList parts;
    if (stagedOn) {
        isOn = *stagedOn;
        parts << QStringLiteral("on=%1").arg(*stagedOn ? QStringLiteral("true") : QStringLiteral("false"));
    }
    if (stagedHue) {
        hueValue = *stagedHue;
        parts << QStringLiteral("hue=%1").arg(*stagedHue);
    }
    if (stagedSat) {
        satValue = *stagedSat;
        parts << QStringLiteral("sat=%1").arg(*stagedSat);
    }
    if (stagedBri) {
        briValue = *stagedBri;
        parts << QStringLiteral("bri=%1").arg(*stagedBri);
    }
    stagedOn.reset();
    stagedHue.reset();
    stagedSat.reset();
    stagedBri.reset();
    bridge_->recordWrite(QString::number(bridge_->indexOf(this)) + QLatin1Char(' ') +
                         parts.join(QLatin1Char(' ')));
}

FakeHueBridge::FakeHueBridge(QString host, QString username)
    : host_(std::move(host))
    , username_(std::move(username))
{}

std::shared_ptr<FakeHueLight> FakeHueBridge::addColorLight(const QString& name, int hue, int sat, int bri,
                                                           bool on)
{
    auto light = std::make_shared<FakeHueLight>(this, QString::number(nextId_++));
    light->lightName = name;
    light->lightType = QStringLiteral("Extended color light");
    light->uid =
        QStringLiteral("00:17:88:01:00:00:00:%1-0b").arg(light->bridgeId().toInt(), 2, 10, QLatin1Char('0'));
    light->hueValue = hue;
    light->satValue = sat;
    light->briValue = bri;
    light->isOn = on;
    known_.push_back(light);
    if (!lights_)
        lights_.emplace();
    lights_->push_back(light);
    return light;
}

std::shared_ptr<FakeHueLight> FakeHueBridge::addWhiteLight(const QString& name, int bri, bool on)
{
    auto light = addColorLight(name, 0, 0, bri, on);
    light->lightType = QStringLiteral("Dimmable light");
    light->hueValue.reset();
    light->satValue.reset();
    return light;
}

std::shared_ptr<FakeHueLight> FakeHueBridge::addPlug(const QString& name, bool on)
{
    auto light = addColorLight(name, 0, 0, 0, on);
    light->lightType = plugTypeText();
    light->hueValue.reset();
    light->satValue.reset();
    light->briValue.reset();
    return light;
}

std::shared_ptr<FakeHueLight> FakeHueBridge::light(std::size_t index) const
{
    if (!lights_ || index >= lights_->size())
        return nullptr;
    return (*lights_)[index];
}

void FakeHueBridge::removeLightAt(std::size_t index)
{
    if (lights_ && index < lights_->size())
        lights_->erase(lights_->begin() + static_cast<std::ptrdiff_t>(index));
}

void FakeHueBridge::insertLightAt(std::size_t index, std::shared_ptr<FakeHueLight> light)
{
    if (!lights_)
        lights_.emplace();
    lights_->insert(lights_->begin() + static_cast<std::ptrdiff_t>(std::min(index, lights_->size())), light);
}

int FakeHueBridge::indexOf(const FakeHueLight* light) const
{
    if (!lights_)
        return -1;
    for (std::size_t i = 0; i < lights_->size(); ++i) {
        if ((*lights_)[i].get() == light)
            return static_cast<int>(i);
    }
    return -1;
}

void FakeHueBridge::readWithCompletion(ReadCompletion done)
{
    if (holdReads) {
        pending_.append(std::move(done));
        return;
    }
    finishRead(done);
}

void FakeHueBridge::completePendingReads()
{
    const auto pending = std::exchange(pending_, {});
    for (const auto& done : pending)
        finishRead(done);
}

void FakeHueBridge::finishRead(const ReadCompletion& done)
{
    authenticated_ = acceptsUsername && !username_.isEmpty();
    name_ = bridgeName;
    if (!lights_)
        lights_.emplace();
    done(*this, authenticated_ ? QString() : QStringLiteral("unauthorized user"));
}

void FakeHueBridge::registerUsername()
{
    ++registerCount;
    if (!grantOnRegister.isEmpty())
        username_ = grantOnRegister;
}

std::optional<HueLightList> FakeHueBridge::lights() const
{
    if (!lights_)
        return std::nullopt;
    return HueLightList(lights_->begin(), lights_->end());
}

std::shared_ptr<HueBridgeClient> FakeBridgeServices::makeClient(const QString& host, const QString& username)
{
    auto client = std::make_shared<FakeHueBridge>(host, username);
    if (configure)
        configure(*client);
    clients.push_back(client);
    return client;
}

namespace {

class FakeDiscovery : public HueDiscovery {
public:
    explicit FakeDiscovery(FakeBridgeServices* owner)
        : owner_(owner)
    {}
    void discoverForDuration(int seconds, std::function<void(const QString&)> done) override
    {
        owner_->discoveryDuration = seconds;
        owner_->discoveryDone = std::move(done);
    }

private:
    FakeBridgeServices* owner_;
};

} // namespace

std::unique_ptr<HueDiscovery> FakeBridgeServices::makeDiscovery(HueDiscoveryDelegate* delegate)
{
    this->delegate = delegate;
    return std::make_unique<FakeDiscovery>(this);
}

} // namespace orvel::test
