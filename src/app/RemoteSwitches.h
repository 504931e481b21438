#pragma once

#include <QString>

#include <functional>
#include <optional>

namespace orvel {

class LightList;

// Sets "System Enabled" and "Always On" as asked on the command line, the way the user flips them in
// the settings window and within the same limits: "System Enabled" cannot change while "Always On"
// is on, and "Always On" needs "System Enabled" and a connected bridge, and waits for a flash test
// to end. "Always On" off is set first and "Always On" on last, so one request may do both.
// `done` is called once, perhaps later: whether all was set, and what happened or why not. With
// `waitForBridge` (switches given to a copy that is just starting) "Always On" waits for the
// bridge instead of being refused.
void setSwitches(LightList& lights, std::optional<bool> systemEnabled, std::optional<bool> alwaysOn,
                 bool waitForBridge, std::function<void(bool set, const QString& text)> done);

} // namespace orvel
