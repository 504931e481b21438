#include "SettingsHarness.h"
#include "support/TestMain.h"

#include "rules/LightRule.h"
#include "rules/SharedInt.h"
#include "ui/ContentView.h"
#include "ui/LightRuleUI.h"
#include "ui/MidiSettingsWindow.h"
#include "ui/TopStack.h"
#include "ui/sliders/ValueSlider.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <QWheelEvent>
#include <QtTest/qtestspontaneevent.h>

using namespace orvel;
using orvel::test::SettingsHarness;

namespace {

// "System Enabled", "Always On", "Flash Test" and "Add Light", in that order.
QList<QWidget*> controls(const ContentView& view)
{
    const TopStack* top = view.topStack();
    return {top->systemEnabledSwitch(), top->alwaysOnSwitch(), top->flashTestButton(), view.addLightButton()};
}

QList<bool> usable(const ContentView& view)
{
    QList<bool> enabled;
    for (const QWidget* control : controls(view))
        enabled << control->isEnabled();
    return enabled;
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

    // The settings view at its 400 by 500 points, over a fresh preferences store.
    SettingsHarness& showWindow()
    {
        QFile::remove(dir_.filePath(u"preferences.json"_qs));
        h_ = std::make_unique<SettingsHarness>(dir_.filePath(u"preferences.json"_qs));
        h_->view->resize(400, 500);
        h_->view->show();
        if (!QTest::qWaitForWindowExposed(h_->view.get()))
            qWarning("settings view not exposed");
        return *h_;
    }

private slots:
    void cleanup() { h_.reset(); }

    void controlsAreUsableExactlyWhenTheControllerAllowsIt_data()
    {
        QTest::addColumn<bool>("connected");
        QTest::addColumn<bool>("lightsRead");
        QTest::addColumn<int>("clicked"); // which of controls(), or -1
        QTest::addColumn<QList<bool>>("expected");
        QTest::newRow("no bridge yet") << false << false << -1 << QList<bool>{true, false, false, false};
        QTest::newRow("light list not read") << true << false << -1 << QList<bool>{true, true, true, false};
        QTest::newRow("connected") << true << true << -1 << QList<bool>{true, true, true, true};
        QTest::newRow("system disabled") << true << true << 0 << QList<bool>{true, false, false, true};
        QTest::newRow("always on") << true << true << 1 << QList<bool>{false, true, false, false};
        QTest::newRow("flash test running") << true << true << 2 << QList<bool>{true, false, false, false};
    }

    void controlsAreUsableExactlyWhenTheControllerAllowsIt()
    {
        QFETCH(bool, connected);
        QFETCH(bool, lightsRead);
        QFETCH(int, clicked);
        QFETCH(QList<bool>, expected);

        auto& h = showWindow();
        if (connected) {
            h.connectBridge([&](test::FakeHueBridge& bridge) {
                if (lightsRead)
                    SettingsHarness::threeKindsOfLights(bridge);
                bridge.holdReads = !lightsRead;
            });
        } else {
            h.helper->setUp();
            h.clock.advance(3.0);
        }
        if (clicked >= 0)
            QTest::mouseClick(controls(*h.view).at(clicked), Qt::LeftButton);
        QCOMPARE(usable(*h.view), expected);

        if (clicked == 2) {
            // The flash test ends by itself and everything comes back.
            h.clock.advance(2.5);
            QCOMPARE(usable(*h.view), QList<bool>(4, true));
        }
    }

    // Opened from its button, every switch and the channel reach the controller and its store,
    // and the connections follow the MIDI system as plain text.
    void midiSettingsEditTheTriggersAndShowTheConnections()
    {
        auto& h = showWindow();
        h.helper->setUp();
        QTest::mouseClick(h.view->topStack()->midiSettingsButton(), Qt::LeftButton);
        MidiSettingsWindow* window = h.view->midiSettings();
        QVERIFY(window && window->isVisible());

        for (const char* name :
             {"armedSwitch", "recordNoteSwitch", "selectNoteSwitch", "huiSwitch", "dawLeavesSwitch"})
            window->findChild<QCheckBox*>(QLatin1String(name))->click();
        auto* channel = window->findChild<QComboBox*>(u"channelChoice"_qs);
        channel->setFocus();
        QTest::keyClick(channel, Qt::Key_Down);
        QTest::keyClick(channel, Qt::Key_Down);
        const MidiTriggerSettings s = h.helper->triggerSettings();
        QCOMPARE(
            QList<bool>({s.recordNote, s.selectNote, s.huiSequences, s.lightWhileArmed, s.offWhenDawLeaves}),
            QList<bool>({false, false, false, true, false}));
        QCOMPARE(s.channel, 2);
        QCOMPARE(Preferences::standard().integer(u"midi_channel"_qs).value, qint64(2));
        // Without the Record LED, "while armed" has nothing to go by.
        QVERIFY(!window->findChild<QCheckBox*>(u"armedSwitch"_qs)->isEnabled());

        auto* sending = window->findChild<QLabel*>(u"sendingToOrvel"_qs);
        QCOMPARE(sending->text(), u"nothing connected"_qs);
        h.midi->systemPorts = {{u"<b>daw</b>:out"_qs, u"<b>daw</b>"_qs, u"out"_qs, true}};
        h.midi->tell(MidiSystemEvent::Kind::ConnectionsChanged, {u"<b>daw</b>:out"_qs});
        QCOMPARE(sending->text(), u"<b>daw</b>:out"_qs);
        QCOMPARE(sending->textFormat(), Qt::PlainText);
        window->findChild<QCheckBox*>(u"source:<b>daw</b>:out"_qs)->click();
        QCOMPARE(h.helper->midiSources()->remembered(), QStringList{u"<b>daw</b>:out"_qs});

        // Learning: Escape ends a lesson without closing the window; a lesson taught can be widened
        // and removed.
        window->findChild<QPushButton*>(u"learnOnButton"_qs)->click();
        QVERIFY(h.helper->learning());
        QTest::keyClick(window, Qt::Key_Escape);
        QVERIFY(!h.helper->learning());
        QVERIFY(window->isVisible());
        // Rows are made anew on each change; the old ones go with the deferred deletions.
        auto settle = [] { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); };
        window->findChild<QPushButton*>(u"learnOffButton"_qs)->click();
        h.midi->deliver({test::FakeMidiEndpoints::message(0xB3, 64, 10)});
        settle();
        QCOMPARE(window->findChild<QLabel*>(u"triggerText"_qs)->text(),
                 u"Lights back: Controller 64, value 10, channel 4"_qs);
        auto* range = window->findChild<QComboBox*>(u"valueRange"_qs);
        range->setFocus();
        QTest::keyClick(range, Qt::Key_Down);
        settle();
        window->findChild<QCheckBox*>(u"anyChannel"_qs)->click();
        settle();
        QCOMPARE(window->findChild<QLabel*>(u"triggerText"_qs)->text(),
                 u"Lights back: Controller 64, below 64, any channel"_qs);
        window->findChild<QPushButton*>(u"removeTrigger"_qs)->click();
        QVERIFY(h.helper->learnedTriggers().empty());

        QTest::keyClick(window, Qt::Key_Escape);
        QVERIFY(!window->isVisible());
    }

