#pragma once

#include "controller/bridge/HttpHueBridge.h"
#include "controller/bridge/HttpHueDiscovery.h"

#include <memory>
#include <vector>

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
        auto client = HttpHueBridge::create(host, username, client_);
        std::erase_if(clients_, [](const auto& weak) { return weak.expired(); });
        clients_.push_back(client);
        return client;
    }

    // Requests of all live clients not answered yet; quitting waits for the switch-off writes.
    int requestsInFlight() const { return sum(&HttpHueBridge::pendingRequests); }
    // Of those, the ones sent and not answered yet (not those waiting their turn or to be retried).
    int requestsOnTheWire() const { return sum(&HttpHueBridge::requestsOnTheWire); }

    std::unique_ptr<HueDiscovery> makeDiscovery(HueDiscoveryDelegate* delegate) override
    {
        return std::make_unique<HttpHueDiscovery>(delegate, discovery_);
    }

private:
    int sum(int (HttpHueBridge::*count)() const) const
    {
        int total = 0;
        for (const auto& weak : clients_) {
            if (const auto client = weak.lock())
                total += (*client.*count)();
        }
        return total;
    }

    BridgeClientOptions client_;
    DiscoveryOptions discovery_;
    std::vector<std::weak_ptr<HttpHueBridge>> clients_;
};

} // namespace orvel
