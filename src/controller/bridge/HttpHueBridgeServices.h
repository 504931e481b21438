#pragma once

#include "controller/bridge/HttpHueBridge.h"
#include "controller/bridge/HttpHueDiscovery.h"

namespace orvel {

// The real bridges on the network.
class HttpHueBridgeServices final : public HueBridgeServices {
public:
    explicit HttpHueBridgeServices(BridgeClientOptions client = {}, DiscoveryOptions discovery = {})
        : client_(client)
        , discovery_(std::move(discovery))
    {}

    std::shared_ptr<HueBridgeClient> makeClient(const QString& host, const QString& username) override
    {
        return HttpHueBridge::create(host, username, client_);
    }

    std::unique_ptr<HueDiscovery> makeDiscovery(HueDiscoveryDelegate* delegate) override
    {
        return std::make_unique<HttpHueDiscovery>(delegate, discovery_);
    }

private:
    BridgeClientOptions client_;
    DiscoveryOptions discovery_;
};

} // namespace orvel
