// Orvel: switches Philips Hue lights from MIDI, from the system tray.
//
// Environment variables for tests, demos and screenshots (none is needed in normal use):
//   ORVEL_MIDI_API=alsa|jack|none  which MIDI system to use (see RtMidiEndpoints)
//   ORVEL_ASSUME_TRAY=1|0           take the system tray as present (1) or absent (0) instead of
//                                   asking the desktop; headless tests have no tray
//   ORVEL_NEWS_URL=http://...       where the headline is asked for instead of the product site
//   ORVEL_DISCOVERY_URL=http://...  where the cloud lookup of bridges is asked instead of the
//                                   vendor's; mDNS is not used then (tests stay on loopback)
//   ORVEL_SCREENSHOT_DIR=DIR        once connected to a bridge, save the settings window and the
//                                   About window as DIR/screenshot-settings.png and
//                                   DIR/screenshot-about.png, and the tray icon's states on a dark
//                                   and a light panel as DIR/screenshot-tray.png, and the Bridge
//                                   window as DIR/screenshot-bridge.png

#include "app/AppDelegate.h"
#include "app/BridgeWindow.h"
#include "app/BuildInfo.h"
#include "app/CommandLine.h"
#include "app/RemoteSwitches.h"
#include "app/SettingsWindow.h"
#include "app/SignalHandler.h"
#include "app/SingleInstance.h"
#include "app/TrayIcon.h"
#include "controller/LightList.h"
#include "controller/bridge/HttpHueBridgeServices.h"
#include "controller/midi/RtMidiEndpoints.h"
#include "platform/Console.h"
#include "platform/MainQueue.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QPainter>
#include <QPixmap>

#include <array>
#include <string>
#include <vector>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <unistd.h>

namespace {

using namespace orvel;

std::optional<bool> trayFromEnvironment()
{
    const QByteArray value = qgetenv("ORVEL_ASSUME_TRAY");
    if (value == "1")
        return true;
    if (value == "0")
        return false;
    if (!value.isEmpty())
        printLine(QStringLiteral("ignoring ORVEL_ASSUME_TRAY=\"%1\": use 1 or 0")
                      .arg(QString::fromLocal8Bit(value)));
    return std::nullopt;
}

QUrl urlFromEnvironment(const char* name)
{
    const QString value = qEnvironmentVariable(name);
    if (value.isEmpty())
        return {};
    QUrl url(value, QUrl::StrictMode);
    if (!url.isValid() ||
        (url.scheme() != QStringLiteral("http") && url.scheme() != QStringLiteral("https"))) {
        printLine(
            QStringLiteral("ignoring %1=\"%2\": not an http(s) address").arg(QLatin1String(name), value));
        return {};
    }
    return url;
}

// The tray icon's three states on a dark and a light panel, at twice a panel's 22 px.
QImage trayPanels()
{
    const int icon = 44;
    const QStringList labels{QStringLiteral("not connected"), QStringLiteral("connected"),
                             QStringLiteral("lights on")};
    const std::array states{TrayState::NotConnected, TrayState::Normal, TrayState::LightsOn};
    QImage image(3 * 160, 2 * 76, QImage::Format_ARGB32);
    QPainter painter(&image);
    for (int row = 0; row < 2; ++row) {
        const QColor panel = row == 0 ? QColor(30, 30, 34) : QColor(239, 239, 242);
        painter.fillRect(QRect(0, row * 76, image.width(), 76), panel);
        painter.setPen(row == 0 ? QColor(220, 220, 224) : QColor(40, 40, 44));
        for (int i = 0; i < 3; ++i) {
            const QIcon shown = trayIcon(states[i], ruleColour(0, 254, 254));
            painter.drawPixmap(i * 160 + 58, row * 76 + 6, shown.pixmap(icon));
            painter.drawText(QRect(i * 160, row * 76 + 52, 160, 20), Qt::AlignCenter, labels[i]);
        }
    }
    return image;
}

// Saves both windows once the settings window shows a connected bridge (or after 15 s).
void scheduleScreenshots(AppDelegate& delegate, const QString& directory, double started)
{
    MainQueue::shared().after(0.25, [&delegate, directory, started] {
        const double now = MainQueue::shared().now();
        const LightList* controller = delegate.controller();
        static double connectedAt = -1;
        if (connectedAt < 0 && controller && controller->statusText().startsWith(QStringLiteral("Connected")))
            connectedAt = now;
        // A moment after connecting, so the rule rows have their lights and the flash test is over.
        const bool ready = connectedAt >= 0 && now >= connectedAt + 3.0;
        if (!ready && now < started + 15.0) {
            scheduleScreenshots(delegate, directory, started);
            return;
        }
        QDir().mkpath(directory);
        auto save = [directory](QWidget* window, const QString& name) {
            const QString path = QDir(directory).filePath(name);
            if (window && window->grab().save(path))
                printLine(QStringLiteral("saved screenshot ") + path);
            else
                printLine(QStringLiteral("could not save screenshot ") + path);
        };
        save(delegate.window(), QStringLiteral("screenshot-settings.png"));
        QWidget* about = nullptr;
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (widget->isVisible() && widget->windowTitle() == QStringLiteral("About Orvel"))
                about = widget;
        }
        save(about, QStringLiteral("screenshot-about.png"));
        // The Bridge window, after checking the connected bridge's address.
        delegate.showBridgeWindow();
        if (BridgeWindow* bridge = delegate.bridgeWindow();
            bridge && controller && controller->lightsInterface()) {
            bridge->addressField()->setText(controller->lightsInterface()->host());
            QObject::connect(bridge, &BridgeWindow::checked, bridge, [bridge, save] {
                MainQueue::shared().after(
                    1.0, [bridge, save] { save(bridge, QStringLiteral("screenshot-bridge.png")); });
            });
            bridge->connectToAddress();
        }
        const QString tray = QDir(directory).filePath(QStringLiteral("screenshot-tray.png"));
        printLine((trayPanels().save(tray) ? QStringLiteral("saved screenshot ")
                                           : QStringLiteral("could not save screenshot ")) +
                  tray);
    });
}

