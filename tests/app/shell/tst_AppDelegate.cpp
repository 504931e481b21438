// The application shell in-process, over the bridge simulator on loopback and fake MIDI, on a
// manual clock. The launch banner, first-launch About, hiding at login, MIDI while hidden, the
// lights put back at quit and the hand-over to a running copy are checked end to end
// (tst_EndToEnd.cpp); here are the window's lifecycle, the tray, notifications, the shutdown's
// timing, the Bridge window, the command line, one running copy and Unix signals.

#include "app/AppDelegate.h"
#include "app/BridgeWindow.h"
#include "app/CommandLine.h"
#include "app/DesktopNotifier.h"
#include "app/LaunchAtLogin.h"
#include "app/SettingsWindow.h"
#include "app/SignalHandler.h"
#include "app/SingleInstance.h"
#include "controller/LightList.h"
#include "platform/Console.h"
#include "platform/Preferences.h"
#include "support/FakeMidi.h"
#include "support/SimBridge.h"
#include "support/TestMain.h"
#include "ui/ContentView.h"

#include <QDBusConnectionInterface>
#include <QHttpServer>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMenu>
#include <QSignalSpy>
#include <QSystemTrayIcon>

#include <csignal>

using namespace orvel;
using namespace orvel::test;

namespace {

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

    // Launches with `rules` stored rules on lights 0, 1, 2, 0, ... and moves the clock on `settle`
    // seconds: by default past their first blink and the start-up flash test.
    // An unset `tray` is the tray as the session bus announces it.
    AppDelegate& launch(std::optional<bool> tray = true, int rules = 2, bool atLogin = false,
                        const QString& host = u"sim"_qs, double settle = 3.0)
    {
        Preferences& prefs = Preferences::standard();
        if (paired)
            prefs.setText(u"hue_username"_qs, kSimUser);
        prefs.setInteger(u"rule_count"_qs, rules);
        for (int i = 0; i < rules; ++i)
            prefs.setInteger(LightRule::key(i, u"light_index"_qs), i % 3);
        // bridges, midi, bridgeHost ("sim": the simulator's), launchedAtLogin, trayAvailable, newsBaseUrl,
        // writesInFlight (unset: shutdown cannot tell), notify, exitApp.
        app = std::make_unique<AppDelegate>(AppEnvironment{
            bridges, midi, host == u"sim"_qs ? bridge.host() : host, atLogin, tray,
            QUrl(u"http://127.0.0.1:9"_qs),
            countWrites ? std::function<int()>([this] { return bridges->requestsInFlight(); }) : nullptr,
            [this](const QString& summary, const QString&) { notifications << summary; },
            [this] { ++exits; }});
        app->applicationDidFinishLaunching();
        if (settle > 0)
            advance(settle);
        return *app;
    }
    // Moves time on in steps shorter than any delay of the program, the bridge answering between.
    void advance(double seconds) { bridges->advance(clock, seconds); }
    // Note 95 at full velocity, then past the throttled rules (from the sixth on) too.
    void turnRulesOn() { midi->deliver({FakeMidiEndpoints::noteOn(95, 127)}), advance(3.0); }

    QTemporaryDir dir;
    ManualClock clock;
    ScopedMainQueue queue{clock};
    ConsoleCapture console;
    SimBridge bridge;
    std::shared_ptr<SimBridgeServices> bridges = std::make_shared<SimBridgeServices>();
    std::shared_ptr<FakeMidiEndpoints> midi = std::make_shared<FakeMidiEndpoints>();
    bool paired = true;
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

} // namespace

