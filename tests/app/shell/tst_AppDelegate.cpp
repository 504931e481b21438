// The application shell in-process, over the bridge simulator on loopback and fake MIDI, on a
// manual clock. The launch banner, first-launch About, hiding at login, MIDI while hidden and the
// lights put back at quit are checked end to end (tst_ShellEndToEnd.cpp, tst_DawEndToEnd.cpp); here
// are the window's lifecycle, the tray, notifications and the shutdown's timing.

#include "app/AppDelegate.h"
#include "app/BridgeWindow.h"
#include "app/DesktopNotifier.h"
#include "app/LaunchAtLogin.h"
#include "app/SettingsWindow.h"
#include "controller/LightList.h"
#include "platform/Console.h"
#include "platform/MainQueue.h"
#include "platform/Preferences.h"
#include "support/FakeMidi.h"
#include "support/SimBridge.h"
#include "support/TestMain.h"
#include "ui/ContentView.h"

#include <QAction>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMenu>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTcpServer>
#include <QTemporaryDir>

#include <cmath>

using namespace orvel;
using namespace orvel::test;

namespace {

// Light i is "Light i", on when i is even.
QByteArray eightLights()
{
    QJsonObject lights;
    for (int i = 0; i < 8; ++i) {
        const QJsonObject state{
            {"on", i % 2 == 0}, {"hue", 8000 + i}, {"sat", 140}, {"bri", 200}, {"colormode", "hs"}};
        lights.insert(
            QString::number(i + 1),
            QJsonObject{{"name", u"Light %1"_qs.arg(i)}, {"type", "Extended color light"}, {"state", state}});
    }
    return QJsonDocument(lights).toJson();
}

// One run of the application, in a preferences store of its own.
struct Shell {
    Shell() { Preferences::installStandard(std::make_unique<Preferences>(dir.filePath(u"prefs.json"_qs))); }
    ~Shell()
    {
        app.reset();
        for (QWidget* widget : QApplication::topLevelWidgets())
            widget->close();
        QApplication::processEvents();
        LaunchAtLogin::setEnabled(false);
        Preferences::installStandard(nullptr);
    }

    // "sim" stands for the simulator's address.
    QString resolve(const QString& host) const { return host == u"sim"_qs ? bridge.host() : host; }

    // Launches with `rules` stored rules on lights 0, 1, ... and moves the clock on `settle`
    // seconds: by default past their first blink and the start-up flash test.
    AppDelegate& launch(bool tray = true, int rules = 2, bool atLogin = false,
                        const QString& host = u"sim"_qs, double settle = 3.0)
    {
        Preferences& prefs = Preferences::standard();
        if (paired)
            prefs.setText(u"hue_username"_qs, kSimUser);
        prefs.setInteger(u"rule_count"_qs, rules);
        for (int i = 0; i < rules; ++i)
            prefs.setInteger(LightRule::key(i, u"light_index"_qs), i);
        AppEnvironment env;
        env.bridges = bridges;
        env.midi = midi;
        env.bridgeHost = resolve(host);
        if (!followTray)
            env.trayAvailable = tray;
        env.launchedAtLogin = atLogin;
        env.newsBaseUrl = QUrl(u"http://127.0.0.1:9"_qs);
        if (countWrites)
            env.writesInFlight = [this] { return bridges->requestsInFlight(); };
        env.exitApp = [this] { ++exits; };
        env.notify = [this](const QString& summary, const QString&) { notifications << summary; };
        app = std::make_unique<AppDelegate>(std::move(env));
        app->applicationDidFinishLaunching();
        if (settle > 0)
            advance(settle);
        return *app;
    }
    // Moves time on in steps shorter than any delay of the program, the bridge answering between.
    void advance(double seconds) { bridges->advance(clock, seconds); }
    // Note 95 at full velocity, then past the throttled rules (from the sixth on) too.
    void turnRulesOn()
    {
        midi->deliver({FakeMidiEndpoints::noteOn(95, 127)});
        advance(3.0);
    }

