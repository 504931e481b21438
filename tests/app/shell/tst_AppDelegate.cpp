// The application shell in-process, over fake bridges and fake MIDI on a manual clock. The launch
// banner, first-launch About, hiding at login, MIDI while hidden and the lights put back at quit
// are checked end to end (tst_ShellEndToEnd.cpp); here are the window's lifecycle, the no-tray
// fallback and the shutdown's timing.

#include "app/AppDelegate.h"
#include "app/BridgeWindow.h"
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
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTemporaryDir>

using namespace orvel;
using orvel::test::FakeHueBridge;

namespace {

int aboutWindows()
{
    int shown = 0;
    for (QWidget* widget : QApplication::topLevelWidgets())
        shown += widget->isVisible() && widget->windowTitle() == u"About Orvel"_qs;
    return shown;
}

// One run of the application over fakes, in a preferences store of its own.
struct Shell {
    Shell()
    {
        Preferences::installStandard(std::make_unique<Preferences>(dir.filePath(u"prefs.json"_qs)));
        bridges->configure = [](FakeHueBridge& bridge) {
            for (int i = 0; i < 8; ++i)
                bridge.addColorLight(u"Light %1"_qs.arg(i), 8000 + i, 140, 200, i % 2 == 0);
        };
    }
    ~Shell()
    {
        app.reset();
        for (QWidget* widget : QApplication::topLevelWidgets())
            widget->close();
        QApplication::processEvents();
        LaunchAtLogin::setEnabled(false);
        Preferences::installStandard(nullptr);
    }

    // Launches with `rules` stored rules on lights 0, 1, ... and waits out their first blink and
    // the start-up flash test.
    AppDelegate& launch(bool tray = true, int rules = 2, bool atLogin = false, QString host = u"10.0.0.2"_qs)
    {
        Preferences& prefs = Preferences::standard();
        if (paired)
            prefs.setText(u"hue_username"_qs, u"user1"_qs);
        prefs.setInteger(u"rule_count"_qs, rules);
        for (int i = 0; i < rules; ++i)
            prefs.setInteger(LightRule::key(i, u"light_index"_qs), i);

        AppEnvironment env;
        env.bridges = bridges;
        env.midi = midi;
        env.bridgeHost = host;
        if (!followTray)
            env.trayAvailable = tray;
        env.launchedAtLogin = atLogin;
        env.newsBaseUrl = QUrl(u"http://127.0.0.1:9"_qs);
        if (answeredAfter >= 0)
            env.writesInFlight = [this] { return clock.now() < quitAt + answeredAfter ? 1 : 0; };
        env.exitApp = [this] { ++exits; };
        env.notify = [this](const QString& summary, const QString&) { notifications << summary; };
        app = std::make_unique<AppDelegate>(std::move(env));
        app->applicationDidFinishLaunching();
        clock.advance(3.0);
        return *app;
    }
    // Note 95 at full velocity, then past the throttled rules (from the sixth on) too.
    void turnRulesOn()
    {
        midi->deliver({test::FakeMidiEndpoints::noteOn(95, 127)});
        clock.advance(3.0);
    }

    QTemporaryDir dir;
    ManualClock clock;
    ScopedMainQueue queue{clock};
    ConsoleCapture console;
    std::shared_ptr<test::FakeBridgeServices> bridges = std::make_shared<test::FakeBridgeServices>();
    std::shared_ptr<test::FakeMidiEndpoints> midi = std::make_shared<test::FakeMidiEndpoints>();
    bool paired = true;
    bool followTray = false; // the tray as the session bus announces it
    QStringList notifications;
    double answeredAfter = -1; // how long after quitting every write is answered; -1: not counted
    double quitAt = 0;
    int exits = 0;
    std::unique_ptr<AppDelegate> app;
};

} // namespace

