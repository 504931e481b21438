#include "app/AppDelegate.h"

#include "app/AboutWindow.h"
#include "app/BridgeWindow.h"
#include "app/BuildInfo.h"
#include "app/DesktopNotifier.h"
#include "app/LaunchAtLogin.h"
#include "app/LoadedNews.h"
#include "app/Log.h"
#include "app/RememberedBridge.h"
#include "app/SettingsWindow.h"
#include "app/TrayWatcher.h"
#include "controller/LightList.h"
#include "platform/Console.h"
#include "platform/MainQueue.h"
#include "platform/Preferences.h"
#include "ui/ContentView.h"

#include <QAction>
#include <QCoreApplication>
#include <QIcon>
#include <QMenu>
#include <QMenuBar>
#include <QSystemTrayIcon>

#include <algorithm>

namespace orvel {

namespace {

// Past this the shutdown gives up on the bridge even while rules wait for their throttled
// switch-off: comfortably after the controller's last one.
double shutdownCap(qsizetype ruleCount)
{
    return 3.0 + 0.1 * static_cast<double>(ruleCount) + AppDelegate::kShutdownGrace;
}

bool anyRuleOn(const LightList& controller)
{
    const auto& rules = controller.lightRules();
    return std::any_of(rules.begin(), rules.end(), [](const auto& rule) { return rule->on(); });
}

} // namespace

AppDelegate::AppDelegate(AppEnvironment environment, QObject* parent)
    : QObject(parent)
    , env_(std::move(environment))
    , version_(QString::fromLatin1(build::version))
    , build_(QString::fromLatin1(build::buildNumber))
{
    // The tray icon and the window icon come from the compiled-in resources.
    initAppResources();
    loadedNews_ = env_.newsBaseUrl.isEmpty()
                      ? new LoadedNews(version_, QString::fromLatin1(build::siteHost), nullptr, this)
                      : new LoadedNews(env_.newsBaseUrl, version_, nullptr, this);
}

AppDelegate::~AppDelegate()
{
    // The views watch the controller and the news model, so they go first.
    if (bridgeCheck_)
        bridgeCheck_->invalidate();
    delete bridgeWindow_;
    delete window_;
    delete statusItem_;
    delete statusMenu_;
    delete controller_;
}

ContentView* AppDelegate::contentView() const
{
    return contentView_;
}

void AppDelegate::applicationDidFinishLaunching()
{
    // Asked to quit before the main loop came round to launching: nothing to launch for.
    if (terminating_)
        return;
    writeLog(QStringLiteral("===================="));
    writeLog(QStringLiteral("Application Launched"));

    createStatusItem();
    createWindow();

    // Entries written before the autostart entry carried --login start Orvel plainly; bring them
    // up to date so the next login start stays in the tray.
    if (LaunchAtLogin::isEnabled())
        LaunchAtLogin::updateEntry();

    if (env_.launchedAtLogin && trayAvailable_) {
        printLine(QStringLiteral("was launched by auto-launcher, hiding"));
        printLine(QStringLiteral("hiding"));
    } else {
        hideWhenTrayAppears_ = env_.launchedAtLogin;
        window_->show();
        window_->raise();
        window_->activateWindow();
    }

    completeWindow();
}

void AppDelegate::createStatusItem()
{
    if (env_.trayAvailable) {
        trayAvailable_ = *env_.trayAvailable;
    } else {
        auto* watcher = new TrayWatcher(QDBusConnection::sessionBus(), this);
        // Asks the desktop (over D-Bus) too: the watcher knows only the trays it can follow.
        trayAvailable_ = watcher->available() || QSystemTrayIcon::isSystemTrayAvailable();
        connect(watcher, &TrayWatcher::availabilityChanged, this, &AppDelegate::trayChanged);
        connect(watcher, &TrayWatcher::lateStatusNotifierHost, this, &AppDelegate::restartForTray);
    }
    if (!trayAvailable_) {
        printLine(QStringLiteral("no system tray on this desktop: the settings window stays open, "
                                 "and its close button minimises it"));
    }

    statusMenu_ = new QMenu(QStringLiteral("Orvel"));
    QAction* open = statusMenu_->addAction(QStringLiteral("Open Orvel Settings"));
    connect(open, &QAction::triggered, this, &AppDelegate::unhideWindow);
    QAction* quit = statusMenu_->addAction(QStringLiteral("Quit Orvel"));
    connect(quit, &QAction::triggered, this, &AppDelegate::exit);
    makeStatusItem();
}

void AppDelegate::makeStatusItem()
{
    // Made even without a tray: Qt's X11 tray code shows it when an XEmbed tray appears.
    delete statusItem_;
    statusItem_ = new QSystemTrayIcon(trayIcon(trayState_, trayColour_));
    statusItem_->setToolTip(QStringLiteral("Orvel"));
    statusItem_->setContextMenu(statusMenu_);
    // A click opens the settings window; the menu is the context menu's, styled by the tray host.
    connect(statusItem_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger)
            unhideWindow();
    });
    statusItem_->show();
}