// One run of the application, from the GUI's start to its end; `restartAtLogin` is set when Orvel
// is to start again in its place.
int run(int& argc, char** argv, const LaunchOptions& options, std::optional<bool>& restartAtLogin)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Orvel"));
    QApplication::setApplicationVersion(QString::fromLatin1(build::version));
    QApplication::setDesktopFileName(QString::fromLatin1(build::appId));
    // Closing the settings window only hides it: the lights keep following MIDI.
    QApplication::setQuitOnLastWindowClosed(false);

    SingleInstance instance;
    const QStringList switches = switchArguments(options);
    switch (instance.claim(3000, switches)) {
    case SingleInstance::Role::HandedOver:
        if (!switches.isEmpty()) {
            printLine(instance.answer());
            return instance.switchesSet() ? 0 : 1;
        }
        printLine(QStringLiteral("Orvel is already running; its settings window has been shown"));
        return 0;
    case SingleInstance::Role::Unresponsive:
        printLine(QStringLiteral("another Orvel is running but did not answer; not starting a second one"));
        return 1;
    case SingleInstance::Role::Primary:
        break;
    }

    DiscoveryOptions discovery;
    if (!options.bridgeHost.isEmpty()) {
        // A bridge named on the command line is used as it is: nothing is sent to the network to
        // look for others.
        discovery.useMdns = false;
        discovery.useCloud = false;
        // Checked like a found bridge, so the Bridge window lists it.
        discovery.hosts = {options.bridgeHost};
    } else if (const QUrl lookup = urlFromEnvironment("ORVEL_DISCOVERY_URL"); !lookup.isEmpty()) {
        discovery.useMdns = false;
        discovery.cloudUrl = lookup;
    }

    AppEnvironment environment;
    auto bridges = std::make_shared<HttpHueBridgeServices>(BridgeClientOptions{}, discovery);
    environment.bridges = bridges;
    environment.writesInFlight = [bridges] { return bridges->requestsInFlight(); };
    environment.midi = std::make_shared<RtMidiEndpoints>();
    environment.bridgeHost = options.bridgeHost;
    environment.launchedAtLogin = options.atLogin;
    environment.trayAvailable = trayFromEnvironment();
    environment.newsBaseUrl = urlFromEnvironment("ORVEL_NEWS_URL");
    AppDelegate delegate(std::move(environment));

    QObject::connect(&instance, &SingleInstance::showRequested, &delegate, &AppDelegate::unhideWindow);
    // `orvel --disable` and the like, run while this copy runs: its switches, as if flipped here.
    instance.setSwitchHandler([&delegate](const QStringList& words, const SingleInstance::Reply& reply) {
        const LaunchOptions asked = parseCommandLine(QStringList{QStringLiteral("orvel")} + words);
        if (asked.action != LaunchOptions::Action::Run || (!asked.systemEnabled && !asked.alwaysOn))
            return reply(false, QStringLiteral("not a switch: ") + words.join(QLatin1Char(' ')));
        if (!delegate.controller())
            return reply(false, QStringLiteral("Orvel is still starting; try again in a moment"));
        setSwitches(*delegate.controller(), asked.systemEnabled, asked.alwaysOn, false,
                    [reply](bool set, const QString& text) {
                        printLine(QStringLiteral("from the command line: ") + text);
                        reply(set, text);
                    });
    });

    // Logout, shutdown and Ctrl-C put the lights back like "Quit Orvel" does.
    SignalHandler signalHandler;
    signalHandler.watch({SIGTERM, SIGINT, SIGHUP});
    QObject::connect(&signalHandler, &SignalHandler::received, &delegate, &AppDelegate::exit);

    MainQueue::shared().after(0, [&delegate, options] {
        delegate.applicationDidFinishLaunching();
        // Switches given to this start apply once it has started; "Always On" waits for the bridge.
        if (delegate.controller() && (options.systemEnabled || options.alwaysOn))
            setSwitches(*delegate.controller(), options.systemEnabled, options.alwaysOn, true,
                        [](bool, const QString& text) {
                            printLine(QStringLiteral("from the command line: ") + text);
                        });
    });

    const QString screenshotDir = qEnvironmentVariable("ORVEL_SCREENSHOT_DIR");
    if (!screenshotDir.isEmpty())
        scheduleScreenshots(delegate, screenshotDir, MainQueue::shared().now());

    const int status = QApplication::exec();
    restartAtLogin = delegate.restartAtLogin();
    return status;
}

