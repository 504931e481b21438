#pragma once

#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace orvel {

// One light of a Hue bridge. Values are the bridge's own: hue 0..65535, saturation and brightness
// 0..255 as the rules send them (the client maps them onto the wire ranges).
class HueLight {
public:
    virtual ~HueLight() = default;

    virtual QString name() const = 0;
    virtual std::optional<QString> type() const = 0; // absent when the bridge reports none
    virtual QString bridgeId() const = 0;            // the bridge's id for the light ("1", "14")
    virtual QString uniqueId() const = 0;            // the light's uniqueid ("" when unknown)
    virtual bool reachable() const = 0;
    virtual bool on() const = 0;
    virtual std::optional<int> hue() const = 0;
    virtual std::optional<int> saturation() const = 0;
    virtual std::optional<int> brightness() const = 0;

    // Refreshes this light from the bridge; callers look at it about 0.1 s later.
    virtual void read() = 0;

    // Stage a change; write() sends everything staged since the last write().
    virtual void setOn(bool on) = 0;
    virtual void setHue(quint16 hue) = 0;
    virtual void setSaturation(quint8 saturation) = 0;
    virtual void setBrightness(quint8 brightness) = 0;
    virtual void write() = 0;
};

using HueLightList = std::vector<std::shared_ptr<HueLight>>;

// One Hue bridge. Every completion runs on the main thread.
class HueBridgeClient {
public:
    virtual ~HueBridgeClient() = default;

    // Reads the bridge's configuration and lights. `done` runs once when the read is over,
    // successful or not; `error` is empty on success. Afterwards authenticated(), name(), host()
    // and lights() hold the result.
    using ReadCompletion = std::function<void(HueBridgeClient& client, const QString& error)>;
    virtual void readWithCompletion(ReadCompletion done) = 0;

    virtual bool authenticated() const = 0;

    // Asks the bridge for a new user name. It is granted once the link button was pressed;
    // username() then becomes non-empty, during the call or later.
    virtual void registerUsername() = 0;

    virtual QString username() const = 0;
    virtual QString name() const = 0;
    virtual QString host() const = 0;

    // Lights in a fixed order (the bridge's ids compared as numbers); absent before a read.
    // A light's position in this list is its identity everywhere in the program.
    virtual std::optional<HueLightList> lights() const = 0;
};

class HueDiscoveryDelegate {
public:
    virtual ~HueDiscoveryDelegate() = default;
    // A bridge was found at `host` ("192.168.1.20" or "127.0.0.1:8080"); each host is reported once.
    virtual void foundHueAt(const QString& host, const QString& discoveryLog) = 0;
};

class HueDiscovery {
public:
    virtual ~HueDiscovery() = default;
    // Searches for `seconds`, reporting bridges to the delegate as they are found; `done` runs
    // once at the end with a readable log of what was tried and found.
    virtual void discoverForDuration(int seconds, std::function<void(const QString& log)> done) = 0;
};

// What the controller needs to reach bridges; tests hand it fakes.
class HueBridgeServices {
public:
    virtual ~HueBridgeServices() = default;
    virtual std::shared_ptr<HueBridgeClient> makeClient(const QString& host, const QString& username) = 0;
    virtual std::unique_ptr<HueDiscovery> makeDiscovery(HueDiscoveryDelegate* delegate) = 0;
};

// The type text of on/off-only lights, compared exactly.
inline const QString& plugTypeText()
{
    static const QString text = QStringLiteral("On/Off plug-in unit");
    return text;
}

} // namespace orvel