    QTemporaryDir dir;
    ManualClock clock;
    ScopedMainQueue queue{clock};
    ConsoleCapture console;
    SimBridge bridge{eightLights()};
    std::shared_ptr<SimBridgeServices> bridges = std::make_shared<SimBridgeServices>();
    std::shared_ptr<FakeMidiEndpoints> midi = std::make_shared<FakeMidiEndpoints>();
    bool paired = true;
    bool followTray = false;  // the tray as the session bus announces it
    bool countWrites = false; // shutdown can tell when the writes are answered
    QStringList notifications;
    int exits = 0;
    std::unique_ptr<AppDelegate> app;
};

// The desktop's notification service, as far as Orvel uses it: summaries and replaced ids.
class FakeNotifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QStringList received;

public slots:
    uint Notify(const QString& app, uint replaces, const QString&, const QString& summary,
                const QString& body, const QStringList&, const QVariantMap&, int)
    {
        received << u"%1 %2 %3 %4"_qs.arg(app).arg(replaces).arg(summary, body);
        return replaces ? replaces : uint(received.size() + 40);
    }
};

// A port on 127.0.0.1 that nothing listens on.
QString closedAddress()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return u"127.0.0.1:%1"_qs.arg(server.serverPort());
}

} // namespace

class AppDelegateTest : public QObject {
    Q_OBJECT

private slots:
    void closingHidesTheWindowAndOpenBringsItBack()
    {
        Shell shell;
        AppDelegate& app = shell.launch();
        QCOMPARE(app.statusMenu()->actions().at(0)->text(), u"Open Orvel Settings"_qs);
        QCOMPARE(app.statusItem()->contextMenu(), app.statusMenu());
        QCOMPARE(app.window()->centralWidget()->size(), QSize(400, 500));
        // The window's menu opens another About window beside the first launch's.
        auto aboutWindows = [] {
            int shown = 0;
            for (QWidget* widget : QApplication::topLevelWidgets())
                shown += widget->isVisible() && widget->windowTitle() == u"About Orvel"_qs;
            return shown;
        };
        QCOMPARE(aboutWindows(), 1);
        app.window()->findChild<QAction*>(u"aboutAction"_qs)->trigger();
        QCOMPARE(aboutWindows(), 2);

        ContentView* view = app.contentView();
        QVERIFY(!app.window()->close() && !app.window()->isVisible());
        app.statusMenu()->actions().at(0)->trigger();
        QVERIFY(app.window()->isVisible());
        QCOMPARE(app.window()->content(), view);
        // A click on the tray icon opens the window too.
        app.window()->close();
        Q_EMIT app.statusItem()->activated(QSystemTrayIcon::Trigger);
        QVERIFY(app.window()->isVisible());
    }

    void trayIconShowsConnectionAndLights()
    {
        Shell shell;
        AppDelegate& app = shell.launch(true, 1, false, u"sim"_qs, 0);
        QCOMPARE(app.trayState(), TrayState::NotConnected);
        const QImage dimmed = app.statusItem()->icon().pixmap(22).toImage();
        shell.advance(3.0);
        QCOMPARE(app.trayState(), TrayState::Normal);
        QVERIFY(app.statusItem()->icon().pixmap(22).toImage() != dimmed);
        app.controller()->lightRules().front()->setOnHueDegrees(0); // red
        shell.turnRulesOn();
        QCOMPARE(app.trayState(), TrayState::LightsOn);
        // The bulb's middle shows the rule's colour.
        const QColor middle = app.statusItem()->icon().pixmap(24).toImage().pixelColor(12, 9);
        QVERIFY2(middle.red() > 200 && middle.green() < 80, qPrintable(middle.name()));
        app.controller()->setOverrideToggle(false);
        QCOMPARE(app.trayState(), TrayState::Normal);
    }

