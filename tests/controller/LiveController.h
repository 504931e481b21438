#pragma once

#include "controller/LightList.h"
#include "controller/bridge/HttpHueBridgeServices.h"
#include "platform/Preferences.h"
#include "support/SimBridge.h"

#include <QRegularExpression>

#include <memory>

namespace orvel::test {

// A rule as the settings window stores it: the light's position and its on state.
inline void storeRule(qint64 id, qint64 light, double hue, double saturation = 255, double value = 255)
{
    Preferences& prefs = Preferences::standard();
    prefs.setInteger(LightRule::key(id, "light_index"), light);
    prefs.setDouble(LightRule::key(id, "on_hue"), hue);
    prefs.setDouble(LightRule::key(id, "on_saturation"), saturation);
    prefs.setDouble(LightRule::key(id, "on_value"), value);
}

// The services as shipped, with discovery kept to the given host: no multicast, no cloud.
inline std::shared_ptr<HttpHueBridgeServices> loopbackServices(BridgeClientOptions client = {})
{
    DiscoveryOptions discovery;
    discovery.useMdns = false;
    discovery.useCloud = false;
    return std::make_shared<HttpHueBridgeServices>(client, discovery);
}

// A controller set up for the bridge at `host` ("127.0.0.1:PORT").
inline std::unique_ptr<LightList> liveController(std::shared_ptr<HueBridgeServices> services,
                                                 std::shared_ptr<MidiEndpoints> midi, const QString& host)
{
    auto list = std::make_unique<LightList>(std::move(services), std::move(midi));
    list->setGivenBridgeHost(host);
    list->setUp();
    return list;
}

// The state writes one light got, in order (writes to different lights may overtake each other).
inline QStringList writesTo(const SimBridge& bridge, int light)
{
    return bridge.writes().filter(QRegularExpression(QStringLiteral("^%1 ").arg(light)));
}

} // namespace orvel::test
