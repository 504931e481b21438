// Draws the settings window, 400 by 500 points, into PNG files for docs/: settings-empty.png (no
// bridge yet), settings-connected.png (a colour light, a white light, a plug and a headline),
// settings-flash-test.png, and midi-settings-*.png (the MIDI Settings window's three tabs).
// Usage: orvel_render_settings <output directory>. Offscreen, in a temporary home, against the
// bridge simulator on loopback.

#include "CannedNetwork.h"
#include "SettingsHarness.h"
#include "support/TestMain.h"

#include "app/LoadedNews.h"
#include "rules/LightRule.h"
#include "ui/MidiSettingsWindow.h"
#include "ui/TopStack.h"

#include <QApplication>
#include <QDir>
#include <QFont>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>

#include <cstdio>
#include <cstdlib>

using namespace orvel;
using orvel::test::FakeMidiEndpoints;
using orvel::test::SettingsHarness;

namespace {

QString out;
bool ok = true;

void save(QWidget& widget, const QString& name)
{
    if (widget.isHidden()) {
        widget.resize(400, 500);
        widget.show();
    }
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    const bool saved = widget.grab().save(out + u"/"_qs + name);
    std::fprintf(saved ? stdout : stderr, "%s %s/%s\n", saved ? "wrote" : "could not write", qPrintable(out),
                 qPrintable(name));
    ok &= saved;
}

void connectWithThreeKindsOfRules(SettingsHarness& h)
{
    h.prefs().setInteger(u"rule_count"_qs, 3);
    h.connect();
    const auto& rules = h.list->lightRules();
    for (quint64 i = 0; i < 3; ++i)
        rules[i]->setLightID(i);
    rules[0]->setOnHueDegrees(46920);
    rules[0]->setOnSaturation(200);
    rules[0]->setOnValue(230);
    rules[1]->setOnValue(150);
    h.advance(2.5);
}

} // namespace

int main(int argc, char** argv)
{
    test::isolateHome();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    QApplication::setApplicationName(u"Orvel"_qs);
    QApplication::setFont(QFont(u"DejaVu Sans"_qs, 9));
    out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : u"docs"_qs;
    QDir().mkpath(out);

    {
        SettingsHarness h;
        h.list->setUp();
        h.advance(3.0);
        save(*h.view, u"settings-empty.png"_qs);
    }
    {
        auto* network =
            new test::CannedNetwork("Orvel 1.1 is out: MIDI learn || https://orvel.example.com/news/1-1");
        LoadedNews news(u"1.0.0"_qs, u"news.invalid"_qs, network);
        network->setParent(&news);
        QSignalSpy(&news, &LoadedNews::finished).wait(5000);
        SettingsHarness h(&news);
        connectWithThreeKindsOfRules(h);
        save(*h.view, u"settings-connected.png"_qs);
    }
    {
        SettingsHarness h;
        connectWithThreeKindsOfRules(h);
        h.view->topStack()->flashTestButton()->click();
        h.advance(0.2);
        save(*h.view, u"settings-flash-test.png"_qs);
    }
    // A DAW connected, three triggers learned (one widened to a range) and a little traffic.
    SettingsHarness h;
    h.midi->systemPorts = {{u"ardour:mackie control out"_qs, u"ardour"_qs, u"mackie control out"_qs, true},
                           {u"ardour:mackie control in"_qs, u"ardour"_qs, u"mackie control in"_qs, false},
                           {u"USB Keys:MIDI 1 Output"_qs, u"USB Keys"_qs, u"MIDI 1 Output"_qs, true}};
    h.list->setUp();
    MidiTriggerSettings settings;
    settings.selectNote = false;
    h.list->setTriggerSettings(settings);
    h.list->midiSources()->setRemembered(u"ardour:mackie control out"_qs, true);
    const std::tuple<int, int, int, TriggerAction> lessons[] = {{0x99, 0x3c, 0x64, TriggerAction::On},
                                                                {0xb0, 0x40, 0x7f, TriggerAction::On},
                                                                {0xb0, 0x40, 0, TriggerAction::Off}};
    for (const auto& [status, data1, data2, action] : lessons) {
        h.list->startLearning(action);
        h.midi->deliver({FakeMidiEndpoints::message(quint8(status), quint8(data1), quint8(data2))});
    }
    auto learned = h.list->learnedTriggers();
    learned[1].low = 64;
    h.list->setLearnedTriggers(learned);
    h.view->showMidiSettings();
    const std::tuple<int, int, int> traffic[] = {
        {0x90, 0x5f, 0x7f}, {0xb0, 0x41, 0x33}, {0xb0, 0x42, 0x32}, {0xb0, 0x40, 0x7f}, {0x90, 0x5f, 0}};
    for (const auto& [status, data1, data2] : traffic)
        h.midi->deliver({FakeMidiEndpoints::message(quint8(status), quint8(data1), quint8(data2))});
    h.advance(0.2);
    auto* tabs = h.view->midiSettings()->findChild<QTabWidget*>(u"midiTabs"_qs);
    const char* names[] = {"triggers", "connections", "activity"};
    for (int i = 0; i < 3; ++i) {
        tabs->setCurrentIndex(i);
        save(*h.view->midiSettings(), u"midi-settings-%1.png"_qs.arg(QLatin1String(names[i])));
    }
    return ok ? EXIT_SUCCESS : EXIT_FAILURE;
}