    void startsShownUnlessAtLoginBesideATray_data()
    {
        QTest::addColumn<bool>("tray");
        QTest::addColumn<bool>("atLogin");
        QTest::addColumn<QString>("said");
        QTest::newRow("from the menu, autostart on") << true << false << QString();
        QTest::newRow("at login") << true << true << u"was launched by auto-launcher, hiding"_qs;
        // Hidden without a tray icon it could not come back: closing minimises instead.
        QTest::newRow("at login, no tray")
            << false << true
            << u"no system tray on this desktop: the settings window stays open, "
               u"and its close button minimises it"_qs;
    }

    void startsShownUnlessAtLoginBesideATray()
    {
        QFETCH(bool, tray);
        QFETCH(bool, atLogin);
        QFETCH(QString, said);
        Shell shell;
        QVERIFY(LaunchAtLogin::setEnabled(true));
        AppDelegate& app = shell.launch(tray, 2, atLogin);
        QCOMPARE(app.window()->isVisible(), !(tray && atLogin));
        QVERIFY(said.isEmpty() ? !shell.console.contains(u"hiding"_qs) : shell.console.contains(said));
        if (tray)
            return;
        QVERIFY(!app.window()->close() && app.window()->isVisible() && app.window()->isMinimized());
        app.statusMenu()->actions().at(0)->trigger();
        QVERIFY(!app.window()->isMinimized());
    }