    void statusLineAndLightNamesArePlainText()
    {
        auto& h = showWindow();
        h.connectBridge([](test::FakeHueBridge& bridge) {
            bridge.bridgeName = u"<b>Living</b> & Co"_qs;
            bridge.addColorLight(u"<i>Lamp</i>"_qs);
        });
        QLabel* status = h.view->topStack()->statusLabel();
        QVERIFY(status->text().contains(u"<b>Living</b> & Co"_qs));
        QCOMPARE(status->textFormat(), Qt::PlainText);
        QCOMPARE(h.view->rows().at(0)->lightPicker()->itemText(0), u"<i>Lamp</i>"_qs);
    }

    void rowsFollowTheChosenLightAndWaitForItsBlink()
    {
        auto& h = showWindow();
        h.connectBridge();
        LightRuleUI* row = h.view->rows().at(0);

        // No light chosen: the picker shows no choice, and only the light row is there.
        QCOMPARE(row->lightPicker()->currentIndex(), -1);
        QVERIFY(shown(row->lightRow()));
        QVERIFY(!shown(row->hueRow()) && !shown(row->saturationRow()) && !shown(row->brightnessRow()));

        // A colour light blinks for 2 seconds after the pick, and the whole row waits, "Delete"
        // included; then every row and the "On" switch are there.
        choose(row->lightPicker(), u"Desk Lamp"_qs);
        h.clock.advance(1.9);
        QVERIFY(!row->lightPicker()->isEnabled() && !row->deleteButton()->isEnabled());
        QVERIFY(!row->brightnessSlider()->isEnabled());
        h.clock.advance(0.2);
        QVERIFY(row->lightPicker()->isEnabled() && row->deleteButton()->isEnabled());
        QVERIFY(row->hueSlider()->isEnabled() && row->saturationSlider()->isEnabled());
        QVERIFY(shown(row->hueRow()) && shown(row->saturationRow()) && shown(row->brightnessRow()));
        QVERIFY(shown(row->onSwitch()));

        // A white light: the brightness row with its switch, no colour rows.
        choose(row->lightPicker(), u"Hallway"_qs);
        h.clock.advance(2.1);
        QVERIFY(!shown(row->hueRow()) && !shown(row->saturationRow()));
        QVERIFY(shown(row->brightnessRow()) && shown(row->onSwitch()));

        // A plug: everything but the light row goes at once, with no waiting for the light.
        choose(row->lightPicker(), u"Fan Plug"_qs);
        QCOMPARE(row->rule()->lightID(), quint64(2));
        QVERIFY(!shown(row->hueRow()) && !shown(row->saturationRow()) && !shown(row->brightnessRow()));
    }

