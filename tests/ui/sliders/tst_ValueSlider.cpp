#include "ui/sliders/SliderGeometry.h"
#include "ui/sliders/ValueSlider.h"

#include "support/TestMain.h"

#include <QTest>

#include <cmath>
#include <limits>
#include <memory>

using namespace orvel;

namespace {

// The value a slider is bound to, recording every write and editing call it receives.
struct Model {
    qint64 value = 0;
    QList<qint64> writes;
    QList<bool> editing;
};

std::unique_ptr<ValueSlider> makeSlider(Model& model, qint64 lower, qint64 upper,
                                        ValueSliderOptions options = ValueSliderOptions::defaultOptions)
{
    auto slider = std::make_unique<ValueSlider>();
    slider->setIntegerBinding([&model] { return model.value; },
                              [&model](qint64 v) {
                                  model.value = v;
                                  model.writes.append(v);
                              });
    slider->setBounds(double(lower), double(upper));
    slider->setStep(1);
    slider->setOnEditingChanged([&model](bool editing) { model.editing.append(editing); });
    HorizontalValueSliderStyle style;
    style.track.colors = hueTrackColors();
    style.options = options;
    slider->setSliderStyle(style);
    slider->resize(283, 44);
    slider->show();
    if (!QTest::qWaitForWindowExposed(slider.get()))
        qWarning("slider window not exposed");
    return slider;
}

// Presses at `from`, moves through each of `path` with the button held, then releases at the end.
void drag(QWidget* w, QPoint from, const QList<QPoint>& path, bool release = true)
{
    QTest::mousePress(w, Qt::LeftButton, {}, from);
    for (const QPoint& p : path)
        QTest::mouseMove(w, p);
    if (release)
        QTest::mouseRelease(w, Qt::LeftButton, {}, path.isEmpty() ? from : path.back());
}

QPoint thumbPoint(const ValueSlider& s, int dx = 0)
{
    return QPoint(qRound(s.thumbCenter().x()) + dx, 22);
}

} // namespace

class TestValueSlider : public QObject {
    Q_OBJECT

private slots:
    void mapsBetweenValueAndPosition()
    {
        // 283 points wide, 16-point thumb: the centre travels from 8 to 275 for 0..255.
        QCOMPARE(slider::thumbCenterX(0, 0, 255, 283, 16), 8.0);
        QCOMPARE(slider::thumbCenterX(255, 0, 255, 283, 16), 275.0);
        QCOMPARE(slider::valueForX(8, 0, 255, 283, 16), 0.0);
        QCOMPARE(slider::valueForX(275, 0, 255, 283, 16), 255.0);
        QCOMPARE(slider::valueForX(141.5, 0, 255, 283, 16), 127.5);
        QCOMPARE(slider::dragValue(141.5, 0, 255, 1, 283, 16), 128.0);
        // Out-of-range values are drawn where they fall, not pinned: -1 of 0..65535 is just left of 0.
        const double x = slider::thumbCenterX(-1, 0, 65535, 283, 16);
        QVERIFY(x < 8 && x > 7.99);
        // A slider no wider than its thumb has no travel and yields no stray numbers.
        QCOMPARE(slider::dragValue(5, 0, 255, 1, 16, 16), 0.0);
    }

    void snapsClampsAndTruncates()
    {
        // Halves round away from zero, on any step.
        QCOMPARE(slider::snap(2.5, 1), 3.0);
        QCOMPARE(slider::snap(-0.5, 1), -1.0);
        QCOMPARE(slider::snap(0.74, 0.5), 0.5);
        QCOMPARE(slider::snap(0.75, 0.5), 1.0);
        QCOMPARE(slider::clamp(std::nan(""), 0, 255), 0.0);
        // Toward zero, and never undefined behaviour for values no integer holds.
        QCOMPARE(slider::truncateToInteger(255.9), qint64(255));
        QCOMPARE(slider::truncateToInteger(-1.7), qint64(-1));
        QCOMPARE(slider::truncateToInteger(std::nan("")), qint64(0));
        QCOMPARE(slider::truncateToInteger(1e300), std::numeric_limits<qint64>::max());
        // A never-set hue (-1) still gives a valid saturation track.
        for (const QColor& c : saturationTrackColors(-1.0 / 65535, 0.5))
            QVERIFY(c.isValid());
    }

    void smallMovesAndTrackPressesChangeNothing()
    {
        Model m{100, {}, {}};
        auto s = makeSlider(m, 0, 255);
        drag(s.get(), thumbPoint(*s), {thumbPoint(*s, 4), thumbPoint(*s, 9)});
        QCOMPARE(m.value, qint64(100));
        QVERIFY(m.writes.isEmpty());
        QVERIFY(m.editing.isEmpty());

        drag(s.get(), QPoint(250, 22), {QPoint(240, 22), QPoint(200, 22), QPoint(150, 22)});
        QCOMPARE(m.value, qint64(100));
        QVERIFY(m.writes.isEmpty());
    }

    void grabbedThumbKeepsItsOffset()
    {
        // 0..267 on a 283-point slider: one unit per point, so positions read off the values exactly.
        Model m{100, {}, {}};
        auto s = makeSlider(m, 0, 267);
        QCOMPARE(s->thumbCenter().x(), 108.0);
        drag(s.get(), QPoint(113, 22), {QPoint(118, 22), QPoint(123, 22), QPoint(133, 22)}, false);
        QCOMPARE(s->configuration().dragOffset, std::optional<double>(5.0));
        // Every step past the threshold is written, each with the editing call.
        QCOMPARE(m.writes, (QList<qint64>{110, 120}));
        QCOMPARE(m.editing, (QList<bool>{true, true}));
        QCOMPARE(s->thumbCenter().x(), 128.0);
        QTest::mouseRelease(s.get(), Qt::LeftButton, {}, QPoint(133, 22));
        QCOMPARE(m.editing.back(), false);
        QVERIFY(!s->configuration().dragOffset);
    }

    void dragsPastTheEndsStoreTheBounds()
    {
        Model m{100, {}, {}};
        auto s = makeSlider(m, 0, 255);
        drag(s.get(), thumbPoint(*s), {thumbPoint(*s, -20), QPoint(-60, 22)});
        QCOMPARE(m.value, qint64(0));
        drag(s.get(), thumbPoint(*s), {thumbPoint(*s, 30), QPoint(400, 30)});
        QCOMPARE(m.value, qint64(255));
        for (qint64 v : m.writes)
            QVERIFY(v >= 0 && v <= 255);
        QCOMPARE(m.editing.count(false), 2);
    }

    void interactiveTrackFollowsAtOnce()
    {
        Model m{0, {}, {}};
        auto s = makeSlider(m, 0, 267, ValueSliderOptions::interactiveTrack);
        drag(s.get(), QPoint(208, 22), {QPoint(210, 22)});
        QCOMPARE(m.writes, (QList<qint64>{200, 202}));
        QCOMPARE(m.editing, (QList<bool>{true, true, false}));
    }

    void disablingEndsADrag()
    {
        Model m{100, {}, {}};
        auto s = makeSlider(m, 0, 255);
        drag(s.get(), thumbPoint(*s), {thumbPoint(*s, 15)}, false);
        QCOMPARE(m.editing, (QList<bool>{true}));
        s->setEnabled(false);
        QCOMPARE(m.editing, (QList<bool>{true, false}));
        QVERIFY(!s->configuration().dragOffset);
    }
};

ORVEL_TEST_MAIN(TestValueSlider)
#include "tst_ValueSlider.moc"
