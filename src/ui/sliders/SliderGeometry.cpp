#include "SliderGeometry.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace orvel::slider {

double thumbCenterX(double value, double lower, double upper, double width, double thumbWidth)
{
    const double range = upper - lower;
    const double t = range != 0 ? (value - lower) / range : 0.0;
    return thumbWidth / 2 + t * (width - thumbWidth);
}

double valueForX(double x, double lower, double upper, double width, double thumbWidth)
{
    const double travel = width - thumbWidth;
    if (!(travel > 0))
        return lower;
    const double r = (x - thumbWidth / 2) / travel;
    return lower + r * (upper - lower);
}

double snap(double v, double step)
{
    if (!(step > 0))
        return v;
    return std::round(v / step) * step; // std::round already takes halves away from zero
}

double clamp(double v, double lower, double upper)
{
    if (std::isnan(v))
        return lower;
    return std::min(std::max(v, lower), upper);
}

double dragValue(double x, double lower, double upper, double step, double width, double thumbWidth)
{
    return clamp(snap(valueForX(x, lower, upper, width, thumbWidth), step), lower, upper);
}

qint64 truncateToInteger(double v)
{
    if (std::isnan(v))
        return 0;
    // 2^63 is exactly representable; anything at or beyond it has no qint64 counterpart.
    constexpr double limit = 9223372036854775808.0;
    if (v >= limit)
        return std::numeric_limits<qint64>::max();
    if (v < -limit)
        return std::numeric_limits<qint64>::min();
    return static_cast<qint64>(v); // the conversion truncates toward zero
}

} // namespace orvel::slider
