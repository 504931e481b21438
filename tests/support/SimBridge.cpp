#include "support/SimBridge.h"

#include <QRegularExpression>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <optional>

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
    return read(*client, 5000).isEmpty() ? client : nullptr;
}

QString SimBridge::read(HueBridgeClient& client, int timeoutMs)
{
    std::optional<QString> result;
    client.readWithCompletion([&](HueBridgeClient&, const QString& error) { result = error; });
    (void)QTest::qWaitFor([&] { return result.has_value(); }, timeoutMs);
    return result.value_or(QStringLiteral("<no completion>"));
}

QStringList SimBridge::writes() const
{
    static const QRegularExpression statePath(QStringLiteral("^/api/[^/]+/lights/([^/]+)/state$"));
    QStringList lines;
    for (const auto& request : sim.requests()) {
        if (const auto match = statePath.match(request.path); match.hasMatch() && request.method == "PUT")
            lines << match.captured(1) + QLatin1Char(' ') + QString::fromUtf8(request.body);
    }
    return lines;
}

int SimBridge::readsOf(const QString& lightId) const
{
    const auto requests = sim.requests();
    return int(std::count_if(requests.cbegin(), requests.cend(), [&](const sim::RecordedRequest& r) {
        return r.method == QLatin1String("GET") && r.path.endsWith(QLatin1String("/lights/") + lightId);
    }));
}

std::shared_ptr<HueBridgeClient> SimBridgeServices::makeClient(const QString& host, const QString& username)
{
    auto client = http_.makeClient(host, username);
    clients.push_back(client);
    return client;
}

namespace {

struct TestDrivenDiscovery : HueDiscovery {
    explicit TestDrivenDiscovery(SimBridgeServices* owner)
        : owner(owner)
    {}
    void discoverForDuration(int seconds, std::function<void(const QString&)> done) override
    {
        owner->discoveryDuration = seconds;
        owner->discoveryDone = std::move(done);
    }
    SimBridgeServices* owner;
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
