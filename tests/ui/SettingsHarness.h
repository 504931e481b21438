#pragma once

#include "support/FakeHueBridge.h"
#include "support/FakeMidi.h"

#include "controller/LightList.h"
#include "platform/MainQueue.h"
#include "platform/Preferences.h"
#include "ui/ContentView.h"

#include <functional>
#include <memory>

namespace orvel::test {

// The settings window over a real controller that talks to fake bridges, on a clock that moves
// only when told. The preferences store is a fresh one in `preferencesPath`.
class SettingsHarness {
public:
    static constexpr auto kHost = "10.0.0.2";

    explicit SettingsHarness(const QString& preferencesPath, LoadedNews* news = nullptr)
        : queue(clock)
    {
        Preferences::installStandard(std::make_unique<Preferences>(preferencesPath));
        helper = std::make_unique<LightList>(bridges, midi);
        view = std::make_unique<ContentView>(helper.get(), news);
    }

    // A colour light, a white light and a plug, in that order.
    static void threeKindsOfLights(FakeHueBridge& bridge)
    {
        bridge.addColorLight(QStringLiteral("Desk Lamp"), 8000, 140, 200);
        bridge.addWhiteLight(QStringLiteral("Hallway"), 180);
        bridge.addPlug(QStringLiteral("Fan Plug"));
    }

    // Starts the controller and lets discovery find the bridge, which knows our user name. When
    // this returns the rules exist, the light list is read and the start-up flash test is over.
    void connectBridge(std::function<void(FakeHueBridge&)> configure = threeKindsOfLights)
    {
        Preferences::standard().setText(QStringLiteral("hue_username"), QStringLiteral("orvel-user"));
        bridges->configure = std::move(configure);
        helper->setUp();
        bridges->delegate->foundHueAt(QString::fromLatin1(kHost), QString());
        clock.advance(3.0);
    }

    ManualClock clock;
    ScopedMainQueue queue;
    std::shared_ptr<FakeBridgeServices> bridges = std::make_shared<FakeBridgeServices>();
    std::shared_ptr<FakeMidiEndpoints> midi = std::make_shared<FakeMidiEndpoints>();
    std::unique_ptr<LightList> helper;
    std::unique_ptr<ContentView> view;
};

} // namespace orvel::test