class AppDelegateTest : public QObject {
    Q_OBJECT

private slots:
    // Closing hides the window; the menu and a click on the icon bring it back. The icon shows the
    // connection and the lights; the tray is the one the session bus announces. Losing the bridge
    // is notified at most once a minute.
    void theWindowAndTheTrayIcon()
    {
        QDBusConnection panel = QDBusConnection::connectToBus(QDBusConnection::SessionBus, u"panel"_qs);
        const QString watcher = u"org.kde.StatusNotifierWatcher"_qs;
        QVERIFY2(panel.registerService(watcher), "run under dbus-run-session");
        Shell shell;
        AppDelegate& app = shell.launch(std::nullopt, 1, false, u"sim"_qs, 0);
        QVERIFY(app.trayAvailable());
        QCOMPARE(app.trayState(), TrayState::NotConnected);
        const QImage dimmed = app.statusItem()->icon().pixmap(22).toImage();
        shell.advance(3.0);
        QCOMPARE(app.trayState(), TrayState::Normal);
        QVERIFY(app.statusItem()->icon().pixmap(22).toImage() != dimmed);
        app.controller()->lightRules().front()->setOnHueDegrees(0); // red
        shell.turnRulesOn();
        QCOMPARE(app.trayState(), TrayState::LightsOn);
        const QColor middle = app.statusItem()->icon().pixmap(24).toImage().pixelColor(12, 9); // the bulb's
        QVERIFY2(middle.red() > 200 && middle.green() < 80, qPrintable(middle.name()));
        app.controller()->setOverrideToggle(false);
        QCOMPARE(app.trayState(), TrayState::Normal);

        QCOMPARE(app.statusMenu()->actions().at(0)->text(), u"Open Orvel Settings"_qs);
        QCOMPARE(app.statusItem()->contextMenu(), app.statusMenu());
        QCOMPARE(app.window()->centralWidget()->size(), QSize(400, 500));
        // The window's menu opens another About window beside the first launch's.
        const qsizetype windows = QApplication::topLevelWidgets().size();
        app.window()->findChild<QAction*>(u"aboutAction"_qs)->trigger();
        QCOMPARE(QApplication::topLevelWidgets().size(), windows + 1);
        ContentView* view = app.contentView();
        QVERIFY(!app.window()->close() && !app.window()->isVisible());
        app.statusMenu()->actions().at(0)->trigger();
        QVERIFY(app.window()->isVisible() && app.window()->content() == view);
        app.window()->close();
        Q_EMIT app.statusItem()->activated(QSystemTrayIcon::Trigger);
        QVERIFY(app.window()->isVisible());
        // The tray on the session bus is followed while it goes and comes back: without it the
        // window comes back and closing it minimises it.
        app.window()->close();
        QVERIFY(panel.unregisterService(watcher));
        QTRY_VERIFY(!app.trayAvailable() && app.window()->isVisible());
        QVERIFY(!app.window()->close() && app.window()->isMinimized());
        QVERIFY(panel.registerService(watcher));
        QTRY_VERIFY(app.trayAvailable());
        QVERIFY(!app.window()->close() && !app.window()->isVisible());
        QDBusConnection::disconnectFromBus(u"panel"_qs);

        // Back or lost again within the minute is said once the minute is over.
        const QStringList said{u"Lost the bridge"_qs, u"Connected again"_qs, u"Lost the bridge"_qs};
        // Whether the bridge answers at a check, and how many notifications there are after it.
        const QList<std::pair<bool, int>> steps{{true, 0}, {false, 1}, {true, 1},
                                                {true, 2}, {false, 2}, {false, 3}};
        for (const auto& [answers, count] : steps) {
            answers ? shell.bridge.sim.addUser(kSimUser) : shell.bridge.sim.removeUser(kSimUser);
            shell.advance(AppDelegate::kBridgeCheckInterval);
            QCOMPARE(shell.notifications, said.mid(0, count));
        }
    }

    // Only a start at login beside a tray stays hidden, autostart on or not; pairing is notified
    // while the window is hidden, unless notifications are switched off.
    void startAndPairing_data()
    {
        QTest::addColumn<bool>("tray");
        QTest::addColumn<bool>("atLogin");
        QTest::addColumn<QStringList>("notifications"); // none: switched off
        const QString paired = u"Paired with Orvel Sim"_qs;
        QTest::newRow("from the menu, autostart on") << true << false << QStringList{paired};
        QTest::newRow("at login") << true << true
                                  << QStringList{u"Press the link button on your bridge"_qs, paired};
        QTest::newRow("at login, switched off") << true << true << QStringList();
        // Hidden without a tray icon it could not come back: closing minimises instead.
        QTest::newRow("at login, no tray") << false << true << QStringList{paired};
    }