    void alwaysOnLocksTheRowUntilMidiSwitchesItOff()
    {
        auto& h = showWindow();
        h.connectBridge();
        LightRuleUI* row = h.view->rows().at(0);
        choose(row->lightPicker(), u"Desk Lamp"_qs);
        h.clock.advance(2.1);

        // While "Always On" stays on after MIDI switched the rules off, only the hue row is locked.
        QTest::mouseClick(h.view->topStack()->alwaysOnSwitch(), Qt::LeftButton);
        QVERIFY(!row->lightPicker()->isEnabled() && !row->saturationSlider()->isEnabled());
        h.helper->rulesOff();
        h.clock.advance(1.0);
        QVERIFY(!row->rule()->on() && h.helper->overrideToggle());
        QVERIFY(!row->hueSlider()->isEnabled());
        QVERIFY(row->saturationSlider()->isEnabled() && row->brightnessSlider()->isEnabled());
        QVERIFY(row->lightPicker()->isEnabled());
    }

    void addAndDeleteKeepRowsInStepWithTheRules()
    {
        auto& h = showWindow();
        h.connectBridge();
        QTest::mouseClick(h.view->addLightButton(), Qt::LeftButton);
        h.clock.advance(2.1);
        QCOMPARE(h.view->rows().size(), 3);

        // "Delete" in the third row removes index 2.
        QTest::mouseClick(h.view->rows().at(2)->deleteButton(), Qt::LeftButton);
        QCOMPARE(h.helper->lightRules().size(), 2);
        QCOMPARE(h.helper->lightRules().at(1)->ruleID(), 1);
        QCOMPARE(h.view->rows().size(), 2);

        // Rows are positional: after the first goes, the next moves up and learns its new place.
        QTest::mouseClick(h.view->rows().at(0)->deleteButton(), Qt::LeftButton);
        QCOMPARE(h.view->rows().size(), 1);
        QCOMPARE(h.view->rows().at(0)->rule(), h.helper->lightRules().at(0));
        QCOMPARE(h.view->rows().at(0)->ruleIndex()->val(), qint64(0));

        // The last rule cannot go; its row stays.
        QTest::mouseClick(h.view->rows().at(0)->deleteButton(), Qt::LeftButton);
        QCOMPARE(h.view->rows().size(), 1);
    }