void AppDelegate::updateTrayIcon()
{
    TrayState state = TrayState::NotConnected;
    QColor colour;
    if (controller_ && controller_->statusText().startsWith(QStringLiteral("Connected"))) {
        state = TrayState::Normal;
        // The controller says "on" before its rules, switched one by one, follow: the first
        // rule's colour stands for them.
        const auto& rules = controller_->lightRules();
        if (controller_->on() && !rules.isEmpty()) {
            const auto& rule = rules.front();
            state = TrayState::LightsOn;
            colour = ruleColour(rule->onHueDegrees(), rule->onSaturation(), rule->onValue());
        }
    }
    if (state == trayState_ && colour == trayColour_)
        return;
    trayState_ = state;
    trayColour_ = colour;
    if (statusItem_)
        statusItem_->setIcon(trayIcon(state, colour));
}

void AppDelegate::trayChanged(bool available)
{
    if (available == trayAvailable_ || terminating_)
        return;
    trayAvailable_ = available;
    // Qt picks the tray protocol (StatusNotifierItem or XEmbed) when the icon is made.
    makeStatusItem();
    if (!available) {
        printLine(QStringLiteral("the system tray went away: the settings window stays open, "
                                 "and its close button minimises it"));
        // Hidden without a tray icon there would be no way back to the window.
        if (window_ && !window_->isVisible())
            unhideWindow();
        return;
    }
    printLine(QStringLiteral("a system tray appeared"));
    if (hideWhenTrayAppears_ && window_) {
        hideWhenTrayAppears_ = false;
        window_->hide();
        printLine(QStringLiteral("hiding into the tray"));
    }
}

void AppDelegate::restartForTray()
{
    if (terminating_)
        return;
    // The new process keeps the window as it is: off screen (or still to be hidden into the
    // first tray, at login) stays so, a window on screen shows again.
    restartAtLogin_ = hideWhenTrayAppears_ || (window_ && !window_->isVisible());
    printLine(QStringLiteral("starting Orvel again to show its icon in the new tray"));
    applicationWillTerminate();
}

