#include "ValueSlider.h"

#include "SliderGeometry.h"

#include <QEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QtMath>

#include <cmath>
#include <limits>

namespace orvel {

namespace {

// How far the pointer must travel before a press on the thumb becomes a drag.
constexpr double thumbDragMinimumDistance = 10;

} // namespace

ValueSlider::ValueSlider(QWidget* parent)
    : QWidget(parent)
{
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Minimum);
    setMinimumHeight(qCeil(style_.thumbInteractiveSize.height()));
}

void ValueSlider::setBinding(std::function<double()> get, std::function<void(double)> set)
{
    config_.value = std::move(get);
    config_.setValue = std::move(set);
    update();
}

void ValueSlider::setIntegerBinding(std::function<qint64()> get, std::function<void(qint64)> set)
{
    std::function<double()> read;
    if (get)
        read = [get = std::move(get)] { return double(get()); };
    std::function<void(double)> write;
    if (set)
        write = [set = std::move(set)](double v) { set(slider::truncateToInteger(v)); };
    setBinding(std::move(read), std::move(write));
}

void ValueSlider::setBounds(double lower, double upper)
{
    config_.lower = lower;
    config_.upper = upper;
    update();
}

void ValueSlider::setStep(double step)
{
    config_.step = step;
}

void ValueSlider::setOnEditingChanged(std::function<void(bool)> action)
{
    config_.onEditingChanged = std::move(action);
}

void ValueSlider::setSliderStyle(const HorizontalValueSliderStyle& style)
{
    style_ = style;
    setMinimumHeight(qCeil(style_.thumbInteractiveSize.height()));
    updateGeometry();
    update();
}

void ValueSlider::setTrackColors(const QList<QColor>& colors)
{
    style_.track.colors = colors;
    update();
}

double ValueSlider::value() const
{
    return config_.value ? config_.value() : std::numeric_limits<double>::quiet_NaN();
}

QPointF ValueSlider::thumbCenter() const
{
    return style_.thumbCenter(value(), config_.lower, config_.upper, QSizeF(size()));
}

QSize ValueSlider::sizeHint() const
{
    return {200, qCeil(style_.thumbInteractiveSize.height())};
}

QSize ValueSlider::minimumSizeHint() const
{
    return {qCeil(style_.thumbSize.width()), qCeil(style_.thumbInteractiveSize.height())};
}

void ValueSlider::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QSizeF area(size());
    const double v = value();
    if (std::isfinite(v)) {
        style_.paint(painter, area, v, config_.lower, config_.upper);
    } else {
        style_.track.paint(painter, area);
    }
}

void ValueSlider::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton || gesture_ != Gesture::None || !config_.value) {
        event->ignore();
        return;
    }
    const QSizeF area(size());
    pressPos_ = event->position();
    const double v = value();
    if (std::isfinite(v) &&
        style_.thumbInteractiveRect(v, config_.lower, config_.upper, area).contains(pressPos_)) {
        gesture_ = Gesture::PendingThumb;
    } else if (style_.options.contains(ValueSliderOptions::interactiveTrack) &&
               style_.track.rect(area).contains(pressPos_)) {
        gesture_ = Gesture::Track;
        dragTo(pressPos_.x());
    } else {
        event->ignore();
        return;
    }
    event->accept();
}

void ValueSlider::mouseMoveEvent(QMouseEvent* event)
{
    const QPointF pos = event->position();
    switch (gesture_) {
    case Gesture::None:
        event->ignore();
        return;
    case Gesture::PendingThumb: {
        const QPointF moved = pos - pressPos_;
        if (std::hypot(moved.x(), moved.y()) < thumbDragMinimumDistance)
            break;
        gesture_ = Gesture::Thumb;
        [[fallthrough]];
    }
    case Gesture::Thumb:
        if (!config_.dragOffset) {
            // Remember where on the thumb it was grabbed, so the thumb does not jump under the pointer.
            config_.dragOffset = pressPos_.x() - thumbCenter().x();
        }
        dragTo(pos.x() - *config_.dragOffset);
        break;
    case Gesture::Track:
        dragTo(pos.x());
        break;
    }
    event->accept();
}

void ValueSlider::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton || gesture_ == Gesture::None) {
        event->ignore();
        return;
    }
    endGesture();
    event->accept();
}

void ValueSlider::changeEvent(QEvent* event)
{
    // A disabled widget never sees the release, so a drag cut short by disabling ends here instead
    // of leaving the owner believing the user is still editing.
    if (event->type() == QEvent::EnabledChange && !isEnabled())
        endGesture();
    QWidget::changeEvent(event);
}

void ValueSlider::dragTo(double x)
{
    // The thumb cannot travel on a slider no wider than itself; there is no value to derive.
    if (!(width() > style_.thumbSize.width()))
        return;
    const double v = style_.dragValue(x, config_, QSizeF(size()));
    if (config_.setValue)
        config_.setValue(v);
    if (config_.onEditingChanged)
        config_.onEditingChanged(true);
    update();
}

void ValueSlider::endGesture()
{
    const Gesture ended = gesture_;
    gesture_ = Gesture::None;
    if (ended == Gesture::None || ended == Gesture::PendingThumb)
        return;
    config_.dragOffset.reset();
    if (config_.onEditingChanged)
        config_.onEditingChanged(false);
}

} // namespace orvel