    void wheelOverALightPickerScrollsTheListAndKeepsTheLight()
    {
        auto& h = showWindow();
        h.connectBridge();
        for (int i = 0; i < 6; ++i)
            h.helper->addRule();
        h.clock.advance(3.0);
        LightRuleUI* row = h.view->rows().at(1);
        choose(row->lightPicker(), u"Desk Lamp"_qs);
        h.clock.advance(3.0);
        h.bridges->latest()->writes.clear();
        QCoreApplication::processEvents();

        QScrollBar* bar = h.view->ruleList()->verticalScrollBar();
        QVERIFY(bar->maximum() > 0);
        const int before = bar->value();
        QComboBox* picker = row->lightPicker();
        const QPointF at = QPointF(picker->rect().center());
        QWheelEvent wheel(at, picker->mapToGlobal(at), {}, QPoint(0, -120), Qt::NoButton, Qt::NoModifier,
                          Qt::NoScrollPhase, false);
        QSpontaneKeyEvent::setSpontaneous(&wheel); // as from the mouse: it may go on to the list
        qApp->notify(picker, &wheel);
        h.clock.advance(3.0);

        QCOMPARE(row->rule()->lightID(), quint64(0));
        QCOMPARE(picker->currentText(), u"Desk Lamp"_qs);
        QVERIFY(h.bridges->latest()->writes.isEmpty()); // no blink
        QVERIFY(bar->value() > before);
    }

    void addLightStopsAtTheRuleCountAStartReadsBack()
    {
        auto& h = showWindow();
        Preferences::standard().setInteger(u"rule_count"_qs, LightList::kMaxRules - 1);
        h.connectBridge();
        QVERIFY(h.view->addLightButton()->isEnabled());
        QTest::mouseClick(h.view->addLightButton(), Qt::LeftButton);
        QCOMPARE(h.helper->lightRules().size(), LightList::kMaxRules);
        QVERIFY(!h.view->addLightButton()->isEnabled());

        h.helper->addRule();
        QCOMPARE(h.helper->lightRules().size(), LightList::kMaxRules);
        QCOMPARE(Preferences::standard().integer(u"rule_count"_qs).value, qint64(LightList::kMaxRules));

        h.helper->removeRule(0);
        QVERIFY(h.view->addLightButton()->isEnabled());
    }

    void draggingASliderStoresEveryStepAndKeepsTheRow()
    {
        auto& h = showWindow();
        h.connectBridge();
        QPointer<LightRuleUI> row = h.view->rows().at(0);
        choose(row->lightPicker(), u"Desk Lamp"_qs);
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
        QVERIFY(row && slider && h.view->rows().at(0) == row && row->hueSlider() == slider);
        const auto key = LightRule::key(row->rule()->ruleID(), u"on_hue"_qs);
        QCOMPARE(Preferences::standard().real(key).valueOr(-2), 65535.0);

        // The saturation track follows hue and brightness: one third round the circle at full
        // brightness runs from white to pure green.
        row->rule()->setOnHueDegrees(65535.0 / 3);
        row->rule()->setOnValue(255);
        const QList<QColor> track = row->saturationSlider()->sliderStyle().track.colors;
        QCOMPARE(track.size(), 2);
        QCOMPARE(track.first().toRgb(), QColor(255, 255, 255));
        QCOMPARE(track.last().toRgb(), QColor(0, 255, 0));
    }
};

ORVEL_TEST_MAIN(TestSettingsWindow)
#include "tst_SettingsWindow.moc"
