#include "SettingsHarness.h"
#include "support/TestMain.h"

#include "rules/LightRule.h"
#include "rules/SharedInt.h"
#include "ui/ContentView.h"
#include "ui/LightRuleUI.h"
#include "ui/TopStack.h"
#include "ui/sliders/ValueSlider.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QTemporaryDir>
#include <QTest>

using namespace orvel;
using orvel::test::SettingsHarness;

namespace {

enum class Scenario { BeforeConnection, FlashTestRunning, AlwaysOn, SystemDisabled, LightsNotRead };

struct Usable {
    bool systemEnabled, alwaysOn, flashTest, addLight;
};

Usable usable(const ContentView& view)
{
    return {view.topStack()->systemEnabledSwitch()->isEnabled(),
            view.topStack()->alwaysOnSwitch()->isEnabled(), view.topStack()->flashTestButton()->isEnabled(),
            view.addLightButton()->isEnabled()};
}

// Chooses a light the way a user does: opens the picker and clicks the light's name.
void choose(QComboBox* picker, const QString& name)
{
    const int index = picker->findText(name);
    QVERIFY2(index >= 0, qPrintable(name));
    picker->showPopup();
    QAbstractItemView* list = picker->view();
    QVERIFY(QTest::qWaitForWindowExposed(list->window()));
    const QRect item = list->visualRect(list->model()->index(index, 0));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, item.center());
    QTRY_VERIFY(!list->window()->isVisible());
}

bool shown(const QWidget* w)
{
    return !w->isHidden();
}

} // namespace

class TestSettingsWindow : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    std::unique_ptr<SettingsHarness> h_;

    SettingsHarness& makeHarness()
    {
        h_ = std::make_unique<SettingsHarness>(dir_.filePath(QStringLiteral("preferences.json")));
        return *h_;
    }

    void showWindow()
    {
        h_->view->resize(400, 500);
        h_->view->show();
        QVERIFY(QTest::qWaitForWindowExposed(h_->view.get()));
    }