void AppDelegate::createWindow()
{
    window_ = new SettingsWindow();
    window_->setWindowTitle(QStringLiteral("Orvel | Loading..."));
    window_->setWindowIcon(QIcon(QStringLiteral(":/Bulb.png")));
    window_->setCloseHandler([this] { windowShouldClose(); });

    // Where a Linux user looks for About and Quit: the window's own menu. The tray menu keeps its
    // two entries.
    QMenu* menu = window_->menuBar()->addMenu(QStringLiteral("&Orvel"));
    QAction* about = menu->addAction(QStringLiteral("About Orvel"));
    about->setObjectName(QStringLiteral("aboutAction"));
    connect(about, &QAction::triggered, this, &AppDelegate::about);
    QAction* midi = menu->addAction(QStringLiteral("MIDI Settings…"));
    midi->setObjectName(QStringLiteral("midiSettingsAction"));
    midi->setShortcut(QKeySequence(QStringLiteral("Ctrl+,")));
    connect(midi, &QAction::triggered, this, [this] {
        if (contentView_)
            contentView_->showMidiSettings();
    });
    addDesktopMenuEntries(menu);
    menu->addSeparator();
    QAction* quit = menu->addAction(QStringLiteral("Quit Orvel"));
    quit->setObjectName(QStringLiteral("quitAction"));
    quit->setShortcut(QKeySequence::Quit);
    connect(quit, &QAction::triggered, this, &AppDelegate::exit);

    window_->centre();
}

void AppDelegate::completeWindow()
{
    window_->setWindowTitle(QStringLiteral("Orvel"));

    controller_ = new LightList(env_.bridges, env_.midi);
    QString host = env_.bridgeHost;
    if (host.isEmpty()) {
        host = RememberedBridge::load();
        if (!host.isEmpty())
            printLine(QStringLiteral("trying the remembered bridge at ") + host);
    } else {
        // Remembered once it has answered as a bridge, so a mistyped address never replaces a
        // good one.
        manualHost_ = host;
        connect(controller_, &LightList::changed, this, &AppDelegate::rememberManualBridge,
                Qt::UniqueConnection);
    }
    if (!host.isEmpty())
        controller_->setGivenBridgeHost(host);
    connect(controller_, &LightList::changed, this, &AppDelegate::notifyAboutStatus);
    connect(controller_, &LightList::changed, this, &AppDelegate::updateTrayIcon);
    auto* view = new ContentView(controller_, loadedNews_);
    contentView_ = view;
    controller_->setContentView(view);
    window_->setContent(view);

    controller_->setUp();

    if (!Preferences::standard().boolean(QString::fromLatin1(kHasShownAbout)).valueOr(false)) {
        printLine(QStringLiteral("first launch: showing About Orvel"));
        about();
    }
}

void AppDelegate::rememberManualBridge()
{
    const auto& client = controller_ ? controller_->lightsInterface() : nullptr;
    if (manualHost_.isEmpty() || !client || !client->authenticated() || client->host() != manualHost_)
        return;
    RememberedBridge::store(manualHost_);
    manualHost_.clear();
}

void AppDelegate::addDesktopMenuEntries(QMenu* menu)
{
    QAction* bridge = menu->addAction(QStringLiteral("Bridge…"));
    bridge->setObjectName(QStringLiteral("bridgeAction"));
    connect(bridge, &QAction::triggered, this, &AppDelegate::showBridgeWindow);
    QAction* notifications = menu->addAction(QStringLiteral("Show Notifications"));
    notifications->setObjectName(QStringLiteral("notificationsAction"));
    notifications->setCheckable(true);
    notifications->setChecked(showsNotifications());
    connect(notifications, &QAction::toggled, this, &AppDelegate::setShowsNotifications);
}

void AppDelegate::showBridgeWindow()
{
    if (!controller_)
        return;
    if (!bridgeWindow_)
        bridgeWindow_ =
            new BridgeWindow(env_.bridges, controller_, [this](const QString& host) { useBridge(host); });
    bridgeWindow_->show();
    bridgeWindow_->raise();
    bridgeWindow_->activateWindow();
}

void AppDelegate::useBridge(const QString& host)
{
    if (!controller_)
        return;
    const auto& client = controller_->lightsInterface();
    if (client && client->authenticated()) {
        // The rules belong to the connected bridge; the chosen one takes over at the next start.
        if (client->host() != host)
            RememberedBridge::store(host);
        return;
    }
    manualHost_ = host;
    connect(controller_, &LightList::changed, this, &AppDelegate::rememberManualBridge, Qt::UniqueConnection);
    controller_->foundHueAt(host, QStringLiteral("bridge given in the Bridge window: ") + host);
}

