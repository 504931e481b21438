#pragma once

#include <QColor>
#include <QIcon>

namespace orvel {

// What the tray icon shows.
enum class TrayState {
    Normal,       // connected, lights as they were
    LightsOn,     // the rules have switched their lights on: the bulb takes their colour
    NotConnected, // no bridge yet, or pairing: dimmed
};

// The tray icon for `state`: a flat bulb with a dark outline around a light body, so that it reads
// on dark and light panels alike. The normal icon is taken from the icon theme when it has one
// named "<app id>-tray"; the drawn one is the fallback. `colour` is used for LightsOn.
QIcon trayIcon(TrayState state, const QColor& colour = {});

// The colour a rule's on-state shows: bridge hue units (0..65535, negative when never set),
// saturation and value 0..254.
QColor ruleColour(double hue, double saturation, double value);

} // namespace orvel
