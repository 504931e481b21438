#pragma once

#include "controller/bridge/BridgeLink.h"
#include "hue/HueBridge.h"

#include <QHostAddress>
#include <QStringList>
#include <QUrl>

#include <memory>
#include <vector>

namespace orvel {

// Where discovery looks. The defaults are the real ones; tests point everything at loopback.
struct DiscoveryOptions {
    bool useMdns = true;
    QHostAddress mdnsAddress = QHostAddress(QStringLiteral("224.0.0.251"));
    quint16 mdnsPort = 5353;
    double mdnsRepeatSeconds = 2.0; // the question is asked again once, after this long

    bool useCloud = true;
    QUrl cloudUrl = QUrl(QStringLiteral("https://discovery.meethue.com/"));

    QStringList hosts; // hosts the user named; each is checked like any other candidate

    int timeoutMs = 4000;      // for the cloud lookup
    BridgeClientOptions check; // how a candidate's /api/config is fetched
};

// Finds bridges by mDNS (_hue._tcp.local), the vendor's cloud lookup and hosts the user gave, all at
// once. A candidate is reported only after it answered GET /api/config with a bridge id, and each
// bridge once, however many ways found it.
class HttpHueDiscovery final : public HueDiscovery {
public:
    explicit HttpHueDiscovery(HueDiscoveryDelegate* delegate, DiscoveryOptions options = {});
    ~HttpHueDiscovery() override;

    void discoverForDuration(int seconds, std::function<void(const QString& log)> done) override;

    class Run;

private:
    HueDiscoveryDelegate* delegate_;
    DiscoveryOptions options_;
    std::vector<std::shared_ptr<Run>> runs_;
};

} // namespace orvel
