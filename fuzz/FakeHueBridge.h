#pragma once

#include "hue/HueBridge.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

// A bridge held in memory for the MIDI fuzz target; the tests use the bridge simulator instead.
namespace orvel::test {

class FakeHueBridge;

// A light that behaves like a bridge's: write() applies what was staged, and every write is
// recorded on its bridge as text such as "2 on=true" or "2 hue=100 sat=200 bri=255".
class FakeHueLight : public HueLight {
public:
    FakeHueLight(FakeHueBridge* bridge, QString id)
        : bridge_(bridge)
        , id_(std::move(id))
    {}

    QString name() const override { return lightName; }
    std::optional<QString> type() const override { return lightType; }
    QString bridgeId() const override { return id_; }
    QString uniqueId() const override { return uid; }
    bool reachable() const override { return isReachable; }
    bool on() const override { return isOn; }
    std::optional<int> hue() const override { return hueValue; }
    std::optional<int> saturation() const override { return satValue; }
    std::optional<int> brightness() const override { return briValue; }

    void read() override { ++reads; }
    void setOn(bool on) override { stagedOn = on; }
    void setHue(quint16 hue) override { stagedHue = hue; }
    void setSaturation(quint8 saturation) override { stagedSat = saturation; }
    void setBrightness(quint8 brightness) override { stagedBri = brightness; }
    void write() override;

    QString lightName;
    std::optional<QString> lightType;
    QString uid;
    bool isReachable = true;
    bool isOn = false;
    std::optional<int> hueValue;
    std::optional<int> satValue;
    std::optional<int> briValue;
    int reads = 0;

private:
    FakeHueBridge* bridge_;
    QString id_;
    std::optional<bool> stagedOn;
    std::optional<int> stagedHue, stagedSat, stagedBri;
};

class FakeHueBridge : public HueBridgeClient {
public:
    explicit FakeHueBridge(QString host = QStringLiteral("10.0.0.2"), QString username = {});

    // Light kinds as real bridges report them.
    std::shared_ptr<FakeHueLight> addColorLight(const QString& name, int hue = 8000, int sat = 140,
                                                int bri = 200, bool on = true);
    std::shared_ptr<FakeHueLight> addWhiteLight(const QString& name, int bri = 200, bool on = true);
    std::shared_ptr<FakeHueLight> addPlug(const QString& name, bool on = false);
    std::shared_ptr<FakeHueLight> light(std::size_t index) const;
    void removeLightAt(std::size_t index);
    void insertLightAt(std::size_t index, std::shared_ptr<FakeHueLight> light);

    // HueBridgeClient
    void readWithCompletion(ReadCompletion done) override;
    bool authenticated() const override { return authenticated_; }
    void registerUsername() override;
    QString username() const override { return username_; }
    QString name() const override { return name_; }
    QString host() const override { return host_; }
    std::optional<HueLightList> lights() const override;

    // Test controls.
    bool acceptsUsername = true; // a read with a non-empty user name authenticates
    bool holdReads = false;      // reads wait until completePendingReads()
    QString grantOnRegister;     // the user name the next registerUsername() grants ("" = refuse)
    QString bridgeName = QStringLiteral("Fake Bridge");
    int registerCount = 0;
    void completePendingReads();

    QStringList writes; // every write, in order
    void recordWrite(const QString& line) { writes.append(line); }
    int indexOf(const FakeHueLight* light) const;

private:
    void finishRead(const ReadCompletion& done);

    QString host_;
    QString username_;
    QString name_;
    bool authenticated_ = false;
    std::optional<std::vector<std::shared_ptr<FakeHueLight>>> lights_;
    std::vector<std::shared_ptr<FakeHueLight>> known_;
    QList<ReadCompletion> pending_;
    int nextId_ = 1;
};

// Hands out fake bridges and a discovery the test drives by hand.
class FakeBridgeServices : public HueBridgeServices {
public:
    // Called for every client the controller makes; the test sets the bridge up here.
    std::function<void(FakeHueBridge&)> configure;
    std::vector<std::shared_ptr<FakeHueBridge>> clients;
    HueDiscoveryDelegate* delegate = nullptr;
    int discoveryDuration = -1;
    std::function<void(const QString&)> discoveryDone;

    std::shared_ptr<HueBridgeClient> makeClient(const QString& host, const QString& username) override;
    std::unique_ptr<HueDiscovery> makeDiscovery(HueDiscoveryDelegate* delegate) override;
    std::shared_ptr<FakeHueBridge> latest() const { return clients.empty() ? nullptr : clients.back(); }
};

} // namespace orvel::test