private slots:
    void init() { QFile::remove(dir_.filePath(QStringLiteral("preferences.json"))); }
    void cleanup() { h_.reset(); }

    void controlsAreUsableExactlyWhenTheControllerAllowsIt_data()
    {
        QTest::addColumn<Scenario>("scenario");
        QTest::addColumn<bool>("systemEnabled");
        QTest::addColumn<bool>("alwaysOn");
        QTest::addColumn<bool>("flashTest");
        QTest::addColumn<bool>("addLight");
        QTest::newRow("no bridge yet") << Scenario::BeforeConnection << true << false << false << false;
        QTest::newRow("flash test running") << Scenario::FlashTestRunning << true << false << false << false;
        QTest::newRow("always on") << Scenario::AlwaysOn << false << true << false << false;
        QTest::newRow("system disabled") << Scenario::SystemDisabled << true << false << false << true;
        QTest::newRow("light list not read") << Scenario::LightsNotRead << true << true << true << false;
    }

    void controlsAreUsableExactlyWhenTheControllerAllowsIt()
    {
        QFETCH(Scenario, scenario);
        QFETCH(bool, systemEnabled);
        QFETCH(bool, alwaysOn);
        QFETCH(bool, flashTest);
        QFETCH(bool, addLight);

        auto& h = makeHarness();
        showWindow();
        TopStack* top = h.view->topStack();
        switch (scenario) {
        case Scenario::BeforeConnection:
            h.helper->setUp();
            h.clock.advance(3.0);
            break;
        case Scenario::FlashTestRunning:
            h.connectBridge();
            QTest::mouseClick(top->flashTestButton(), Qt::LeftButton);
            QVERIFY(h.helper->blinkingAll());
            break;
        case Scenario::AlwaysOn:
            h.connectBridge();
            QTest::mouseClick(top->alwaysOnSwitch(), Qt::LeftButton);
            QVERIFY(h.helper->overrideToggle());
            QVERIFY(top->alwaysOnSwitch()->isChecked());
            break;
        case Scenario::SystemDisabled:
            h.connectBridge();
            QTest::mouseClick(top->systemEnabledSwitch(), Qt::LeftButton);
            QVERIFY(!h.helper->globalToggle());
            QVERIFY(!top->systemEnabledSwitch()->isChecked());
            break;
        case Scenario::LightsNotRead:
            h.connectBridge([](test::FakeHueBridge& bridge) { bridge.holdReads = true; });
            QVERIFY(h.helper->lightsInterface());
            QVERIFY(!h.helper->lightsInterface()->lights());
            break;
        }

        const Usable u = usable(*h.view);
        QCOMPARE(u.systemEnabled, systemEnabled);
        QCOMPARE(u.alwaysOn, alwaysOn);
        QCOMPARE(u.flashTest, flashTest);
        QCOMPARE(u.addLight, addLight);

        if (scenario == Scenario::FlashTestRunning) {
            // The flash test ends by itself and everything comes back.
            h.clock.advance(2.5);
            const Usable after = usable(*h.view);
            QVERIFY(after.alwaysOn && after.flashTest && after.addLight);
        }
    }

    void statusLineShowsTheControllersTextAsPlainText()
    {
        auto& h = makeHarness();
        h.connectBridge([](test::FakeHueBridge& bridge) {
            bridge.bridgeName = QStringLiteral("<b>Living</b> & Co");
            bridge.addColorLight(QStringLiteral("<i>Lamp</i>"));
        });
        QLabel* status = h.view->topStack()->statusLabel();
        QCOMPARE(status->text(), h.helper->statusText());
        QVERIFY(status->text().contains(QStringLiteral("<b>Living</b> & Co")));
        QCOMPARE(status->textFormat(), Qt::PlainText);
        QCOMPARE(h.view->rows().at(0)->lightPicker()->itemText(0), QStringLiteral("<i>Lamp</i>"));
    }

    void rowsFollowTheCapabilitiesOfTheChosenLight()
    {
        auto& h = makeHarness();
        showWindow();
        h.connectBridge();
        QCOMPARE(h.view->rows().size(), 2);
        LightRuleUI* row = h.view->rows().at(0);
        const auto rule = row->rule();

        // No light chosen: the picker shows no choice, and only the light row is there.
        QCOMPARE(row->lightPicker()->count(), 3);
        QCOMPARE(row->lightPicker()->currentIndex(), -1);
        QVERIFY(shown(row->lightRow()));
        QVERIFY(!shown(row->hueRow()) && !shown(row->saturationRow()) && !shown(row->brightnessRow()));

        // A colour light: once the rule has read it, every row and the "On" switch.
        choose(row->lightPicker(), QStringLiteral("Desk Lamp"));
        QCOMPARE(rule->lightID(), quint64(0));
        QCOMPARE(row->lightPicker()->currentText(), QStringLiteral("Desk Lamp"));
        h.clock.advance(2.1);
        QVERIFY(shown(row->hueRow()) && shown(row->saturationRow()) && shown(row->brightnessRow()));
        QVERIFY(shown(row->onSwitch()));

        // A white light: the brightness row with its switch, no colour rows.
        choose(row->lightPicker(), QStringLiteral("Hallway"));
        QCOMPARE(rule->lightID(), quint64(1));
        h.clock.advance(2.1);
        QVERIFY(!shown(row->hueRow()) && !shown(row->saturationRow()));
        QVERIFY(shown(row->brightnessRow()) && shown(row->onSwitch()));

        // A plug: everything but the light row goes at once, with no waiting for the light.
        choose(row->lightPicker(), QStringLiteral("Fan Plug"));
        QCOMPARE(rule->lightID(), quint64(2));
        QVERIFY(!shown(row->hueRow()) && !shown(row->saturationRow()) && !shown(row->brightnessRow()));

        // Light names are the bridge's; a light that disappears leaves the rule with no choice shown.
        h.bridges->latest()->removeLightAt(2);
        h.helper->refreshLights();
        h.clock.advance(0.2);
        QCOMPARE(row->lightPicker()->count(), 2);
        QCOMPARE(row->lightPicker()->currentIndex(), -1);
    }

    void aRowIsLockedWhileItsRuleIsOn()
    {
        auto& h = makeHarness();
        showWindow();
        h.connectBridge();
        LightRuleUI* row = h.view->rows().at(0);
        QVERIFY(row->lightPicker()->isEnabled());

        // Choosing a light blinks it for 2 seconds, and the whole row waits, "Delete" included.
        choose(row->lightPicker(), QStringLiteral("Desk Lamp"));
        QVERIFY(row->rule()->on());
        QVERIFY(!row->lightPicker()->isEnabled());
        QVERIFY(!row->deleteButton()->isEnabled());
        h.clock.advance(1.9);
        QVERIFY(!row->deleteButton()->isEnabled());
        QVERIFY(!row->brightnessSlider()->isEnabled());
        h.clock.advance(0.2);
        QVERIFY(row->lightPicker()->isEnabled());
        QVERIFY(row->deleteButton()->isEnabled());
        QVERIFY(row->hueSlider()->isEnabled() && row->saturationSlider()->isEnabled());

        // "Always On" locks the colour on top of that; when MIDI switches the rules off while it
        // stays on, only the hue row remains locked.
        QTest::mouseClick(h.view->topStack()->alwaysOnSwitch(), Qt::LeftButton);
        QVERIFY(row->rule()->on());
        QVERIFY(!row->lightPicker()->isEnabled() && !row->saturationSlider()->isEnabled());
        h.helper->rulesOff();
        h.clock.advance(1.0);
        QVERIFY(!row->rule()->on());
        QVERIFY(h.helper->overrideToggle());
        QVERIFY(!row->hueSlider()->isEnabled());
        QVERIFY(row->saturationSlider()->isEnabled());
        QVERIFY(row->brightnessSlider()->isEnabled());
        QVERIFY(row->lightPicker()->isEnabled());
    }

    void deleteRemovesTheRuleAtTheRowsCurrentPosition()
    {
        auto& h = makeHarness();
        Preferences::standard().setInteger(QStringLiteral("rule_count"), 3);
        showWindow();
        h.connectBridge();
        QCOMPARE(h.view->rows().size(), 3);

        QTest::mouseClick(h.view->rows().at(2)->deleteButton(), Qt::LeftButton);
        QCOMPARE(h.helper->lightRules().size(), 2);
        QCOMPARE(h.helper->lightRules().at(0)->ruleID(), 0);
        QCOMPARE(h.helper->lightRules().at(1)->ruleID(), 1);
        QCOMPARE(h.view->rows().size(), 2);

        // Rows are positional: after the first goes, the others move up and learn their new place.
        h.helper->addRule();
        h.clock.advance(2.1);
        QCOMPARE(h.view->rows().size(), 3);
        QTest::mouseClick(h.view->rows().at(0)->deleteButton(), Qt::LeftButton);
        QCOMPARE(h.view->rows().size(), 2);
        for (int i = 0; i < 2; ++i) {
            QCOMPARE(h.view->rows().at(i)->rule(), h.helper->lightRules().at(i));
            QCOMPARE(h.view->rows().at(i)->ruleIndex()->val(), qint64(i));
        }
        QTest::mouseClick(h.view->rows().at(1)->deleteButton(), Qt::LeftButton);
        QCOMPARE(h.helper->lightRules().size(), 1);

        // The last rule cannot go; its row stays.
        QTest::mouseClick(h.view->rows().at(0)->deleteButton(), Qt::LeftButton);
        QCOMPARE(h.view->rows().size(), 1);
    }

    void draggingASliderStoresEveryStepAndKeepsTheRow()
    {
        auto& h = makeHarness();
        showWindow();
        h.connectBridge();
        QPointer<LightRuleUI> row = h.view->rows().at(0);
        choose(row->lightPicker(), QStringLiteral("Desk Lamp"));
        h.clock.advance(2.1);
        h.view->ruleList()->ensureWidgetVisible(row->brightnessRow());
        QCoreApplication::processEvents();

        QPointer<ValueSlider> slider = row->hueSlider();
        int announcements = 0;
        connect(row->rule().get(), &LightRule::changed, this, [&] { ++announcements; });

        const QPoint start = slider->thumbCenter().toPoint();
        QTest::mousePress(slider, Qt::LeftButton, {}, start);
        for (int x = start.x() + 20; x < slider->width() + 60; x += 20)
            QTest::mouseMove(slider, QPoint(x, start.y()));
        QTest::mouseRelease(slider, Qt::LeftButton, {}, QPoint(slider->width() + 60, start.y()));

        QVERIFY2(announcements > 3, "the rule should hear of every step of the drag");
        QVERIFY(row && slider);
        QCOMPARE(h.view->rows().at(0), row.data());
        QCOMPARE(row->hueSlider(), slider.data());
        QCOMPARE(row->rule()->onHueDegrees(), 65535.0);
        const auto key = LightRule::key(row->rule()->ruleID(), QStringLiteral("on_hue"));
        QCOMPARE(Preferences::standard().real(key).valueOr(-2), 65535.0);

        // The saturation track follows hue and brightness: one third round the circle at full
        // brightness runs from white to pure green.
        row->rule()->setOnHueDegrees(65535.0 / 3);
        row->rule()->setOnValue(255);
        const QList<QColor> track = row->saturationSlider()->sliderStyle().track.colors;
        QCOMPARE(track.size(), 2);
        QCOMPARE(track.first().toRgb(), QColor(255, 255, 255));
        QCOMPARE(track.last().toRgb(), QColor(0, 255, 0));

        // Sliders show whole numbers of what the rule holds.
        row->rule()->setOnValue(127.6);
        QCOMPARE(row->brightnessSlider()->value(), 127.0);
    }

    void addLightAppendsARow()
    {
        auto& h = makeHarness();
        showWindow();
        h.connectBridge();
        QTest::mouseClick(h.view->addLightButton(), Qt::LeftButton);
        QCOMPARE(h.helper->lightRules().size(), 3);
        QCOMPARE(h.view->rows().size(), 3);
        QCOMPARE(h.view->rows().at(2)->rule(), h.helper->lightRules().at(2));
        QCOMPARE(h.view->rows().at(2)->ruleIndex()->val(), qint64(2));
        QVERIFY(h.view->ruleList()->maximumHeight() <= 600);
    }
};

ORVEL_TEST_MAIN(TestSettingsWindow)
#include "tst_SettingsWindow.moc"
