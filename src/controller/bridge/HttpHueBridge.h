#pragma once

#include "controller/bridge/BridgeLink.h"
#include "hue/HueBridge.h"
#include "hue/HueJson.h"

#include <map>
#include <memory>

namespace orvel {

namespace detail {
// What a client shares with its lights: the way to the bridge and the user name, which pairing may
// fill in after the lights exist.
struct BridgeSession {
    std::shared_ptr<BridgeLink> link;
    QString username;
};
} // namespace detail

// A light of a bridge reached over its REST API. Requests for one light go one after another, so
// the on flag and the colour of a switch-on reach the bridge in the order they were written.
class HttpHueLight final : public HueLight, public std::enable_shared_from_this<HttpHueLight> {
public:
    HttpHueLight(std::shared_ptr<detail::BridgeSession> session, hue::LightState state);

    QString name() const override { return state_.name; }
    std::optional<QString> type() const override { return state_.type; }
    QString bridgeId() const override { return state_.id; }
    QString uniqueId() const override { return state_.uniqueId; }
    bool reachable() const override { return state_.reachable; }
    bool on() const override { return state_.on; }
    std::optional<int> hue() const override { return state_.hue; }
    std::optional<int> saturation() const override { return state_.saturation; }
    std::optional<int> brightness() const override { return state_.brightness; }

    void read() override;

    void setOn(bool on) override { staged_.on = on; }
    void setHue(quint16 hue) override { staged_.hue = hue; }
    void setSaturation(quint8 saturation) override { staged_.saturation = saturation; }
    void setBrightness(quint8 brightness) override { staged_.brightness = brightness; }
    void write() override;

    // Takes fresh values from a read of the whole bridge; the id stays.
    void refresh(const hue::LightState& state);

private:
    // Sends a request about this light; its path is the part after /api/<user>/lights/<id>.
    void send(LinkRequest request);
    void applyWriteAnswer(const QString& what, const LinkReply& reply);

    std::shared_ptr<detail::BridgeSession> session_;
    hue::LightState state_;
    hue::StateChange staged_;
};

// One Hue bridge at `host` ("192.168.1.20" or "127.0.0.1:8080"), spoken to over HTTPS when it can,
// with its certificate checked against its bridge id, else over plain HTTP.
class HttpHueBridge final : public HueBridgeClient, public std::enable_shared_from_this<HttpHueBridge> {
    struct Token {};

public:
    static std::shared_ptr<HttpHueBridge> create(const QString& host, const QString& username,
                                                 const BridgeClientOptions& options = {});
    HttpHueBridge(Token, const QString& host, const QString& username, const BridgeClientOptions& options);

    void readWithCompletion(ReadCompletion done) override;
    bool authenticated() const override { return authenticated_; }
    void registerUsername() override;
    QString username() const override { return session_->username; }
    QString name() const override { return name_; }
    QString host() const override { return session_->link->host(); }
    std::optional<HueLightList> lights() const override { return lights_; }

    // The bridge's own id ("001788FFFE0A0B0C"), once it has answered.
    QString bridgeId() const { return session_->link->bridgeId(); }
    int pendingRequests() const { return session_->link->pendingRequests(); }
    int requestsOnTheWire() const { return session_->link->requestsOnTheWire(); }

private:
    struct Read;
    void finishRead(const std::shared_ptr<Read>& read);
    void takeLights(const std::vector<hue::LightState>& states);

    std::shared_ptr<detail::BridgeSession> session_;
    QString name_;
    bool authenticated_ = false;
    std::optional<HueLightList> lights_;
    // The light objects by bridge id: rules hold them, so a re-read updates them in place.
    std::map<QString, std::shared_ptr<HttpHueLight>> byId_;
    bool registering_ = false;
};

} // namespace orvel