bool AppDelegate::showsNotifications() const
{
    return Preferences::standard().boolean(QString::fromLatin1(kShowNotificationsKey)).valueOr(true);
}

void AppDelegate::setShowsNotifications(bool show)
{
    Preferences::standard().setBool(QString::fromLatin1(kShowNotificationsKey), show);
}

void AppDelegate::notifyAboutStatus()
{
    const QString& status = controller_->statusText();
    if (status == lastStatus_)
        return;
    lastStatus_ = status;
    // The status line is the controller's account of the connection; its openings are fixed.
    static const QString pairingStarted = QStringLiteral("Connecting to a new Hue Bridge at ");
    static const QString connected = QStringLiteral("Connected to Hue Bridge '");
    if (status.startsWith(pairingStarted)) {
        pairing_ = true;
        // With the window on screen its status line already says so.
        if (window_ && window_->isVisible() && !window_->isMinimized())
            return;
        const QString host = status.mid(pairingStarted.size()).section(QStringLiteral(". "), 0, 0);
        notify(QStringLiteral("Press the link button on your bridge"),
               QStringLiteral("Orvel is pairing with the Hue bridge at %1. Press the round button on top "
                              "of the bridge within 30 seconds.")
                   .arg(host));
    } else if (pairing_ && status.startsWith(connected) && controller_->lightsInterface()) {
        pairing_ = false;
        notify(QStringLiteral("Paired with ") + controller_->lightsInterface()->name(),
               QStringLiteral("Orvel now switches its lights from MIDI."));
    }
    if (status.startsWith(connected) && !bridgeCheck_) {
        // Nothing tells a client that its bridge went away: ask it now and then.
        QPointer<AppDelegate> self(this);
        bridgeCheck_ =
            MainQueue::shared().scheduleRepeating(kBridgeCheckInterval, QVariant(), [self](RepeatingTimer&) {
                if (self)
                    self->checkBridge();
            });
    }
}

void AppDelegate::checkBridge()
{
    const auto& connectedClient = controller_ ? controller_->lightsInterface() : nullptr;
    if (!connectedClient || checkClient_ || terminating_)
        return;
    checkClient_ = env_.bridges->makeClient(connectedClient->host(), connectedClient->username());
    // The completion lets go of checkClient_; the read's client lives through the call.
    const auto client = checkClient_;
    QPointer<AppDelegate> self(this);
    client->readWithCompletion([self](HueBridgeClient& client, const QString& error) {
        if (!self)
            return;
        const bool answers = error.isEmpty() && client.authenticated();
        self->checkClient_.reset();
        if (answers == self->bridgeAnswers_)
            return;
        self->bridgeAnswers_ = answers;
        writeLog(answers ? QStringLiteral("the bridge answers again")
                         : QStringLiteral("the bridge does not answer: ") + error);
        self->noticeConnection();
    });
}

void AppDelegate::noticeConnection()
{
    if (bridgeAnswers_ == noticedAnswers_)
        return;
    const double now = MainQueue::shared().now();
    const double wait = lastConnectionNotice_ + kConnectionNoticeGap - now;
    if (wait > 0) {
        // Within a minute of the last one: say how things stand once the minute is over.
        if (!noticePending_) {
            noticePending_ = true;
            QPointer<AppDelegate> self(this);
            MainQueue::shared().after(wait, [self] {
                if (!self)
                    return;
                self->noticePending_ = false;
                self->noticeConnection();
            });
        }
        return;
    }
    noticedAnswers_ = bridgeAnswers_;
    lastConnectionNotice_ = now;
    const auto& client = controller_->lightsInterface();
    const QString bridge =
        client ? QStringLiteral("'%1' at %2").arg(client->name(), client->host()) : QString();
    if (bridgeAnswers_)
        notify(QStringLiteral("Connected again"),
               QStringLiteral("The Hue bridge %1 answers again; the lights follow MIDI.").arg(bridge));
    else
        notify(QStringLiteral("Lost the bridge"),
               QStringLiteral("The Hue bridge %1 does not answer. The lights do not follow MIDI until it "
                              "does.")
                   .arg(bridge));
}