class AppDelegateTest : public QObject {
    Q_OBJECT

private slots:
    void closingHidesTheWindowAndOpenBringsItBack()
    {
        Shell shell;
        AppDelegate& app = shell.launch();
        QStringList entries;
        for (QAction* entry : app.statusMenu()->actions())
            entries << entry->text();
        QCOMPARE(entries, (QStringList{u"Open Orvel Settings"_qs, u"Quit Orvel"_qs}));
        QCOMPARE(app.statusItem()->contextMenu(), app.statusMenu());
        QVERIFY(app.window()->isVisible());
        QCOMPARE(app.window()->windowTitle(), u"Orvel"_qs);
        QCOMPARE(app.window()->centralWidget()->size(), QSize(400, 500));
        QCOMPARE(app.window()->minimumSize(), app.window()->maximumSize());
        // The window's menu opens another About window beside the first launch's.
        QCOMPARE(aboutWindows(), 1);
        app.window()->findChild<QAction*>(u"aboutAction"_qs)->trigger();
        QCOMPARE(aboutWindows(), 2);

        ContentView* view = app.contentView();
        QVERIFY(!app.window()->close());
        QVERIFY(!app.window()->isVisible());
        QVERIFY(shell.console.contains(u"hiding"_qs));
        app.statusMenu()->actions().at(0)->trigger();
        QVERIFY(app.window()->isVisible());
        QCOMPARE(app.window()->content(), view);
        QVERIFY(shell.console.contains(u"unhiding"_qs));
        // A click on the tray icon opens the window too.
        app.window()->close();
        Q_EMIT app.statusItem()->activated(QSystemTrayIcon::Trigger);
        QVERIFY(app.window()->isVisible());
    }

    void trayIconShowsConnectionAndLights()
    {
        Shell shell;
        shell.bridges->configure = [](FakeHueBridge& bridge) {
            bridge.holdReads = true;
            bridge.addColorLight(u"Desk"_qs);
        };
        AppDelegate& app = shell.launch(true, 1);
        QCOMPARE(app.trayState(), TrayState::NotConnected);
        const QImage dimmed = app.statusItem()->icon().pixmap(22).toImage();
        // Each connection step makes a client of its own.
        for (int step = 0; step < 3; ++step) {
            for (const auto& client : std::vector(shell.bridges->clients))
                client->completePendingReads();
            shell.clock.advance(1.0);
        }
        QCOMPARE(app.trayState(), TrayState::Normal);
        QVERIFY(app.statusItem()->icon().pixmap(22).toImage() != dimmed);
        app.controller()->lightRules().front()->setOnHueDegrees(0); // red
        shell.turnRulesOn();
        QCOMPARE(app.trayState(), TrayState::LightsOn);
        // The bulb's middle shows the rule's colour.
        const QColor middle = app.statusItem()->icon().pixmap(24).toImage().pixelColor(12, 9);
        QVERIFY2(middle.red() > 200 && middle.green() < 80, qPrintable(middle.name()));
        shell.app->controller()->setOverrideToggle(false);
        QCOMPARE(app.trayState(), TrayState::Normal);
    }

    void onlyALoginStartHides_data()
    {
        QTest::addColumn<bool>("autostartOn");
        QTest::addColumn<bool>("atLogin");
        QTest::newRow("from the menu, autostart on") << true << false;
        QTest::newRow("from the menu") << false << false;
        QTest::newRow("at login") << true << true;
    }

    void onlyALoginStartHides()
    {
        QFETCH(bool, autostartOn);
        QFETCH(bool, atLogin);
        Shell shell;
        LaunchAtLogin::setEnabled(autostartOn);
        AppDelegate& app = shell.launch(true, 2, atLogin);
        QCOMPARE(app.window()->isVisible(), !atLogin);
        QCOMPARE(shell.console.contains(u"was launched by auto-launcher, hiding"_qs), atLogin);
    }

