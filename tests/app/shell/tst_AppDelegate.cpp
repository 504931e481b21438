// The application shell in-process, over fake bridges and fake MIDI on a manual clock: the launch
// sequence, hiding and unhiding, the no-tray fallback and the shutdown.

#include "app/AppDelegate.h"
#include "app/LaunchAtLogin.h"
#include "app/SettingsWindow.h"
#include "controller/LightList.h"
#include "platform/Console.h"
#include "platform/MainQueue.h"
#include "platform/Preferences.h"
#include "support/FakeHueBridge.h"
#include "support/FakeMidi.h"
#include "support/TestMain.h"
#include "ui/ContentView.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QMenu>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTemporaryDir>

using namespace orvel;
using orvel::test::FakeBridgeServices;
using orvel::test::FakeHueBridge;
using orvel::test::FakeMidiEndpoints;

namespace {

const QString kHost = QStringLiteral("10.0.0.2");

QWidget* aboutWindow()
{
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->isVisible() && widget->windowTitle() == QStringLiteral("About Orvel"))
            return widget;
    }
    return nullptr;
}

QAction* menuEntry(QMenu* menu, const QString& text)
{
    for (QAction* action : menu->actions()) {
        if (action->text() == text)
            return action;
    }
    return nullptr;
}

} // namespace

class AppDelegateTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void launchShowsTheCompletedWindowAndATwoEntryMenu();
    void aboutOpensOnlyOnTheFirstLaunch();
    void launchAtLoginStartsHiddenOnlyWithATray_data();
    void launchAtLoginStartsHiddenOnlyWithATray();
    void closingHidesAndOpenBringsBackTheSameWindow();
    void withoutATrayClosingMinimises();
    void quitSwitchesRulesOffAndKeepsTheLoopRunningForTheWrites();
    void quitEndsOnceEveryWriteIsAnswered();
    void quitWaitsForThrottledRules();
    void aSecondQuitEndsAtOnce();
    void quitWithEveryRuleOffEndsAtOnce();

private:
    // A delegate over fake services; `rules` stored rules on lights 0, 1, ... (at most the
    // bridge's eight lights).
    AppDelegate& launch(bool tray = true, int rules = 2);
    void turnRulesOn();

    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<ManualClock> clock_;
    std::unique_ptr<ScopedMainQueue> scope_;
    std::shared_ptr<FakeBridgeServices> bridges_;
    std::shared_ptr<FakeMidiEndpoints> midi_;
    std::unique_ptr<AppDelegate> delegate_;
    std::unique_ptr<ConsoleCapture> console_;
    std::function<int()> inFlight_;
    int exits_ = 0;
};

void AppDelegateTest::init()
{
    dir_ = std::make_unique<QTemporaryDir>();
    Preferences::installStandard(std::make_unique<Preferences>(dir_->filePath(QStringLiteral("prefs.json"))));
    clock_ = std::make_unique<ManualClock>();
    scope_ = std::make_unique<ScopedMainQueue>(*clock_);
    bridges_ = std::make_shared<FakeBridgeServices>();
    bridges_->configure = [](FakeHueBridge& bridge) {
        for (int i = 0; i < 8; ++i)
            bridge.addColorLight(QStringLiteral("Light %1").arg(i), 8000 + i, 140, 200, i % 2 == 0);
    };
    midi_ = std::make_shared<FakeMidiEndpoints>();
    console_ = std::make_unique<ConsoleCapture>();
    inFlight_ = nullptr;
    exits_ = 0;
}

void AppDelegateTest::cleanup()
{
    delegate_.reset();
    for (QWidget* widget : QApplication::topLevelWidgets())
        widget->close();
    QApplication::processEvents();
    LaunchAtLogin::setEnabled(false);
    console_.reset();
    scope_.reset();
    clock_.reset();
    Preferences::installStandard(nullptr);
}

AppDelegate& AppDelegateTest::launch(bool tray, int rules)
{
    Preferences& prefs = Preferences::standard();
    prefs.setText(QStringLiteral("hue_username"), QStringLiteral("user1"));
    prefs.setInteger(QStringLiteral("rule_count"), rules);
    for (int i = 0; i < rules; ++i)
        prefs.setInteger(LightRule::key(i, QStringLiteral("light_index")), i);

    AppEnvironment env;
    env.bridges = bridges_;
    env.midi = midi_;
    env.bridgeHost = kHost;
    env.trayAvailable = tray;
    env.newsBaseUrl = QUrl(QStringLiteral("http://127.0.0.1:9"));
    env.writesInFlight = [this] { return inFlight_ ? inFlight_() : 0; };
    if (!inFlight_)
        env.writesInFlight = nullptr;
    env.exitApp = [this] { ++exits_; };
    delegate_ = std::make_unique<AppDelegate>(std::move(env));
    delegate_->applicationDidFinishLaunching();
    // Past the rules' first blink and the start-up flash test.
    clock_->advance(3.0);
    if (bridges_->latest())
        bridges_->latest()->writes.clear();
    return *delegate_;
}