    void aManualAddressIsRememberedOnceItAnswers_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("given");
        QTest::addColumn<QString>("connectsTo"); // first client the controller makes
        QTest::addColumn<QString>("storedAfter");
        const QString closed = closedAddress();
        QTest::newRow("given, answers") << QString() << u"sim"_qs << u"sim"_qs << u"sim"_qs;
        QTest::newRow("given, no bridge there") << u"127.0.0.1:9"_qs << closed << closed << u"127.0.0.1:9"_qs;
        QTest::newRow("remembered") << u"sim"_qs << QString() << u"sim"_qs << u"sim"_qs;
        QTest::newRow("stored value unusable")
            << u"http://x/"_qs << QString() << QString() << u"http://x/"_qs;
    }

    void aManualAddressIsRememberedOnceItAnswers()
    {
        QFETCH(QString, stored);
        QFETCH(QString, given);
        QFETCH(QString, connectsTo);
        QFETCH(QString, storedAfter);
        Shell shell;
        if (!stored.isEmpty())
            Preferences::standard().setText(u"bridge_address"_qs, shell.resolve(stored));
        shell.launch(true, 2, false, given);
        QCOMPARE(shell.bridges->clients.empty() ? QString() : shell.bridges->clients.front()->host(),
                 shell.resolve(connectsTo));
        // Discovery runs beside the remembered address.
        QCOMPARE(shell.bridges->discoveryDuration, 20);
        QCOMPARE(Preferences::standard().text(u"bridge_address"_qs).valueOr(QString()),
                 shell.resolve(storedAfter));
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
                                               u"Paired with Orvel Sim"_qs};
        QTest::newRow("window shown") << false << true << QStringList{u"Paired with Orvel Sim"_qs};
        QTest::newRow("switched off") << true << false << QStringList{};
    }

    void pairingNotifiesWhileTheWindowIsHidden()
    {
        QFETCH(bool, atLogin);
        QFETCH(bool, switchedOn);
        QFETCH(QStringList, notifications);
        Shell shell;
        shell.paired = false;
        Preferences::standard().setBool(u"show_notifications"_qs, switchedOn);
        AppDelegate& app = shell.launch(true, 2, atLogin);
        auto* toggle = app.window()->findChild<QAction*>(u"notificationsAction"_qs);
        QCOMPARE(toggle->isChecked(), switchedOn);
        // The button is pressed a few tries in.
        shell.bridge.sim.pressLinkButton();
        shell.advance(3.0);
        QVERIFY(app.controller()->statusText().startsWith(u"Connected"_qs));
        QCOMPARE(shell.notifications, notifications);
        toggle->trigger();
        QCOMPARE(app.showsNotifications(), !switchedOn);
    }

    void losingTheBridgeIsNotifiedAtMostOnceAMinute()
    {
        Shell shell;
        shell.launch();
        // Each step: whether the bridge answers, then the notifications after one more check.
        const QStringList lostBackLost{u"Lost the bridge"_qs, u"Connected again"_qs, u"Lost the bridge"_qs};
        const QList<std::pair<bool, QStringList>> steps{
            {true, {}},
            {false, lostBackLost.mid(0, 1)},
            {true, lostBackLost.mid(0, 1)}, // back within the minute: said once it is over
            {true, lostBackLost.mid(0, 2)},
            {false, lostBackLost.mid(0, 2)}, // lost again within the minute: likewise
            {false, lostBackLost},
        };
        for (const auto& [answers, notifications] : steps) {
            answers ? shell.bridge.sim.addUser(kSimUser) : shell.bridge.sim.removeUser(kSimUser);
            shell.advance(AppDelegate::kBridgeCheckInterval);
            QCOMPARE(shell.notifications, notifications);
        }
    }

    // A tray on the session bus is followed while it comes and goes; one that appears only after
    // the start cannot show Qt's icon (its protocol is settled with the first icon), so the window
    // stays.
    void aStatusNotifierTrayIsFollowed()
    {
        QDBusConnection panel = QDBusConnection::connectToBus(QDBusConnection::SessionBus, u"panel"_qs);
        QVERIFY2(panel.isConnected(), "run under dbus-run-session");
        const QString watcher = u"org.kde.StatusNotifierWatcher"_qs;
        {
            Shell late;
            late.followTray = true;
            AppDelegate& app = late.launch(true, 2, true, QString());
            QVERIFY(panel.registerService(watcher));
            QTRY_VERIFY(
                late.console.contains(u"a StatusNotifierItem tray appeared after Orvel started: its icon "
                                      u"shows there once Orvel is started again; the settings window "
                                      u"stays open"_qs));
            QVERIFY(!app.trayAvailable() && app.window()->isVisible());
        }
        Shell shell;
        shell.followTray = true;
        AppDelegate& app = shell.launch(true, 2, true, QString());
        QVERIFY(app.trayAvailable() && !app.window()->isVisible());
        // The panel restarts: without it the window comes back and closing it minimises.
        QVERIFY(panel.unregisterService(watcher));
        QTRY_VERIFY(!app.trayAvailable());
        QVERIFY(!app.window()->close() && app.window()->isMinimized());
        QVERIFY(panel.registerService(watcher));
        QTRY_VERIFY(app.trayAvailable());
        QVERIFY(!app.window()->close() && !app.window()->isVisible());
        QDBusConnection::disconnectFromBus(u"panel"_qs);
    }

    // A bridge chosen in the Bridge window is used at once when none is connected, else from the
    // next start; it is remembered either way.
    void aBridgeFromTheBridgeWindow()
    {
        SimBridge other;
        for (const QString& given : {QString(), u"sim"_qs}) {
            Shell shell;
            AppDelegate& app = shell.launch(true, 2, false, given);
            app.window()->findChild<QAction*>(u"bridgeAction"_qs)->trigger();
            QVERIFY(app.bridgeWindow()->isVisible());
            app.useBridge(other.host());
            shell.advance(1.0);
            QCOMPARE(app.controller()->lightsInterface()->host(),
                     given.isEmpty() ? other.host() : shell.bridge.host());
            QVERIFY(app.controller()->lightsInterface()->authenticated());
            QCOMPARE(Preferences::standard().text(u"bridge_address"_qs).valueOr(QString()), other.host());
        }
    }

    void quitWaitsForTheSwitchOffWrites_data()
    {
        QTest::addColumn<int>("rules");
        QTest::addColumn<bool>("rulesOn");
        QTest::addColumn<bool>("counted"); // whether shutdown can tell when the writes are answered
        QTest::addColumn<double>("earliest");
        QTest::addColumn<double>("latest");
        QTest::newRow("nothing on: at once") << 2 << false << true << 0.0 << 0.0;
        QTest::newRow("writes not counted: the grace time") << 2 << true << false << 1.0 << 1.05;
        QTest::newRow("writes counted: once answered") << 2 << true << true << 0.0 << 0.1;
        // The first five rules switch off at once, the others one by one after a pause.
        QTest::newRow("throttled rules: after the last") << 7 << true << true << 2.6 << 2.65;
    }

    void quitWaitsForTheSwitchOffWrites()
    {
        QFETCH(int, rules);
        QFETCH(bool, rulesOn);
        QFETCH(bool, counted);
        QFETCH(double, earliest);
        QFETCH(double, latest);
        Shell shell;
        shell.countWrites = counted;
        shell.launch(true, rules);
        if (rulesOn)
            shell.turnRulesOn();
        shell.bridge.sim.clearRequests();
        // A setting changed just before quitting reaches the file, however soon the process ends.
        Preferences::standard().setInteger(u"midi_channel"_qs, 5);

        const double quitAt = shell.clock.now();
        shell.app->statusMenu()->actions().at(1)->trigger();
        QVERIFY(shell.console.contains(u"bai"_qs));
        QVERIFY(!shell.app->controller()->on());
        while (shell.exits == 0 && shell.clock.now() < quitAt + 5)
            shell.advance(AppDelegate::kShutdownPoll);
        const double took = shell.clock.now() - quitAt;
        QVERIFY2(took >= earliest - 1e-6 && took <= latest + 1e-6, qPrintable(QString::number(took)));
        QCOMPARE(shell.exits, 1);
        QCOMPARE(Preferences(shell.dir.filePath(u"prefs.json"_qs)).integer(u"midi_channel"_qs).valueOr(0),
                 qint64(5));
        // Every light is back in its base state before the process ends.
        QCOMPARE(shell.bridge.writes().isEmpty(), !rulesOn);
        for (int i = 0; i < rules; ++i)
            QCOMPARE(shell.bridge.sim.light(QString::number(i + 1))[u"state"_qs][u"on"_qs].toBool(),
                     i % 2 == 0);
    }

    // Over D-Bus to the service on a connection of its own, as another process would be: markup is
    // escaped, each notification replaces the last, and with the service gone nothing is sent.
    void desktopNotificationsReplaceTheLastOne()
    {
        QDBusConnection serviceBus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, u"fake"_qs);
        FakeNotifications service;
        const QString name = QString::fromLatin1(DesktopNotifier::kService);
        QVERIFY(serviceBus.registerObject(QString::fromLatin1(DesktopNotifier::kPath), &service,
                                          QDBusConnection::ExportAllSlots));
        QVERIFY(serviceBus.registerService(name));
        DesktopNotifier notifier;
        QSignalSpy answered(&notifier, &DesktopNotifier::answered);
        notifier.notify(u"Lost the bridge"_qs, u"<b>Hue & co</b>"_qs);
        QTRY_COMPARE(answered.size(), 1);
        notifier.notify(u"Connected again"_qs, u"x"_qs);
        QTRY_COMPARE(answered.size(), 2);
        QCOMPARE(service.received, (QStringList{u"Orvel 0 Lost the bridge &lt;b&gt;Hue &amp; co&lt;/b&gt;"_qs,
                                                u"Orvel 41 Connected again x"_qs}));
        QVERIFY(serviceBus.unregisterService(name));
        QTRY_VERIFY(!QDBusConnection::sessionBus().interface()->isServiceRegistered(name));
        notifier.notify(u"Paired with Hue"_qs, u"x"_qs);
        // A round trip through the bus: an answer to a call sent before would be in by now.
        QDBusConnection::sessionBus().interface()->isServiceRegistered(u"org.orvel.None"_qs);
        QCoreApplication::processEvents();
        QCOMPARE(answered.size(), 2);
        QCOMPARE(service.received.size(), 2);
        QDBusConnection::disconnectFromBus(u"fake"_qs);
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
    }
};

ORVEL_TEST_MAIN(AppDelegateTest)
#include "tst_AppDelegate.moc"