    void startAndPairing()
    {
        QFETCH(bool, tray);
        QFETCH(bool, atLogin);
        QFETCH(QStringList, notifications);
        Shell shell;
        shell.paired = false;
        Preferences::standard().setBool(u"show_notifications"_qs, !notifications.isEmpty());
        QVERIFY(LaunchAtLogin::setEnabled(true));
        AppDelegate& app = shell.launch(tray, 2, atLogin);
        QCOMPARE(app.window()->isVisible(), !(tray && atLogin));
        auto* toggle = app.window()->findChild<QAction*>(u"notificationsAction"_qs);
        QCOMPARE(toggle->isChecked(), !notifications.isEmpty());
        shell.bridge.sim.pressLinkButton(); // a few tries in
        shell.advance(3.0);
        QVERIFY(app.controller()->statusText().startsWith(u"Connected"_qs));
        QCOMPARE(shell.notifications, notifications);
        toggle->trigger();
        QCOMPARE(app.showsNotifications(), notifications.isEmpty());
        if (tray)
            return;
        QVERIFY(shell.console.contains(u"no system tray on this desktop: the settings window stays open, "
                                       u"and its close button minimises it"_qs));
        QVERIFY(!app.window()->close() && app.window()->isVisible() && app.window()->isMinimized());
        app.statusMenu()->actions().at(0)->trigger();
        QVERIFY(!app.window()->isMinimized());
    }

    // A bridge given by hand is remembered once it answers, not before; a stored address with a
    // scheme is ignored with a word; discovery runs beside them. A bridge chosen in the Bridge
    // window is used at once when none is connected, else from the next start; it is remembered
    // either way.
    void bridgeAddresses()
    {
        SimBridge other;
        const QString ignoring = u"ignoring the stored bridge address \"http://x/\": give the host"_qs;
        // Nothing listens on port 9 of the loopback.
        for (const QString& given : {QString(), u"127.0.0.1:9"_qs, u"sim"_qs}) {
            Shell shell;
            const QString before = given.isEmpty() ? u"http://x/"_qs : u"127.0.0.2:9"_qs;
            Preferences::standard().setText(u"bridge_address"_qs, before);
            AppDelegate& app = shell.launch(true, 2, false, given);
            const QString used = given == u"sim"_qs ? shell.bridge.host() : given;
            QCOMPARE(shell.bridges->clients.empty() ? QString() : shell.bridges->clients.front()->host(),
                     used);
            QCOMPARE(shell.bridges->discoveryDuration, 20);
            QCOMPARE(Preferences::standard().text(u"bridge_address"_qs).valueOr(QString()),
                     given == u"sim"_qs ? used : before);
            QCOMPARE(shell.console.lines().filter(ignoring).size(), given.isEmpty() ? 1 : 0);
            app.window()->findChild<QAction*>(u"bridgeAction"_qs)->trigger();
            QVERIFY(app.bridgeWindow()->isVisible());
            app.useBridge(other.host());
            shell.advance(1.0);
            QCOMPARE(app.controller()->lightsInterface()->host(), given == u"sim"_qs ? used : other.host());
            QVERIFY(app.controller()->lightsInterface()->authenticated());
            QCOMPARE(Preferences::standard().text(u"bridge_address"_qs).valueOr(QString()), other.host());
        }
    }

    // Quit puts the lights back and waits for those writes; a second quit ends at once.
    void quitWaitsForTheSwitchOffWrites_data()
    {
        // Rules, all switched on; whether shutdown "counts" the writes in flight, or cannot, or quits
        // "twice"; how long it takes.
        QTest::addColumn<int>("rules");
        QTest::addColumn<QString>("how");
        QTest::addColumn<double>("earliest");
        QTest::addColumn<double>("latest");
        QTest::newRow("nothing on: at once") << 0 << u"counts"_qs << 0.0 << 0.0;
        QTest::newRow("writes not counted: the grace time") << 2 << QString() << 1.0 << 1.05;
        QTest::newRow("writes counted: once answered") << 2 << u"counts"_qs << 0.0 << 0.1;
        // The first five rules switch off at once, the others one by one after a pause.
        QTest::newRow("throttled rules: after the last") << 7 << u"counts"_qs << 2.6 << 2.65;
        QTest::newRow("quit again: at once") << 2 << u"twice"_qs << 0.0 << 0.0;
    }

