#include "ValueSliderStyle.h"

#include "SliderGeometry.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace orvel {

void DefaultThumb::paint(QPainter& painter, const QRectF& frame) const
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);

    // A true blur costs an offscreen pass per paint; a few nested translucent ellipses spread over
    // the blur radius look the same at this size. Their alphas stack to the shadow's opacity at the
    // core and fade towards the rim.
    const QRectF shadow = frame.translated(shadowOffset);
    constexpr int rings = 3;
    QColor ring = shadowColor;
    ring.setAlphaF(shadowColor.alphaF() / rings);
    for (int i = 0; i < rings; ++i) {
        const double grow = shadowBlur * (rings - i) / rings - shadowBlur / 2;
        painter.setBrush(ring);
        painter.drawEllipse(shadow.adjusted(-grow, -grow, grow, grow));
    }

    painter.setBrush(fill);
    painter.drawEllipse(frame);
    painter.restore();
}

QRectF GradientTrack::rect(const QSizeF& area) const
{
    return QRectF(0, (area.height() - height) / 2, area.width(), height);
}

void GradientTrack::paint(QPainter& painter, const QSizeF& area) const
{
    if (colors.isEmpty())
        return;
    const QRectF bar = rect(area);
    QLinearGradient gradient(bar.topLeft(), bar.topRight());
    if (colors.size() == 1) {
        gradient.setColorAt(0, colors.front());
        gradient.setColorAt(1, colors.front());
    } else {
        for (qsizetype i = 0; i < colors.size(); ++i)
            gradient.setColorAt(double(i) / double(colors.size() - 1), colors[i]);
    }
    QPainterPath path;
    path.addRoundedRect(bar, cornerRadius, cornerRadius);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillPath(path, gradient);
    painter.restore();
}

QList<QColor> hueTrackColors()
{
    return {Qt::red, Qt::green, Qt::blue, Qt::red};
}

namespace {

// A rule whose hue was never set holds -1, and any stored number may reach here; the colour model
// only takes 0..1, so anything else is pinned rather than yielding an invalid colour.
float unitComponent(double v)
{
    if (std::isnan(v))
        return 0;
    return float(std::clamp(v, 0.0, 1.0));
}

} // namespace

QList<QColor> saturationTrackColors(double hue, double brightness)
{
    const float h = unitComponent(hue);
    const float b = unitComponent(brightness);
    return {QColor::fromHsvF(h, 0, b), QColor::fromHsvF(h, 1, b)};
}

QList<QColor> brightnessTrackColors()
{
    return {Qt::black, Qt::white};
}

QPointF HorizontalValueSliderStyle::thumbCenter(double value, double lower, double upper,
                                                const QSizeF& area) const
{
    return {slider::thumbCenterX(value, lower, upper, area.width(), thumbSize.width()), area.height() / 2};
}

QRectF HorizontalValueSliderStyle::thumbInteractiveRect(double value, double lower, double upper,
                                                        const QSizeF& area) const
{
    const QSizeF box = thumbInteractiveSize.expandedTo(thumbSize);
    QRectF r(QPointF(), box);
    r.moveCenter(thumbCenter(value, lower, upper, area));
    return r;
}

double HorizontalValueSliderStyle::dragValue(double x, const ValueSliderStyleConfiguration& config,
                                             const QSizeF& area) const
{
    return slider::dragValue(x, config.lower, config.upper, config.step, area.width(), thumbSize.width());
}

void HorizontalValueSliderStyle::paint(QPainter& painter, const QSizeF& area, double value, double lower,
                                       double upper) const
{
    track.paint(painter, area);
    QRectF frame(QPointF(), thumbSize);
    frame.moveCenter(thumbCenter(value, lower, upper, area));
    thumb.paint(painter, frame);
}

} // namespace orvel
