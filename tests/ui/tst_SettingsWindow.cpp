#include "CannedNetwork.h"
#include "SettingsHarness.h"
#include "support/TestMain.h"

#include "app/BuildInfo.h"
#include "app/LaunchAtLogin.h"
#include "app/LoadedNews.h"
#include "app/SiteLinks.h"
#include "rules/LightRule.h"
#include "ui/BottomButtons.h"
#include "ui/LightRuleUI.h"
#include "ui/MidiSettingsWindow.h"
#include "ui/TopStack.h"
#include "ui/sliders/ValueSlider.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
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
    picker->showPopup();
    QAbstractItemView* list = picker->view();
    QVERIFY(QTest::qWaitForWindowExposed(list->window()));
    const QModelIndex item = list->model()->index(picker->findText(name), 0);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(item).center());
    QTRY_VERIFY(!list->window()->isVisible());
}

// Which of the hue, saturation and brightness rows and the "On" switch are shown.
QList<bool> shownRows(const LightRuleUI* row)
{
    return {!row->hueRow()->isHidden(), !row->saturationRow()->isHidden(), !row->brightnessRow()->isHidden(),
            !row->onSwitch()->isHidden()};
}

} // namespace

class TestSettingsWindow : public QObject {
    Q_OBJECT

    std::unique_ptr<SettingsHarness> h_;

    // The settings view at its 400 by 500 points, over a fresh preferences store.
    SettingsHarness& showWindow(const QByteArray& lights = test::kThreeKinds,
                                const sim::SimOptions& options = {})
    {
        h_ = std::make_unique<SettingsHarness>(nullptr, lights, options);
        h_->view->resize(400, 500);
        h_->view->show();
        QTest::qWaitForWindowExposed(h_->view.get());
        return *h_;
    }
    // Connected, with the first row on the colour light and its blink over.
    LightRuleUI* showDeskRow()
    {
        showWindow().connect();
        LightRuleUI* row = h_->view->rows().at(0);
        choose(row->lightPicker(), u"Desk Lamp"_qs);
        h_->advance(2.1);
        return row;
    }

private slots:
    void initTestCase() { QCoreApplication::setApplicationVersion(u"1.4"_qs); }
    void cleanup() { h_.reset(); }

    void controlsAreUsableExactlyWhenTheControllerAllowsIt_data()
    {
        QTest::addColumn<bool>("connected");
        QTest::addColumn<int>("clicked"); // which of controls(), or -1
        QTest::addColumn<QList<bool>>("expected");
        QTest::newRow("no bridge yet") << false << -1 << QList<bool>{true, false, false, false};
        QTest::newRow("connected") << true << -1 << QList<bool>{true, true, true, true};
        QTest::newRow("system disabled") << true << 0 << QList<bool>{true, false, false, true};
        QTest::newRow("always on") << true << 1 << QList<bool>{false, true, false, false};
        QTest::newRow("flash test running") << true << 2 << QList<bool>{true, false, false, false};
    }

    void controlsAreUsableExactlyWhenTheControllerAllowsIt()
    {
        QFETCH(bool, connected);
        QFETCH(int, clicked);
        QFETCH(QList<bool>, expected);
        auto& h = showWindow();
        if (connected) {
            h.connect();
        } else {
            h.list->setUp();
            h.advance(3.0);
        }
        if (clicked >= 0)
            QTest::mouseClick(controls(*h.view).at(clicked), Qt::LeftButton);
        QCOMPARE(usable(*h.view), expected);
        if (clicked == 2) { // the flash test ends by itself and everything comes back
            h.advance(2.5);
            QCOMPARE(usable(*h.view), QList<bool>(4, true));
        }
    }