    void quitWaitsForTheSwitchOffWrites()
    {
        QFETCH(int, rules);
        QFETCH(QString, how);
        QFETCH(double, earliest);
        QFETCH(double, latest);
        Shell shell;
        shell.countWrites = how == u"counts"_qs;
        shell.launch(true, rules);
        shell.turnRulesOn();
        shell.bridge.sim.clearRequests();
        // A setting changed just before quitting reaches the file, however soon the process ends.
        Preferences::standard().setInteger(u"midi_channel"_qs, 5);

        const double quitAt = shell.clock.now();
        shell.app->statusMenu()->actions().at(1)->trigger();
        if (how == u"twice"_qs)
            shell.app->exit();
        QVERIFY(!shell.app->controller()->on());
        while (shell.exits == 0 && shell.clock.now() < quitAt + 5)
            shell.advance(AppDelegate::kShutdownPoll);
        const double took = shell.clock.now() - quitAt;
        QVERIFY2(took >= earliest - 1e-6 && took <= latest + 1e-6, qPrintable(QString::number(took)));
        QVERIFY(shell.exits == 1 && shell.console.lines().count(u"bai"_qs) == 1);
        QCOMPARE(Preferences(shell.dir.filePath(u"prefs.json"_qs)).integer(u"midi_channel"_qs).valueOr(0),
                 qint64(5));
        if (how == u"twice"_qs)
            return;
        // Every light is back in its base state before the process ends.
        QCOMPARE(shell.bridge.writes().isEmpty(), rules == 0);
        for (int i = 0; i < std::min(rules, 3); ++i) // Desk and Hall are on, Shelf off
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
        QVERIFY(serviceBus.unregisterService(name)); // answered once the bus has let the name go
        notifier.notify(u"Paired with Hue"_qs, u"x"_qs);
        // A round trip through the bus: an error for a call sent before would be in by now.
        QDBusConnection::sessionBus().interface()->isServiceRegistered(u"org.orvel.None"_qs);
        QCoreApplication::processEvents();
        QCOMPARE(answered.size(), 2);
        QDBusConnection::disconnectFromBus(u"fake"_qs);
    }

    // The Bridge window over the real bridge client: each kind of address gets its own message,
    // and a bridge is handed on to be used.
    void theBridgeWindowTellsWhatIsThere_data()
    {
        QTest::addColumn<QString>("address"); // or the kind of server it leads to
        QTest::addColumn<QString>("message");
        QTest::newRow("not an address")
            << u"http://10.0.0.2"_qs << u"\"http://10.0.0.2\" is not a bridge address: give the host"_qs;
        QTest::newRow("nothing there") << u"127.0.0.1:9"_qs << u"No answer from 127.0.0.1:9"_qs;
        QTest::newRow("a web server") << u"web"_qs << u"answers, but it is not a Hue bridge."_qs;
        QTest::newRow("unpaired") << u"unpaired"_qs
                                  << u"'Orvel Sim' at %1 is a Hue bridge. Press the link button"_qs;
        QTest::newRow("paired") << u"paired"_qs << u"Connected to the Hue bridge 'Orvel Sim' at %1."_qs;
    }

    void theBridgeWindowTellsWhatIsThere()
    {
        QFETCH(QString, address);
        QFETCH(QString, message);
        SimBridge bridge;
        address == u"paired"_qs ? Preferences::standard().setText(u"hue_username"_qs, kSimUser)
                                : Preferences::standard().remove(u"hue_username"_qs);
        QHttpServer web;
        const quint16 webPort = web.listen(QHostAddress::LocalHost);
        address = address == u"web"_qs             ? u"127.0.0.1:%1"_qs.arg(webPort)
                  : address.endsWith(u"paired"_qs) ? bridge.host()
                                                   : address;
        // Discovery knows only the simulator: nothing leaves the machine.
        QStringList used;
        DiscoveryOptions discovery;
        discovery.useMdns = discovery.useCloud = false;
        discovery.hosts = {bridge.host()};
        BridgeWindow window(std::make_shared<HttpHueBridgeServices>(BridgeClientOptions{}, discovery),
                            nullptr, [&](const QString& host) { used << host; });
        window.show();
        QTRY_COMPARE(window.foundList()->count(), 1);
        QCOMPARE(window.foundList()->item(0)->text(), bridge.host());
        QCOMPARE(window.connectedLabel()->text(), u"Not connected to a bridge yet."_qs);
        QSignalSpy checked(&window, &BridgeWindow::checked);
        window.addressField()->setText(address);
        window.connectToAddress();
        QTRY_COMPARE_WITH_TIMEOUT(checked.size(), 1, 10000);
        QVERIFY2(window.feedback()->text().contains(message.arg(bridge.host())),
                 qPrintable(window.feedback()->text()));
        QCOMPARE(used, message.contains(u"%1"_qs) ? QStringList{address} : QStringList());
    }

