#pragma once

#include "support/FakeMidi.h"
#include "support/SimBridge.h"

#include "controller/LightList.h"
#include "platform/MainQueue.h"
#include "platform/Preferences.h"
#include "ui/ContentView.h"

#include <QTest>

#include <memory>

namespace orvel::test {

// A colour light, a white light and a plug, in that order.
inline const QByteArray kThreeKinds = R"({
  "1": {"name": "Desk Lamp", "type": "Extended color light",
        "state": {"on": true, "hue": 8000, "sat": 140, "bri": 200, "colormode": "hs"}},
  "2": {"name": "Hallway", "type": "Dimmable light", "state": {"on": true, "bri": 180}},
  "3": {"name": "Fan Plug", "type": "On/Off plug-in unit", "state": {"on": false}}})";

// The settings window over a real controller that talks HTTP to the bridge simulator on loopback,
// on a clock that moves only when told. The preferences store is a fresh one in `preferencesPath`.
class SettingsHarness {
public:
    explicit SettingsHarness(const QString& preferencesPath, LoadedNews* news = nullptr,
                             const QByteArray& lights = kThreeKinds, const sim::SimOptions& options = {})
        : queue(clock)
        , bridge(lights, options)
    {
        Preferences::installStandard(std::make_unique<Preferences>(preferencesPath));
        helper = std::make_unique<LightList>(bridges, midi);
        view = std::make_unique<ContentView>(helper.get(), news);
    }

    // Moves time on in steps shorter than any delay of the controller, the bridge answering between.
    void advance(double seconds) { bridges->advance(clock, seconds); }

    // Starts the controller and reports the bridge, which knows our user name. When this returns
    // the rules exist, the light list is read and the start-up flash test is over.
    void connectBridge()
    {
        Preferences::standard().setText(QStringLiteral("hue_username"), kSimUser);
        helper->setUp();
        bridges->delegate->foundHueAt(bridge.host(), QString());
        advance(3.0);
    }

    ManualClock clock;
    ScopedMainQueue queue;
    SimBridge bridge;
    std::shared_ptr<SimBridgeServices> bridges = std::make_shared<SimBridgeServices>();
    std::shared_ptr<FakeMidiEndpoints> midi = std::make_shared<FakeMidiEndpoints>();
    std::unique_ptr<LightList> helper;
    std::unique_ptr<ContentView> view;
};

} // namespace orvel::test