    void aManualAddressIsRememberedOnceItAnswers_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("given");
        QTest::addColumn<bool>("answers");
        QTest::addColumn<QString>("connectsTo"); // first client the controller makes
        QTest::addColumn<QString>("storedAfter");
        QTest::newRow("given, answers")
            << QString() << u"10.0.0.7:81"_qs << true << u"10.0.0.7:81"_qs << u"10.0.0.7:81"_qs;
        QTest::newRow("given, no bridge there")
            << u"10.0.0.3"_qs << u"10.0.0.9"_qs << false << u"10.0.0.9"_qs << u"10.0.0.3"_qs;
        QTest::newRow("remembered") << u"10.0.0.3"_qs << QString() << true << u"10.0.0.3"_qs
                                    << u"10.0.0.3"_qs;
        QTest::newRow("stored value unusable")
            << u"http://x/"_qs << QString() << true << QString() << u"http://x/"_qs;
    }

    void aManualAddressIsRememberedOnceItAnswers()
    {
        QFETCH(QString, stored);
        QFETCH(QString, given);
        QFETCH(bool, answers);
        QFETCH(QString, connectsTo);
        QFETCH(QString, storedAfter);
        Shell shell;
        if (!stored.isEmpty())
            Preferences::standard().setText(u"bridge_address"_qs, stored);
        shell.bridges->configure = [answers](FakeHueBridge& bridge) { bridge.acceptsUsername = answers; };
        shell.launch(true, 2, false, given);
        QCOMPARE(shell.bridges->clients.empty() ? QString() : shell.bridges->clients.front()->host(),
                 connectsTo);
        // Discovery runs beside the remembered address.
        QCOMPARE(shell.bridges->discoveryDuration, 20);
        QCOMPARE(Preferences::standard().text(u"bridge_address"_qs).valueOr(QString()), storedAfter);
        QCOMPARE(shell.console.contains(u"ignoring the stored bridge address \"http://x/\": give the host "
                                        u"without a scheme, e.g. 192.168.1.20 or 192.168.1.20:8080"_qs),
                 storedAfter.startsWith(u"http"_qs));
    }

    void pairingNotifiesWhileTheWindowIsHidden_data()
    {
        QTest::addColumn<bool>("atLogin");
        QTest::addColumn<bool>("switchedOn");
        QTest::addColumn<QStringList>("notifications");
        QTest::newRow("hidden") << true << true
                                << QStringList{u"Press the link button on your bridge"_qs,
                                               u"Paired with Fake Bridge"_qs};
        QTest::newRow("window shown") << false << true << QStringList{u"Paired with Fake Bridge"_qs};
        QTest::newRow("switched off") << true << false << QStringList{};
    }

    void pairingNotifiesWhileTheWindowIsHidden()
    {
        QFETCH(bool, atLogin);
        QFETCH(bool, switchedOn);
        QFETCH(QStringList, notifications);
        Shell shell;
        shell.paired = false;
        if (!switchedOn)
            Preferences::standard().setBool(u"show_notifications"_qs, false);
        AppDelegate& app = shell.launch(true, 2, atLogin);
        auto* toggle = app.window()->findChild<QAction*>(u"notificationsAction"_qs);
        QCOMPARE(toggle->isChecked(), switchedOn);
        // The button is pressed a few tries in.
        shell.bridges->latest()->grantOnRegister = u"user2"_qs;
        shell.clock.advance(1.5);
        QVERIFY(app.controller()->statusText().startsWith(u"Connected"_qs));
        QCOMPARE(shell.notifications, notifications);
        toggle->trigger();
        QCOMPARE(app.showsNotifications(), !switchedOn);
    }

    void aStatusNotifierTrayIsFollowed()
    {
        QDBusConnection panel = QDBusConnection::connectToBus(QDBusConnection::SessionBus, u"panel"_qs);
        QVERIFY2(panel.isConnected(), "run under dbus-run-session");
        const QString watcher = u"org.kde.StatusNotifierWatcher"_qs;
        QVERIFY(panel.registerService(watcher));
        Shell shell;
        shell.followTray = true;
        AppDelegate& app = shell.launch(true, 2, true);
        QVERIFY(app.trayAvailable());
        QVERIFY(!app.window()->isVisible());

        // The panel restarts: without it the window comes back and closing it minimises.
        QVERIFY(panel.unregisterService(watcher));
        QTRY_VERIFY(!app.trayAvailable());
        QVERIFY(app.window()->isVisible());
        QVERIFY(!app.window()->close());
        QVERIFY(app.window()->isMinimized());
        QVERIFY(panel.registerService(watcher));
        QTRY_VERIFY(app.trayAvailable());
        QVERIFY(app.statusItem()->isVisible());
        QVERIFY(!app.window()->close());
        QVERIFY(!app.window()->isVisible());
        QDBusConnection::disconnectFromBus(u"panel"_qs);
    }

    void aStatusNotifierTrayAfterTheStartKeepsTheWindow()
    {
        // Qt settles on its tray protocol when the first icon is made: an icon made later would
        // not show in a watcher that came after, and the window must stay reachable.
        QDBusConnection panel = QDBusConnection::connectToBus(QDBusConnection::SessionBus, u"panel"_qs);
        const QString watcher = u"org.kde.StatusNotifierWatcher"_qs;
        Shell shell;
        shell.followTray = true;
        AppDelegate& app = shell.launch(true, 2, true);
        QVERIFY(app.window()->isVisible());
        QVERIFY(panel.registerService(watcher));
        QTRY_VERIFY(
            shell.console.contains(u"a StatusNotifierItem tray appeared after Orvel started: its icon "
                                   u"shows there once Orvel is started again; the settings window "
                                   u"stays open"_qs));
        QVERIFY(!app.trayAvailable());
        QVERIFY(app.window()->isVisible());
        QVERIFY(panel.unregisterService(watcher));
        QDBusConnection::disconnectFromBus(u"panel"_qs);
    }

    void aBridgeFromTheBridgeWindow_data()
    {
        QTest::addColumn<QString>("given"); // at start; empty: none connected yet
        QTest::addColumn<QString>("connectedTo");
        QTest::newRow("none connected: used now") << QString() << u"10.0.0.5"_qs;
        QTest::newRow("another connected: used at the next start") << u"10.0.0.2"_qs << u"10.0.0.2"_qs;
    }

    void aBridgeFromTheBridgeWindow()
    {
        QFETCH(QString, given);
        QFETCH(QString, connectedTo);
        Shell shell;
        AppDelegate& app = shell.launch(true, 2, false, given);
        app.window()->findChild<QAction*>(u"bridgeAction"_qs)->trigger();
        QVERIFY(app.bridgeWindow()->isVisible());
        app.useBridge(u"10.0.0.5"_qs);
        shell.clock.advance(1.0);
        QCOMPARE(app.controller()->lightsInterface()->host(), connectedTo);
        QVERIFY(app.controller()->lightsInterface()->authenticated());
        QCOMPARE(Preferences::standard().text(u"bridge_address"_qs).valueOr(QString()), u"10.0.0.5"_qs);
    }

    void losingTheBridgeIsNotifiedAtMostOnceAMinute()
    {
        Shell shell;
        bool down = false;
        shell.bridges->configure = [&down](FakeHueBridge& bridge) {
            bridge.acceptsUsername = !down;
            bridge.addColorLight(u"Desk"_qs);
            bridge.addColorLight(u"Shelf"_qs);
        };
        shell.launch();
        const double interval = AppDelegate::kBridgeCheckInterval;
        // Each step: whether the bridge answers, then the notifications after one more check.
        const QList<std::pair<bool, QStringList>> steps{
            {true, {}},
            {false, {u"Lost the bridge"_qs}},
            {true, {u"Lost the bridge"_qs}}, // back within the minute: said once it is over
            {true, {u"Lost the bridge"_qs, u"Connected again"_qs}},
            {false, {u"Lost the bridge"_qs, u"Connected again"_qs}},
            {true, {u"Lost the bridge"_qs, u"Connected again"_qs}}, // lost and back within the minute
            {true, {u"Lost the bridge"_qs, u"Connected again"_qs}},
        };
        for (const auto& [answers, notifications] : steps) {
            down = !answers;
            shell.clock.advance(interval);
            QCOMPARE(shell.notifications, notifications);
        }
    }

    void withoutATrayTheWindowStaysReachable()
    {
        // Launched at login and still shown: hidden without a tray icon it could not come back.
        Shell shell;
        QVERIFY(LaunchAtLogin::setEnabled(true));
        AppDelegate& app = shell.launch(false, 2, true);
        QVERIFY(app.window()->isVisible());
        QVERIFY(shell.console.contains(u"no system tray on this desktop: the settings window stays open, "
                                       u"and its close button minimises it"_qs));

        QVERIFY(!app.window()->close());
        QVERIFY(app.window()->isVisible() && app.window()->isMinimized());
        QVERIFY(!shell.console.contains(u"hiding"_qs));
        // The menu still works where a tray shows up later.
        app.statusMenu()->actions().at(0)->trigger();
        QVERIFY(!app.window()->isMinimized());
    }

    void quitWaitsForTheSwitchOffWrites_data()
    {
        QTest::addColumn<int>("rules");
        QTest::addColumn<bool>("rulesOn");
        QTest::addColumn<double>("answeredAfter");
        QTest::addColumn<double>("earliest");
        QTest::addColumn<double>("latest");
        QTest::newRow("nothing on: at once") << 2 << false << 0.0 << 0.0 << 0.0;
        QTest::newRow("writes not counted: the grace time") << 2 << true << -1.0 << 1.0 << 1.05;
        QTest::newRow("writes counted: once answered") << 2 << true << 0.3 << 0.3 << 0.35;
        // The first five rules switch off at once, the others one by one after a pause.
        QTest::newRow("throttled rules: after the last") << 7 << true << 0.0 << 2.6 << 2.65;
    }

    void quitWaitsForTheSwitchOffWrites()
    {
        QFETCH(int, rules);
        QFETCH(bool, rulesOn);
        QFETCH(double, answeredAfter);
        QFETCH(double, earliest);
        QFETCH(double, latest);
        Shell shell;
        shell.answeredAfter = answeredAfter;
        shell.launch(true, rules);
        if (rulesOn)
            shell.turnRulesOn();
        QStringList& writes = shell.bridges->latest()->writes;
        writes.clear();

        shell.quitAt = shell.clock.now();
        shell.app->statusMenu()->actions().at(1)->trigger();
        QVERIFY(shell.console.contains(u"bai"_qs));
        QVERIFY(!shell.app->controller()->on());
        while (shell.exits == 0 && shell.clock.now() < shell.quitAt + 5)
            shell.clock.advance(AppDelegate::kShutdownPoll);
        const double took = shell.clock.now() - shell.quitAt;
        QVERIFY2(took >= earliest - 1e-6 && took <= latest + 1e-6, qPrintable(QString::number(took)));
        QCOMPARE(shell.exits, 1);
        // Every light is back in its base state (even lights were on) before the process ends.
        for (int i = 0; rulesOn && i < rules; ++i) {
            QVERIFY2(writes.contains(u"%1 on=%2"_qs.arg(i).arg(i % 2 == 0 ? u"true"_qs : u"false"_qs)),
                     qPrintable(writes.join(u" | "_qs)));
        }
        QCOMPARE(writes.isEmpty(), !rulesOn);
    }

    void aSecondQuitEndsAtOnce()
    {
        Shell shell;
        shell.launch();
        shell.turnRulesOn();
        shell.app->exit();
        QCOMPARE(shell.exits, 0);
        shell.app->exit();
        QCOMPARE(shell.exits, 1);
        QCOMPARE(shell.console.lines().count(u"bai"_qs), 1);
        shell.clock.advance(2);
        QCOMPARE(shell.exits, 1);
    }
};

ORVEL_TEST_MAIN(AppDelegateTest)
#include "tst_AppDelegate.moc"
