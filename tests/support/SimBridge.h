#pragma once

#include "BridgeSimulator.h"
#include "controller/bridge/HttpHueBridgeServices.h"
#include "platform/MainQueue.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <vector>

namespace orvel::test {

// The user name the simulated bridge has already paired.
inline const QString kSimUser = QStringLiteral("orvel-test-user");

// Desk (on), Shelf (off) and Hall (on), colour lights in the bridge's own /lights format.
extern const QByteArray kThreeLights;

// The bridge simulator on loopback, started with `lights` and kSimUser paired (unless `options`
// names another fixed user). The one fake bridge of the tests: clients reach it over real HTTP.
struct SimBridge {
    explicit SimBridge(const QByteArray& lights = kThreeLights, sim::SimOptions options = {});

    QString host() const { return sim.hostAndPort(); }
    // A real HTTP client for kSimUser that has read the bridge (null if the read failed).
    std::shared_ptr<HueBridgeClient> readClient(const BridgeClientOptions& options = {}) const;
    // Reads `client` and waits for the completion; returns the error text ("" on success).
    static QString read(HueBridgeClient& client, int timeoutMs = 8000);
    // "<light id> <body>" of every state write the bridge received, in order.
    QStringList writes() const;
    // How often the light alone was read (GET .../lights/<id>).
    int readsOf(const QString& lightId) const;

    sim::BridgeSimulator sim;
};

// Bridge services for a controller under test: clients are the real HTTP ones, discovery finds
// only what the test reports through `delegate` and ends when the test calls finishDiscovery().
class SimBridgeServices : public HueBridgeServices {
public:
    std::shared_ptr<HueBridgeClient> makeClient(const QString& host, const QString& username) override;
    std::unique_ptr<HueDiscovery> makeDiscovery(HueDiscoveryDelegate* delegate) override;

    int requestsInFlight() const { return http_.requestsInFlight(); }
    // Moves `clock` on in steps shorter than any delay of the program, letting every request reach
    // the bridge and its answer come back between steps.
    void advance(ManualClock& clock, double seconds);
    // Runs the pending discovery's completion, as the end of its search would.
    void finishDiscovery(const QString& log = {});

    std::vector<std::shared_ptr<HueBridgeClient>> clients; // every client made, oldest first
    HueDiscoveryDelegate* delegate = nullptr;              // of the last discovery made
    int discoveryDuration = -1; // seconds the last search was started for; -1 before any
    std::function<void(const QString&)> discoveryDone;

private:
    HttpHueBridgeServices http_;
};

} // namespace orvel::test
