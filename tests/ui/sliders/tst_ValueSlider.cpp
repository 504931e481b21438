#include "ui/sliders/SliderGeometry.h"
#include "ui/sliders/ValueSlider.h"

#include "support/TestMain.h"

#include <QTest>

#include <cmath>
#include <limits>

using namespace orvel;

class TestValueSlider : public QObject {
    Q_OBJECT

    qint64 value_ = 0;
    QList<qint64> writes_;
    QList<bool> editing_;

    // 0..267 on a 283-point slider with a 16-point thumb: one unit per point, value v sits at 8 + v.
    std::unique_ptr<ValueSlider> makeSlider(qint64 value, bool interactiveTrack)
    {
        value_ = value;
        writes_.clear();
        editing_.clear();
        auto slider = std::make_unique<ValueSlider>();
        slider->setIntegerBinding([this] { return value_; }, [this](qint64 v) { writes_ << (value_ = v); });
        slider->setBounds(0, 267);
        slider->setStep(1);
        slider->setOnEditingChanged([this](bool editing) { editing_ << editing; });
        HorizontalValueSliderStyle style;
        style.options =
            interactiveTrack ? ValueSliderOptions::interactiveTrack : ValueSliderOptions::defaultOptions;
        slider->setSliderStyle(style);
        slider->resize(283, 44);
        slider->show();
        QTest::qWaitForWindowExposed(slider.get());
        return slider;
    }

private slots:
    void geometry()
    {
        QCOMPARE(slider::thumbCenterX(0, 0, 255, 283, 16), 8.0);
        QCOMPARE(slider::thumbCenterX(255, 0, 255, 283, 16), 275.0);
        QCOMPARE(slider::dragValue(141.5, 0, 255, 1, 283, 16), 128.0);
        // Out-of-range values are drawn where they fall, not pinned: -1 of 0..65535 is just left of 0.
        QVERIFY(qFuzzyCompare(slider::thumbCenterX(-1, 0, 65535, 283, 16), 8 - 267.0 / 65535));
        // A slider no wider than its thumb has no travel and yields no stray numbers.
        QCOMPARE(slider::dragValue(5, 0, 255, 1, 16, 16), 0.0);
        // Halves round away from zero, on any step.
        QCOMPARE(slider::snap(2.5, 1), 3.0);
        QCOMPARE(slider::snap(-0.5, 1), -1.0);
        QCOMPARE(slider::snap(0.74, 0.5), 0.5);
        QCOMPARE(slider::clamp(std::nan(""), 0, 255), 0.0);
        // Toward zero, and never undefined behaviour for values no integer holds.
        QCOMPARE(slider::truncateToInteger(-1.7), qint64(-1));
        QCOMPARE(slider::truncateToInteger(std::nan("")), qint64(0));
        QCOMPARE(slider::truncateToInteger(1e300), std::numeric_limits<qint64>::max());
        // A never-set hue (-1) still gives a valid saturation track.
        for (const QColor& c : saturationTrackColors(-1.0 / 65535, 0.5))
            QVERIFY(c.isValid());
    }

    void drags_data()
    {
        QTest::addColumn<bool>("interactive");
        // Pressed at the first x, moved through the rest, released at the last.
        QTest::addColumn<QList<int>>("xs");
        QTest::addColumn<QList<qint64>>("writes");
        QTest::addColumn<int>("editingCalls");
        QTest::newRow("small moves") << false << QList<int>{108, 112, 117} << QList<qint64>{} << 0;
        QTest::newRow("track press") << false << QList<int>{250, 240, 200, 150} << QList<qint64>{} << 0;
        // Grabbed 5 points right of its centre, the thumb keeps that offset.
        QTest::newRow("grabbed off centre")
            << false << QList<int>{113, 118, 123, 133} << QList<qint64>{110, 120} << 3;
        QTest::newRow("past the left end") << false << QList<int>{108, 88, -60} << QList<qint64>{80, 0} << 3;
        QTest::newRow("past the right end")
            << false << QList<int>{108, 138, 400} << QList<qint64>{130, 267} << 3;
        QTest::newRow("interactive track") << true << QList<int>{208, 210} << QList<qint64>{200, 202} << 3;
    }

    void drags()
    {
        QFETCH(bool, interactive);
        QFETCH(QList<int>, xs);
        QFETCH(QList<qint64>, writes);
        QFETCH(int, editingCalls);
        auto s = makeSlider(interactive ? 0 : 100, interactive);
        QTest::mousePress(s.get(), Qt::LeftButton, {}, QPoint(xs.first(), 22));
        for (int x : xs.mid(1))
            QTest::mouseMove(s.get(), QPoint(x, 22));
        QTest::mouseRelease(s.get(), Qt::LeftButton, {}, QPoint(xs.last(), 22));
        QCOMPARE(writes_, writes);
        QCOMPARE(editing_.size(), editingCalls);
        QVERIFY(editing_.isEmpty() || editing_.last() == false);
        QVERIFY(!s->configuration().dragOffset);
    }

    void disablingEndsADrag()
    {
        auto s = makeSlider(100, false);
        QTest::mousePress(s.get(), Qt::LeftButton, {}, QPoint(108, 22));
        QTest::mouseMove(s.get(), QPoint(123, 22));
        QCOMPARE(s->configuration().dragOffset, std::optional<double>(0.0));
        s->setEnabled(false);
        QCOMPARE(editing_, (QList<bool>{true, false}));
        QVERIFY(!s->configuration().dragOffset);
    }
};

ORVEL_TEST_MAIN(TestValueSlider)
#include "tst_ValueSlider.moc"