// Starts Orvel again in this very process, once everything of the last run has been let go
// (preferences saved, single-instance socket and MIDI ports closed): the session, the autostart
// and whoever waits for Orvel's process see one Orvel that runs on.
int restartInPlace(const std::vector<std::string>& given, bool atLogin)
{
    std::vector<char*> arguments;
    for (const std::string& argument : given) {
        if (atLogin || argument != "--login")
            arguments.push_back(const_cast<char*>(argument.c_str()));
    }
    arguments.push_back(nullptr);
    ::execv("/proc/self/exe", arguments.data());
    printLine(
        QStringLiteral("could not start Orvel again: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    // The command line is read before the GUI starts, so --help and --version work without a
    // display.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    const LaunchOptions options = parseCommandLine(arguments);
    switch (options.action) {
    case LaunchOptions::Action::ShowHelp:
    case LaunchOptions::Action::ShowVersion:
        printLine(options.text);
        return 0;
    case LaunchOptions::Action::Fail:
        std::fprintf(stderr, "%s\n", options.text.toLocal8Bit().constData());
        return 2;
    case LaunchOptions::Action::Run:
        break;
    }

    // Qt takes its own options out of argv; a restart passes them on as they were given.
    const std::vector<std::string> given(argv, argv + argc);
    std::optional<bool> restartAtLogin;
    const int status = run(argc, argv, options, restartAtLogin);
    if (restartAtLogin)
        return restartInPlace(given, *restartAtLogin);
    return status;
}