void AppDelegate::notify(const QString& summary, const QString& body)
{
    if (!showsNotifications())
        return;
    writeLog(QStringLiteral("notification: ") + summary);
    if (env_.notify) {
        env_.notify(summary, body);
        return;
    }
    if (!notifier_)
        notifier_ = new DesktopNotifier(QDBusConnection::sessionBus(), this);
    notifier_->notify(summary, body);
}

void AppDelegate::unhideWindow()
{
    if (!window_)
        return;
    // Once the user has asked for the window, a late tray no longer takes it away.
    hideWhenTrayAppears_ = false;
    window_->show();
    if (window_->isMinimized())
        window_->showNormal();
    window_->raise();
    window_->activateWindow();
    printLine(QStringLiteral("unhiding"));
}

void AppDelegate::about()
{
    showAbout(version_, build_);
}

void AppDelegate::windowShouldClose()
{
    if (!trayAvailable_) {
        // Hidden without a tray icon there would be no way back to the window.
        window_->showMinimized();
        printLine(QStringLiteral("minimising"));
        return;
    }
    window_->hide();
    printLine(QStringLiteral("hiding"));
}

void AppDelegate::exit()
{
    applicationWillTerminate();
}

void AppDelegate::applicationWillTerminate()
{
    if (terminating_) {
        // Asked again (a second Ctrl-C): stop waiting for the bridge.
        finishShutdown();
        return;
    }
    terminating_ = true;
    printLine(QStringLiteral("bai"));
    bool anyOn = false;
    if (contentView_ && controller_) {
        anyOn = anyRuleOn(*controller_);
        controller_->rulesOff();
    }
    // Writes still going out were asked for just before (the DAW left, a note-off came): they put
    // lights back too, so they are waited for like the switch-off's own.
    const bool writing = env_.writesInFlight && env_.writesInFlight() > 0;
    if (!anyOn && !writing) {
        // Nothing was switched on and nothing is being written: no reason to wait.
        finishShutdown();
        return;
    }

    // The switch-off writes go out through this very event loop, so it keeps running (a blocking
    // pause would hold them back) until they have been answered or the grace time is over.
    const double start = MainQueue::shared().now();
    shutdownDeadline_ = start + shutdownCap(controller_ ? controller_->lightRules().size() : 0);
    allOffAt_ = -1;
    MainQueue::shared().after(0, [self = QPointer<AppDelegate>(this)] {
        if (self)
            self->pollShutdown();
    });
}

void AppDelegate::pollShutdown()
{
    if (finished_)
        return;
    const double now = MainQueue::shared().now();

    // Rules past the first few are switched off one by one after a pause; wait for the last.
    const bool rulesPending = controller_ && controller_->globalToggle() && controller_->lightsInterface() &&
                              anyRuleOn(*controller_);
    if (!rulesPending && allOffAt_ < 0)
        allOffAt_ = now;

    const bool answered = !rulesPending && env_.writesInFlight && env_.writesInFlight() == 0;
    const bool graceOver = allOffAt_ >= 0 && now >= allOffAt_ + kShutdownGrace;
    if (answered || graceOver || now >= shutdownDeadline_) {
        finishShutdown();
        return;
    }
    MainQueue::shared().after(kShutdownPoll, [self = QPointer<AppDelegate>(this)] {
        if (self)
            self->pollShutdown();
    });
}

void AppDelegate::finishShutdown()
{
    if (finished_)
        return;
    finished_ = true;
    Preferences::standard().sync();
    Q_EMIT terminated();
    if (env_.exitApp)
        env_.exitApp();
    else
        QCoreApplication::exit(0);
}

} // namespace orvel
