#pragma once

#include <QtGlobal>

// The arithmetic of the horizontal value slider, kept free of widgets so it can be checked by number.
// Positions are in points along the slider's width W; the thumb is thumbWidth wide and its centre
// travels from thumbWidth / 2 (value = lower) to W - thumbWidth / 2 (value = upper).
namespace orvel::slider {

// Thumb centre for a value. Not clamped: a value outside the range is drawn outside by the same
// proportion. An empty range puts the thumb at the lower end.
double thumbCenterX(double value, double lower, double upper, double width, double thumbWidth);

// The value a thumb centre at x stands for, neither snapped nor clamped. An empty travel (a slider no
// wider than its thumb) maps everything to lower.
double valueForX(double x, double lower, double upper, double width, double thumbWidth);

// Rounds to a multiple of step, halves away from zero. A step that is not positive leaves v as is.
double snap(double v, double step);

// Limits v to [lower, upper]; a value that is not a number becomes lower.
double clamp(double v, double lower, double upper);

// What a drag writes for a thumb centre at x: mapped, snapped, then clamped.
double dragValue(double x, double lower, double upper, double step, double width, double thumbWidth);

// Conversion of the integer form: truncation toward zero. Values with no 64-bit counterpart are
// pinned (NaN to 0, beyond the range to its nearest end) instead of being left undefined.
qint64 truncateToInteger(double v);

} // namespace orvel::slider
