#pragma once

#include "ValueSliderStyle.h"

#include <QPointF>
#include <QWidget>

#include <functional>
#include <optional>

namespace orvel {

// A horizontal slider over a value it does not own: it reads the value through a getter whenever it
// paints or a drag begins, and writes it through a setter at every step of a drag. Owners call
// refresh() when the value changes behind the slider's back.
//
// Only the thumb can be dragged (unless the style has interactiveTrack), and only once the pointer
// has moved 10 points from the press, so a click or a small jitter never changes the value.
class ValueSlider : public QWidget {
    Q_OBJECT

public:
    explicit ValueSlider(QWidget* parent = nullptr);

    // Floating-point form: the value is read and written as is.
    void setBinding(std::function<double()> get, std::function<void(double)> set);
    // Integer form: reads convert to double, writes truncate toward zero.
    void setIntegerBinding(std::function<qint64()> get, std::function<void(qint64)> set);

    void setBounds(double lower, double upper);
    void setStep(double step);
    // Told true at every drag change and false when a drag ends.
    void setOnEditingChanged(std::function<void(bool)> action);

    void setSliderStyle(const HorizontalValueSliderStyle& style);
    const HorizontalValueSliderStyle& sliderStyle() const { return style_; }
    // Replaces the track's gradient, e.g. when the colour a saturation track shows has changed.
    void setTrackColors(const QList<QColor>& colors);

    const ValueSliderStyleConfiguration& configuration() const { return config_; }
    // The bound value as read now; NaN when no binding is set.
    double value() const;
    // Centre of the thumb for the current value, in widget coordinates.
    QPointF thumbCenter() const;

    // Redraws from the bound value.
    void refresh() { update(); }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    enum class Gesture { None, PendingThumb, Thumb, Track };

    void dragTo(double x);
    void endGesture();

    HorizontalValueSliderStyle style_;
    ValueSliderStyleConfiguration config_;
    Gesture gesture_ = Gesture::None;
    QPointF pressPos_;
};

} // namespace orvel