void AppDelegateTest::turnRulesOn()
{
    midi_->deliver({FakeMidiEndpoints::noteOn(95, 127)});
    // Past the throttled rules (from the sixth on) too.
    clock_->advance(3.0);
}

void AppDelegateTest::launchShowsTheCompletedWindowAndATwoEntryMenu()
{
    AppDelegate& app = launch();

    const QStringList& lines = console_->lines();
    const qsizetype banner = lines.indexOf(QStringLiteral("===================="));
    QVERIFY(banner >= 0);
    QCOMPARE(lines.value(banner + 1), QStringLiteral("Application Launched"));

    QVERIFY(app.statusItem());
    QVERIFY(!app.statusItem()->icon().isNull());
    QCOMPARE(app.statusItem()->contextMenu(), app.statusMenu());
    const QList<QAction*> entries = app.statusMenu()->actions();
    QCOMPARE(entries.size(), 2);
    QCOMPARE(entries[0]->text(), QStringLiteral("Open Orvel Settings"));
    QCOMPARE(entries[1]->text(), QStringLiteral("Quit Orvel"));
    for (QAction* entry : entries)
        QVERIFY(entry->shortcut().isEmpty());

    SettingsWindow* window = app.window();
    QVERIFY(window->isVisible());
    QCOMPARE(window->windowTitle(), QStringLiteral("Orvel"));
    QCOMPARE(window->centralWidget()->size(), QSize(400, 500));
    QCOMPARE(window->minimumSize(), window->maximumSize());
    const Qt::WindowFlags flags = window->windowFlags();
    QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(flags.testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
    // Centred before the window manager adds its frame, so off by the frame's width at most.
    const QPoint middle = window->screen()->availableGeometry().center();
    QVERIFY((window->frameGeometry().center() - middle).manhattanLength() <= 8);

    // The controller is built, given its view, hosted and started.
    ContentView* view = app.contentView();
    QVERIFY(view);
    QCOMPARE(window->content(), view);
    QCOMPARE(view->helper(), app.controller());
    QCOMPARE(view->loadedNews(), app.loadedNews());
    QCOMPARE(app.controller()->contentView(), view);
    QCOMPARE(midi_->destinationName, QStringLiteral("Orvel"));
    QCOMPARE(app.controller()->lightRules().size(), 2);

    // "About Orvel" in the window's menu opens another About window each time.
    QWidget* first = aboutWindow();
    QVERIFY(first);
    first->close();
    QApplication::processEvents();
    QAction* about = window->findChild<QAction*>(QStringLiteral("aboutAction"));
    QVERIFY(about);
    about->trigger();
    about->trigger();
    int shown = 0;
    for (QWidget* widget : QApplication::topLevelWidgets())
        shown += widget->isVisible() && widget->windowTitle() == QStringLiteral("About Orvel");
    QCOMPARE(shown, 2);
}

void AppDelegateTest::aboutOpensOnlyOnTheFirstLaunch()
{
    launch();
    QVERIFY(aboutWindow());
    QCOMPARE(Preferences::standard().boolean(QStringLiteral("has_shown_about")).valueOr(false), true);

    // The next launch over the same store.
    delegate_.reset();
    for (QWidget* widget : QApplication::topLevelWidgets())
        widget->close();
    QApplication::processEvents();
    launch();
    QVERIFY(delegate_->window()->isVisible());
    QVERIFY(!aboutWindow());
}

void AppDelegateTest::launchAtLoginStartsHiddenOnlyWithATray_data()
{
    QTest::addColumn<bool>("tray");
    QTest::newRow("tray") << true;
    QTest::newRow("no tray") << false;
}

void AppDelegateTest::launchAtLoginStartsHiddenOnlyWithATray()
{
    QFETCH(bool, tray);
    QVERIFY(LaunchAtLogin::setEnabled(true));
    Preferences::standard().setBool(QStringLiteral("has_shown_about"), true);

    AppDelegate& app = launch(tray);

    QCOMPARE(app.window()->isVisible(), !tray);
    QCOMPARE(console_->contains(QStringLiteral("was launched by auto-launcher, hiding")), tray);
    QCOMPARE(console_->contains(QStringLiteral("hiding")), tray);
    if (!tray) {
        QVERIFY(console_->contains(QStringLiteral("no system tray on this desktop: the settings window "
                                                  "stays open, and its close button minimises it")));
    }
    // Hidden or not, the window is completed and the controller runs.
    QCOMPARE(app.window()->windowTitle(), QStringLiteral("Orvel"));
    QCOMPARE(app.controller()->lightRules().size(), 2);
    turnRulesOn();
    QVERIFY(bridges_->latest()->writes.contains(QStringLiteral("0 on=true")));
}

void AppDelegateTest::closingHidesAndOpenBringsBackTheSameWindow()
{
    AppDelegate& app = launch();
    ContentView* view = app.contentView();
    app.controller()->lightRules()[0]->setOnHueDegrees(12345);

    QVERIFY(!app.window()->close());
    QVERIFY(!app.window()->isVisible());
    QVERIFY(console_->contains(QStringLiteral("hiding")));

    // Hidden, the controller still follows MIDI.
    turnRulesOn();
    QVERIFY2(bridges_->latest()->writes.contains(QStringLiteral("0 hue=12345 sat=255 bri=255")),
             qPrintable(bridges_->latest()->writes.join(QStringLiteral(" | "))));

    menuEntry(app.statusMenu(), QStringLiteral("Open Orvel Settings"))->trigger();
    QVERIFY(app.window()->isVisible());
    QCOMPARE(app.contentView(), view);
    QCOMPARE(app.window()->content(), view);
    QCOMPARE(app.controller()->lightRules()[0]->onHueDegrees(), 12345.0);
    QVERIFY(app.controller()->on());
    QVERIFY(console_->contains(QStringLiteral("unhiding")));
}

void AppDelegateTest::withoutATrayClosingMinimises()
{
    AppDelegate& app = launch(false);
    QVERIFY(!app.window()->close());
    QVERIFY(app.window()->isVisible());
    QVERIFY(app.window()->windowState().testFlag(Qt::WindowMinimized));
    QVERIFY(!console_->contains(QStringLiteral("hiding")));

    // The menu still works where a tray shows up later.
    menuEntry(app.statusMenu(), QStringLiteral("Open Orvel Settings"))->trigger();
    QVERIFY(!app.window()->windowState().testFlag(Qt::WindowMinimized));
}

void AppDelegateTest::quitSwitchesRulesOffAndKeepsTheLoopRunningForTheWrites()
{
    AppDelegate& app = launch();
    turnRulesOn();
    FakeHueBridge& bridge = *bridges_->latest();
    bridge.writes.clear();

    menuEntry(app.statusMenu(), QStringLiteral("Quit Orvel"))->trigger();
    QVERIFY(console_->contains(QStringLiteral("bai")));
    QVERIFY(!app.controller()->on());
    // Each rule writes its light's base state at once (light 1 was on, light 2 off).
    QVERIFY2(bridge.writes.contains(QStringLiteral("0 on=true")) &&
                 bridge.writes.contains(QStringLiteral("0 hue=8000 sat=140 bri=200")) &&
                 bridge.writes.contains(QStringLiteral("1 on=false")),
             qPrintable(bridge.writes.join(QStringLiteral(" | "))));

    // The client cannot tell when its writes are answered: the full second is given.
    clock_->advance(0.9);
    QCOMPARE(exits_, 0);
    clock_->advance(0.2);
    QCOMPARE(exits_, 1);
    clock_->advance(5);
    QCOMPARE(exits_, 1);

    QFile file(dir_->filePath(QStringLiteral("prefs.json")));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll().contains("\"hue_username\""));
}

