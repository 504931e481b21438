#pragma once

#include <QColor>
#include <QList>
#include <QPointF>
#include <QRectF>
#include <QSizeF>

#include <functional>
#include <optional>

class QPainter;

namespace orvel {

// Options of a value slider, a bit set over rawValue.
struct ValueSliderOptions {
    int rawValue = 0;

    // Makes the track itself draggable: a press anywhere on it moves the thumb there at once.
    static const ValueSliderOptions interactiveTrack;
    static const ValueSliderOptions defaultOptions;

    constexpr bool contains(ValueSliderOptions other) const
    {
        return (rawValue & other.rawValue) == other.rawValue;
    }
    friend constexpr ValueSliderOptions operator|(ValueSliderOptions a, ValueSliderOptions b)
    {
        return {a.rawValue | b.rawValue};
    }
    friend constexpr bool operator==(ValueSliderOptions a, ValueSliderOptions b) = default;
};

inline constexpr ValueSliderOptions ValueSliderOptions::interactiveTrack{1};
inline constexpr ValueSliderOptions ValueSliderOptions::defaultOptions{};

// What a slider hands to its style: the bound value, its range and step, the editing callback and
// the offset between pointer and thumb centre of the drag under way (absent between drags).
struct ValueSliderStyleConfiguration {
    std::function<double()> value;
    std::function<void(double)> setValue;
    double lower = 0;
    double upper = 1;
    double step = 1;
    std::function<void(bool)> onEditingChanged;
    std::optional<double> dragOffset;
};

// The round white knob with a soft shadow below it.
struct DefaultThumb {
    QColor fill = Qt::white;
    QColor shadowColor = QColor(0, 0, 0, 77); // 30 % black
    double shadowBlur = 2;
    QPointF shadowOffset{0, 1.5};

    // Paints the knob filling `frame` (a circle when the frame is square).
    void paint(QPainter& painter, const QRectF& frame) const;
};

// A bar filled with a left-to-right gradient of evenly spaced colours, centred vertically in the
// slider and as wide as the slider.
struct GradientTrack {
    QList<QColor> colors;
    double height = 15;
    double cornerRadius = 7;

    QRectF rect(const QSizeF& area) const;
    void paint(QPainter& painter, const QSizeF& area) const;
};

// Track colours of the settings window's three sliders.
QList<QColor> hueTrackColors();                                     // red, green, blue, red
QList<QColor> saturationTrackColors(double hue, double brightness); // both on 0..1
QList<QColor> brightnessTrackColors();                              // black to white

// Look and geometry of a horizontal value slider.
struct HorizontalValueSliderStyle {
    GradientTrack track;
    QSizeF thumbSize{16, 16};
    QSizeF thumbInteractiveSize{44, 44};
    ValueSliderOptions options = ValueSliderOptions::defaultOptions;
    DefaultThumb thumb;

    // Centre of the thumb in a slider of `area` size; x is not clamped to the track.
    QPointF thumbCenter(double value, double lower, double upper, const QSizeF& area) const;
    // The box around the thumb that takes presses.
    QRectF thumbInteractiveRect(double value, double lower, double upper, const QSizeF& area) const;
    // The value a drag with the thumb centre at x writes: mapped, snapped and clamped.
    double dragValue(double x, const ValueSliderStyleConfiguration& config, const QSizeF& area) const;

    void paint(QPainter& painter, const QSizeF& area, double value, double lower, double upper) const;
};

} // namespace orvel