    // Every switch and the channel reach the controller and its store, and the connections and
    // the learned triggers show as plain text.
    void midiSettingsEditTheTriggersAndShowTheConnections()
    {
        auto& h = showWindow();
        h.list->setUp();
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
        const MidiTriggerSettings s = h.list->triggerSettings();
        QCOMPARE(
            QList<bool>({s.recordNote, s.selectNote, s.huiSequences, s.lightWhileArmed, s.offWhenDawLeaves}),
            QList<bool>({false, false, false, true, false}));
        QCOMPARE(h.prefs().integer(u"midi_channel"_qs).value, qint64(2));
        // Without the Record LED, "while armed" has nothing to go by.
        QVERIFY(!window->findChild<QCheckBox*>(u"armedSwitch"_qs)->isEnabled());

        h.midi->systemPorts = {{u"<b>daw</b>:out"_qs, u"<b>daw</b>"_qs, u"out"_qs, true}};
        h.midi->tell(MidiSystemEvent::Kind::ConnectionsChanged, {u"<b>daw</b>:out"_qs});
        auto* sending = window->findChild<QLabel*>(u"sendingToOrvel"_qs);
        QCOMPARE(sending->text(), u"<b>daw</b>:out"_qs);
        QCOMPARE(sending->textFormat(), Qt::PlainText);
        window->findChild<QCheckBox*>(u"source:<b>daw</b>:out"_qs)->click();
        QCOMPARE(h.list->midiSources()->remembered(), QStringList{u"<b>daw</b>:out"_qs});

        // Escape ends a lesson without closing the window, and closes it when nothing is learned.
        window->findChild<QPushButton*>(u"learnOffButton"_qs)->click();
        QTest::keyClick(window, Qt::Key_Escape);
        QVERIFY(!h.list->learning() && window->isVisible());
        window->findChild<QPushButton*>(u"learnOffButton"_qs)->click();
        h.midi->deliver({test::FakeMidiEndpoints::message(0xB3, 64, 10)});
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); // rows are made anew
        QCOMPARE(window->findChild<QLabel*>(u"triggerText"_qs)->text(),
                 u"Lights back: Controller 64, value 10, channel 4"_qs);
        QTest::keyClick(window, Qt::Key_Escape);
        QVERIFY(!window->isVisible());
    }

    void statusLineAndLightNamesArePlainText()
    {
        sim::SimOptions options;
        options.name = u"<b>Living</b> & Co"_qs;
        auto& h = showWindow(R"({"1": {"name": "<i>Lamp</i>", "type": "Extended color light",
            "state": {"on": true, "hue": 0, "sat": 0, "bri": 1, "colormode": "hs"}}})",
                             options);
        h.connect();
        QLabel* status = h.view->topStack()->statusLabel();
        QVERIFY(status->text().contains(u"<b>Living</b> & Co"_qs));
        QCOMPARE(status->textFormat(), Qt::PlainText);
        QCOMPARE(h.view->rows().at(0)->lightPicker()->itemText(0), u"<i>Lamp</i>"_qs);
    }

    void rowsFollowTheChosenLightAndWaitForItsBlink()
    {
        auto& h = showWindow();
        h.connect();
        LightRuleUI* row = h.view->rows().at(0);
        QCOMPARE(shownRows(row), QList<bool>(4, false));
        // A colour light blinks for 2 seconds after the pick, and the whole row waits, "Delete"
        // included.
        choose(row->lightPicker(), u"Desk Lamp"_qs);
        h.advance(1.9);
        QVERIFY(!row->lightPicker()->isEnabled() && !row->deleteButton()->isEnabled());
        h.advance(0.2);
        QVERIFY(row->lightPicker()->isEnabled() && row->deleteButton()->isEnabled());
        QCOMPARE(shownRows(row), QList<bool>(4, true));
        // A white light: brightness and its switch; a plug: only its switch, at once.
        choose(row->lightPicker(), u"Hallway"_qs);
        h.advance(2.1);
        QCOMPARE(shownRows(row), (QList<bool>{false, false, true, true}));
        choose(row->lightPicker(), u"Fan Plug"_qs);
        QCOMPARE(shownRows(row), (QList<bool>{false, false, false, true}));
    }

    void alwaysOnLocksTheRowUntilMidiSwitchesItOff()
    {
        LightRuleUI* row = showDeskRow();
        // While "Always On" stays on after MIDI switched the rules off, only the hue row is locked.
        QTest::mouseClick(h_->view->topStack()->alwaysOnSwitch(), Qt::LeftButton);
        QVERIFY(!row->lightPicker()->isEnabled() && !row->saturationSlider()->isEnabled());
        h_->list->rulesOff();
        h_->advance(1.0);
        QVERIFY(!row->rule()->on() && h_->list->overrideToggle());
        QVERIFY(!row->hueSlider()->isEnabled() && row->saturationSlider()->isEnabled());
        QVERIFY(row->lightPicker()->isEnabled());
    }

    void addAndDeleteKeepRowsInStepWithTheRules()
    {
        auto& h = showWindow();
        h.connect();
        QTest::mouseClick(h.view->addLightButton(), Qt::LeftButton);
        h.advance(2.1);
        // Rows are positional: after the first goes, the next moves up and learns its new place.
        QTest::mouseClick(h.view->rows().at(2)->deleteButton(), Qt::LeftButton);
        QTest::mouseClick(h.view->rows().at(0)->deleteButton(), Qt::LeftButton);
        QCOMPARE(h.view->rows().at(0)->rule(), h.list->lightRules().at(0));
        QCOMPARE(h.view->rows().at(0)->ruleIndex()->val(), qint64(0));
        // The last rule cannot go; its row stays.
        QTest::mouseClick(h.view->rows().at(0)->deleteButton(), Qt::LeftButton);
        QCOMPARE(h.view->rows().size(), 1);
    }

    void addLightStopsAtTheRuleCountAStartReadsBack()
    {
        auto& h = showWindow();
        h.prefs().setInteger(u"rule_count"_qs, LightList::kMaxRules - 1);
        h.connect();
        QTest::mouseClick(h.view->addLightButton(), Qt::LeftButton);
        QVERIFY(!h.view->addLightButton()->isEnabled());
        h.list->addRule();
        QCOMPARE(h.prefs().integer(u"rule_count"_qs).value, qint64(LightList::kMaxRules));
        h.list->removeRule(0);
        QVERIFY(h.view->addLightButton()->isEnabled());
    }

    void wheelOverALightPickerScrollsTheListAndKeepsTheLight()
    {
        auto& h = showWindow();
        h.prefs().setInteger(u"rule_count"_qs, 8);
        h.connect();
        LightRuleUI* row = h.view->rows().at(1);
        choose(row->lightPicker(), u"Desk Lamp"_qs);
        h.advance(3.0);
        h.bridge.sim.clearRequests();
        QCoreApplication::processEvents();
        QScrollBar* bar = h.view->ruleList()->verticalScrollBar();
        const int before = bar->value();
        const QPointF at = QPointF(row->lightPicker()->rect().center());
        QWheelEvent wheel(at, row->lightPicker()->mapToGlobal(at), {}, QPoint(0, -120), Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QSpontaneKeyEvent::setSpontaneous(&wheel); // as from the mouse: it may go on to the list
        qApp->notify(row->lightPicker(), &wheel);
        h.advance(3.0);
        QCOMPARE(row->rule()->lightID(), quint64(0));
        QVERIFY(h.bridge.writes().isEmpty()); // no blink
        QVERIFY(bar->value() > before);
    }

    // Dragged past the far right, hue and brightness store their top values, step by step, and the
    // row stays the same widget throughout.
    void draggingASliderStoresEveryStepAndKeepsTheRow()
    {
        QPointer<LightRuleUI> row = showDeskRow();
        h_->view->ruleList()->ensureWidgetVisible(row->brightnessRow());
        row->rule()->setOnValue(100);
        QCoreApplication::processEvents();
        QSignalSpy announcements(row->rule().get(), &LightRule::changed);
        for (ValueSlider* slider : {row->hueSlider(), row->brightnessSlider()}) {
            const QPoint start = slider->thumbCenter().toPoint();
            QTest::mousePress(slider, Qt::LeftButton, {}, start);
            for (int x = start.x() + 20; x < slider->width() + 60; x += 20)
                QTest::mouseMove(slider, QPoint(x, start.y()));
            QTest::mouseRelease(slider, Qt::LeftButton, {}, QPoint(slider->width() + 60, start.y()));
        }
        QVERIFY(announcements.count() > 6);
        QVERIFY(row && h_->view->rows().at(0) == row);
        for (const auto& [key, top] : {std::pair(u"on_hue"_qs, 65535.0), std::pair(u"on_value"_qs, 255.0)})
            QCOMPARE(Preferences::standard().real(LightRule::key(0, key)).valueOr(-2), top);

        // The saturation track follows hue and brightness: one third round the circle at full
        // brightness runs from white to pure green.
        row->rule()->setOnHueDegrees(65535.0 / 3);
        const QList<QColor> track = row->saturationSlider()->sliderStyle().track.colors;
        QCOMPARE(track.size(), 2);
        QCOMPARE(track.first().toRgb(), QColor(255, 255, 255));
        QCOMPARE(track.last().toRgb(), QColor(0, 255, 0));
    }

    // The headline shows with both its parts, between the site's links, which carry the version.
    void theHeadlineNeedsBothPartsAndOpensItsLink_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("opens"); // empty: the button stays hidden
        QTest::newRow("complete") << QByteArray(
                                         " R&D <b>new</b> bulbs \n|| https://news.example.org/post?id=3 ")
                                  << u"https://news.example.org/post?id=3?ver=1_4"_qs;
        QTest::newRow("empty text") << QByteArray("  || https://news.example.org/post") << QString();
        QTest::newRow("empty link") << QByteArray("Big news ||   ") << QString();
        QTest::newRow("malformed") << QByteArray("Big news | https://news.example.org/post") << QString();
    }

    void theHeadlineNeedsBothPartsAndOpensItsLink()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, opens);
        QList<QUrl> opened;
        ScopedLinkOpener opener([&](const QUrl& url) { opened.append(url); });
        auto* network = new test::CannedNetwork(body);
        LoadedNews news(u"1.4"_qs, u"news.invalid"_qs, network);
        network->setParent(&news);
        QSignalSpy finished(&news, &LoadedNews::finished);
        BottomButtons bar(&news, nullptr);
        QAbstractButton* headline = bar.headlineButton();
        QVERIFY(headline->isHidden());
        bar.resize(400, bar.sizeHint().height());
        bar.show();
        QTRY_COMPARE(finished.count(), 1);
        QCOMPARE(headline->isHidden(), opens.isEmpty());
        if (opens.isEmpty())
            return;
        QCoreApplication::processEvents();
        // Between "Setup Instructions" and "Troubleshooting", all four inside the bar.
        const QList<QAbstractButton*> row{bar.setupInstructionsButton(), headline,
                                          bar.troubleshootingButton(), bar.faqButton()};
        for (int i = 0; i < row.size(); ++i) {
            QVERIFY(row[i]->geometry().left() >= 0 && row[i]->geometry().right() < bar.width());
            QVERIFY(i == 0 || row[i - 1]->geometry().right() < row[i]->geometry().left());
        }
        QVERIFY(headline->shortcut().isEmpty()); // received text is never a shortcut
        for (QAbstractButton* button : row)
            QTest::mouseClick(button, Qt::LeftButton);
        const QString site = u"https://"_qs + QString::fromUtf8(build::siteHost);
        QCOMPARE(opened,
                 (QList<QUrl>{QUrl(site + u"/app-setup-instructions?ver=1_4"_qs), QUrl(opens),
                              QUrl(site + u"/troubleshooting?ver=1_4"_qs), QUrl(site + u"/faq?ver=1_4"_qs)}));
        QCOMPARE(bar.launchAtLoginToggle()->checkBox()->text(), u"Open Orvel at Login"_qs);
    }
};

ORVEL_TEST_MAIN(TestSettingsWindow)
#include "tst_SettingsWindow.moc"