void AppDelegateTest::quitEndsOnceEveryWriteIsAnswered()
{
    int inFlight = 2;
    inFlight_ = [&inFlight] { return inFlight; };
    AppDelegate& app = launch();
    turnRulesOn();

    app.exit();
    clock_->advance(0.2);
    QCOMPARE(exits_, 0);
    inFlight = 0;
    clock_->advance(AppDelegate::kShutdownPoll);
    QCOMPARE(exits_, 1);
}

void AppDelegateTest::quitWaitsForThrottledRules()
{
    // Lights are named by position in the writes. The first five rules switch off at once, the others one by
    // one after a pause; every light is put back before the process ends.
    int inFlight = 0;
    inFlight_ = [&inFlight] { return inFlight; };
    AppDelegate& app = launch(true, 7);
    turnRulesOn();
    FakeHueBridge& bridge = *bridges_->latest();
    bridge.writes.clear();

    app.exit();
    clock_->advance(1.5);
    QCOMPARE(exits_, 0);
    QVERIFY(!bridge.writes.contains(QStringLiteral("5 on=false")));
    clock_->advance(1.5);
    QCOMPARE(exits_, 1);
    QVERIFY2(bridge.writes.contains(QStringLiteral("5 on=false")) &&
                 bridge.writes.contains(QStringLiteral("6 on=true")),
             qPrintable(bridge.writes.join(QStringLiteral(" | "))));
}

void AppDelegateTest::aSecondQuitEndsAtOnce()
{
    AppDelegate& app = launch();
    turnRulesOn();
    app.exit();
    QCOMPARE(exits_, 0);
    app.exit();
    QCOMPARE(exits_, 1);
    QCOMPARE(console_->lines().count(QStringLiteral("bai")), 1);
    clock_->advance(2);
    QCOMPARE(exits_, 1);
}

void AppDelegateTest::quitWithEveryRuleOffEndsAtOnce()
{
    AppDelegate& app = launch();
    app.exit();
    QCOMPARE(exits_, 1);
    QVERIFY(bridges_->latest()->writes.isEmpty());
}

ORVEL_TEST_MAIN(AppDelegateTest)
#include "tst_AppDelegate.moc"
