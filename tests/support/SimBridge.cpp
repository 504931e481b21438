#include "support/SimBridge.h"

#include <QTest>

#include <algorithm>
#include <cmath>

namespace orvel::test {

const QByteArray kThreeLights = R"({
  "1": {"name": "Desk", "type": "Extended color light", "uniqueid": "00:17:88:01:00:00:00:01-0b",
        "state": {"on": true, "hue": 8000, "sat": 140, "bri": 200, "colormode": "hs"}},
  "2": {"name": "Shelf", "type": "Extended color light", "uniqueid": "00:17:88:01:00:00:00:02-0b",
        "state": {"on": false, "hue": 30000, "sat": 100, "bri": 150, "colormode": "hs"}},
  "3": {"name": "Hall", "type": "Extended color light", "uniqueid": "00:17:88:01:00:00:00:03-0b",
        "state": {"on": true, "hue": 46000, "sat": 254, "bri": 254, "colormode": "hs"}}
})";

SimBridge::SimBridge(const QByteArray& lights, sim::SimOptions options)
{
    options.lightsJson = lights;
    if (options.fixedUser.isEmpty())
        options.fixedUser = kSimUser;
    QString error;
    if (!sim.start(options, &error))
        qFatal("bridge simulator: %s", qPrintable(error));
}

std::shared_ptr<HueBridgeClient> SimBridge::readClient(const BridgeClientOptions& options) const
{
    auto client = HttpHueBridge::create(host(), kSimUser, options);
    bool done = false, ok = false;
    client->readWithCompletion([&](HueBridgeClient&, const QString& error) {
        done = true;
        ok = error.isEmpty();
    });
    if (!QTest::qWaitFor([&] { return done; }, 5000) || !ok)
        return nullptr;
    return client;
}

QStringList SimBridge::writes() const
{
    QStringList lines;
    for (const auto& request : sim.requests()) {
        const QStringList path = request.path.split(QLatin1Char('/'));
        // "", "api", user, "lights", id, "state"
        if (request.method == QLatin1String("PUT") && path.size() == 6 &&
            path[3] == QLatin1String("lights") && path[5] == QLatin1String("state"))
            lines << path[4] + QLatin1Char(' ') + QString::fromUtf8(request.body);
    }
    return lines;
}

int SimBridge::readsOf(const QString& lightId) const
{
    int reads = 0;
    for (const auto& request : sim.requests()) {
        if (request.method == QLatin1String("GET") &&
            request.path.endsWith(QLatin1String("/lights/") + lightId))
            ++reads;
    }
    return reads;
}

std::shared_ptr<HueBridgeClient> SimBridgeServices::makeClient(const QString& host, const QString& username)
{
    auto client = http_.makeClient(host, username);
    clients.push_back(client);
    return client;
}

namespace {

class TestDrivenDiscovery : public HueDiscovery {
public:
    explicit TestDrivenDiscovery(SimBridgeServices* owner)
        : owner_(owner)
    {}
    void discoverForDuration(int seconds, std::function<void(const QString&)> done) override
    {
        owner_->discoveryDuration = seconds;
        owner_->discoveryDone = std::move(done);
    }

private:
    SimBridgeServices* owner_;
};

} // namespace

std::unique_ptr<HueDiscovery> SimBridgeServices::makeDiscovery(HueDiscoveryDelegate* delegate)
{
    this->delegate = delegate;
    return std::make_unique<TestDrivenDiscovery>(this);
}

void SimBridgeServices::advance(ManualClock& clock, double seconds)
{
    const auto settle = [&] {
        int rounds = 0; // an answer may make a step due at once, and that step send a request
        do {
            (void)QTest::qWaitFor([this] { return requestsInFlight() == 0; }, 2000);
            clock.runDue();
        } while (requestsInFlight() > 0 && ++rounds < 3);
    };
    settle();
    for (qint64 us = std::llround(seconds * 1e6); us > 0; us -= 50000) {
        clock.advance(double(std::min<qint64>(us, 50000)) / 1e6);
        settle();
    }
}

void SimBridgeServices::finishDiscovery(const QString& log)
{
    if (auto done = std::exchange(discoveryDone, {}))
        done(log);
}

} // namespace orvel::test
