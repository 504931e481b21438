#pragma once

#include "support/ControllerHarness.h"

#include "ui/ContentView.h"

namespace orvel::test {

// A colour light, a white light and a plug, in that order.
inline const QByteArray kThreeKinds = R"({
  "1": {"name": "Desk Lamp", "type": "Extended color light",
        "state": {"on": true, "hue": 8000, "sat": 140, "bri": 200, "colormode": "hs"}},
  "2": {"name": "Hallway", "type": "Dimmable light", "state": {"on": true, "bri": 180}},
  "3": {"name": "Fan Plug", "type": "On/Off plug-in unit", "state": {"on": false}}})";

// The settings window over the controller harness's real controller; connect() leaves the rules
// made, the light list read and the start-up flash test over.
struct SettingsHarness : ControllerHarness {
    explicit SettingsHarness(LoadedNews* news = nullptr, const QByteArray& lights = kThreeKinds,
                             const sim::SimOptions& options = {})
        : ControllerHarness(lights, options)
    {
        create();
        view = std::make_unique<ContentView>(list.get(), news);
    }

    std::unique_ptr<ContentView> view;
};

} // namespace orvel::test
