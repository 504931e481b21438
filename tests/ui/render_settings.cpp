// Draws the settings window in its three typical states, 400 by 500 points, into PNG files:
//   settings-empty.png       before any bridge is found
//   settings-connected.png   connected, with a colour light, a white light and a plug, and a headline
//   settings-flash-test.png  while a flash test runs
//   midi-settings-*.png      the MIDI Settings window's three tabs, a DAW connected, triggers learned
// Usage: orvel_render_settings <output directory>
// Runs on the offscreen platform, in a temporary home, against a fake bridge.

#include "CannedNetwork.h"
#include "SettingsHarness.h"

#include "app/LoadedNews.h"
#include "controller/midi/MidiDecoder.h"
#include "rules/LightRule.h"
#include "ui/ContentView.h"
#include "ui/MidiSettingsWindow.h"

#include "ui/TopStack.h"
#include <QTabWidget>

#include <QApplication>
#include <QDir>
#include <QFont>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

using namespace orvel;
using orvel::test::SettingsHarness;

namespace {

bool save(ContentView& view, const QString& path)
{
    view.resize(400, 500);
    view.show();
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    if (!view.grab().save(path)) {
        std::fprintf(stderr, "could not write %s\n", qPrintable(path));
        return false;
    }
    std::printf("wrote %s\n", qPrintable(path));
    return true;
}

void connectWithThreeKindsOfRules(SettingsHarness& h)
{
    Preferences::standard().setInteger(QStringLiteral("rule_count"), 3);
    h.connectBridge();
    const auto& rules = h.helper->lightRules();
    for (quint64 i = 0; i < 3 && i < quint64(rules.size()); ++i)
        rules[qsizetype(i)]->setLightID(i);
    rules[0]->setOnHueDegrees(46920);
    rules[0]->setOnSaturation(200);
    rules[0]->setOnValue(230);
    rules[1]->setOnValue(150);
    h.clock.advance(2.5);
}

} // namespace

int main(int argc, char** argv)
{
    QTemporaryDir home(QDir::tempPath() + QStringLiteral("/orvel-render-XXXXXX"));
    const QByteArray root = home.path().toUtf8();
    setenv("HOME", root.constData(), 1);
    setenv("XDG_CONFIG_HOME", (root + "/.config").constData(), 1);
    setenv("XDG_DATA_HOME", (root + "/.local/share").constData(), 1);
    setenv("XDG_CACHE_HOME", (root + "/.cache").constData(), 1);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Orvel"));
    QApplication::setFont(QFont(QStringLiteral("DejaVu Sans"), 9));
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs");
    QDir().mkpath(out);
    bool ok = true;

    {
        SettingsHarness h(home.filePath(QStringLiteral("empty.json")));
        h.helper->setUp();
        h.clock.advance(3.0);
        ok &= save(*h.view, out + QStringLiteral("/settings-empty.png"));
    }
    {
        auto* network =
            new test::CannedNetwork("Orvel 1.1 is out: MIDI learn || https://orvel.example.com/news/1-1");
        LoadedNews news(QStringLiteral("1.0.0"), QStringLiteral("news.invalid"), network);
        network->setParent(&news);
        QSignalSpy finished(&news, &LoadedNews::finished);
        finished.wait(5000);

        SettingsHarness h(home.filePath(QStringLiteral("connected.json")), &news);
        connectWithThreeKindsOfRules(h);
        ok &= save(*h.view, out + QStringLiteral("/settings-connected.png"));
    }
    {
        SettingsHarness h(home.filePath(QStringLiteral("flash.json")));
        connectWithThreeKindsOfRules(h);
        h.view->topStack()->flashTestButton()->click();
        h.clock.advance(0.2);
        ok &= save(*h.view, out + QStringLiteral("/settings-flash-test.png"));
    }
    {
        SettingsHarness h(home.filePath(QStringLiteral("midi.json")));
        h.midi->systemPorts = {
            {u"ardour:mackie control out"_qs, u"ardour"_qs, u"mackie control out"_qs, true},
            {u"ardour:mackie control in"_qs, u"ardour"_qs, u"mackie control in"_qs, false},
            {u"USB Keys:MIDI 1 Output"_qs, u"USB Keys"_qs, u"MIDI 1 Output"_qs, true}};
        h.helper->setUp();
        MidiTriggerSettings settings;
        settings.selectNote = false;
        h.helper->setTriggerSettings(settings);
        h.helper->midiSources()->setRemembered(u"ardour:mackie control out"_qs, true);
        auto message = [](const char* hex) {
            const QByteArray bytes = QByteArray::fromHex(hex);
            return *decodeMidi(reinterpret_cast<const unsigned char*>(bytes.constData()),
                               std::size_t(bytes.size()));
        };
        const std::pair<const char*, TriggerAction> lessons[] = {{"99 3c 64", TriggerAction::On},
                                                                 {"b0 40 7f", TriggerAction::On},
                                                                 {"b0 40 00", TriggerAction::Off}};
        for (const auto& [hex, action] : lessons) {
            h.helper->startLearning(action);
            h.midi->deliver({message(hex)});
        }
        auto learned = h.helper->learnedTriggers();
        learned[1].low = 64;
        h.helper->setLearnedTriggers(learned);
        h.view->showMidiSettings();
        MidiSettingsWindow& window = *h.view->midiSettings();
        for (const char* hex :
             {"90 5f 7f", "b0 41 33", "b0 42 32", "d0 12", "b0 41 34", "b0 40 7f", "90 5f 00"})
            h.midi->deliver({message(hex)});
        h.clock.advance(0.2);
        auto* tabs = window.findChild<QTabWidget*>(u"midiTabs"_qs);
        const char* names[] = {"triggers", "connections", "activity"};
        for (int i = 0; i < 3; ++i) {
            tabs->setCurrentIndex(i);
            QCoreApplication::processEvents();
            ok &= window.grab().save(out +
                                     QStringLiteral("/midi-settings-%1.png").arg(QLatin1String(names[i])));
        }
    }
    return ok ? EXIT_SUCCESS : EXIT_FAILURE;
}