    void theCommandLine_data()
    {
        QTest::addColumn<QString>("arguments"); // separated by "|"
        QTest::addColumn<QString>("bridgeHost");
        QTest::addColumn<QString>("complaint"); // part of the message; empty where Orvel runs
        QTest::newRow("address and port, at login")
            << u"--login|--bridge=127.0.0.1:8080"_qs << u"127.0.0.1:8080"_qs << QString();
        QTest::newRow("host name") << u"--bridge| hue-bridge.local "_qs << u"hue-bridge.local"_qs
                                   << QString();
        QTest::newRow("bare IPv6") << u"--bridge|fe80::1"_qs << u"[fe80::1]"_qs << QString();
        QTest::newRow("IPv6 and port") << u"--bridge|[::1]:80"_qs << u"[::1]:80"_qs << QString();
        QTest::newRow("path") << u"--bridge|10.0.0.2/api"_qs << QString()
                              << u"is not a host name or address"_qs;
        QTest::newRow("port too big")
            << u"--bridge|10.0.0.2:65536"_qs << QString() << u"the port must be a number from 1 to 65535"_qs;
        QTest::newRow("bad IPv6") << u"--bridge|[nope]:80"_qs << QString() << u"is not an IPv6 address"_qs;
        QTest::newRow("switches") << u"--always-on=off|--disable"_qs << QString() << QString();
        QTest::newRow("both ways") << u"--enable|--disable"_qs << QString() << u"not both"_qs;
        QTest::newRow("always on maybe") << u"--always-on|maybe"_qs << QString() << u"on or off"_qs;
        QTest::newRow("stray argument") << u"lights"_qs << QString() << u"unexpected argument \"lights\""_qs;
    }

    void theCommandLine()
    {
        QFETCH(QString, arguments);
        QFETCH(QString, bridgeHost);
        QFETCH(QString, complaint);
        const LaunchOptions options = parseCommandLine((u"orvel|"_qs + arguments).split(u'|'));
        QCOMPARE(options.action,
                 complaint.isEmpty() ? LaunchOptions::Action::Run : LaunchOptions::Action::Fail);
        QCOMPARE(options.bridgeHost, bridgeHost);
        QCOMPARE(options.atLogin, arguments.contains(u"--login"_qs));
        QVERIFY2(options.text.contains(complaint), qPrintable(options.text));
        // As a running copy is sent them: one order, whatever the order given.
        const QStringList switches{"--disable", "--always-on", "off"};
        QCOMPARE(switchArguments(options),
                 complaint.isEmpty() && arguments.contains(u"--disable"_qs) ? switches : QStringList());
    }

    // What a crashed copy leaves behind (something at the name that nobody listens on) is
    // replaced; a copy that listens but never answers is reported.
    void oneRunningCopyAndSignals()
    {
        QTemporaryDir dir;
        const QString stale = dir.filePath(u"stale"_qs);
        QVERIFY(QFile(stale).open(QIODevice::WriteOnly));
        SingleInstance instance(stale);
        QCOMPARE(instance.claim(), SingleInstance::Role::Primary);
        QLocalSocket probe;
        probe.connectToServer(stale);
        QVERIFY(probe.waitForConnected(1000));
        QLocalServer silent;
        QVERIFY(silent.listen(dir.filePath(u"silent"_qs)));
        QCOMPARE(SingleInstance(dir.filePath(u"silent"_qs)).claim(300), SingleInstance::Role::Unresponsive);

        // Signals arrive on the main loop; the same one twice is two deliveries: a second Ctrl-C
        // must reach the shutdown.
        SignalHandler handler;
        QVERIFY(handler.watch({SIGUSR1, SIGUSR2}));
        QSignalSpy received(&handler, &SignalHandler::received);
        for (int number : {SIGUSR1, SIGUSR2, SIGUSR1})
            ::raise(number);
        QTRY_COMPARE(received, (QList<QVariantList>{{SIGUSR1}, {SIGUSR2}, {SIGUSR1}}));
    }
};

ORVEL_TEST_MAIN(AppDelegateTest)
#include "tst_AppDelegate.moc"
