#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include "app/TrayIcon.h"

#include <functional>
#include <memory>
#include <optional>

#include "hue/HueBridge.h"
#include "platform/MainQueue.h"

class QAction;
class QMenu;
class QSystemTrayIcon;

namespace orvel {

class BridgeWindow;
class ContentView;
class DesktopNotifier;
class HueBridgeServices;
class LightList;
class LoadedNews;
class MidiEndpoints;
class SettingsWindow;

// What the application is built from. main() fills it with the real bridge client and MIDI
// endpoints; tests hand in fakes.
struct AppEnvironment {
    std::shared_ptr<HueBridgeServices> bridges;
    std::shared_ptr<MidiEndpoints> midi;
    // A bridge to use without discovery (--bridge); empty to discover.
    QString bridgeHost;
    // Started by the autostart entry (--login): the window stays hidden where there is a tray.
    bool launchedAtLogin = false;
    // Whether the desktop shows tray icons; unset asks QSystemTrayIcon and follows trays that
    // appear and go away later (TrayWatcher).
    std::optional<bool> trayAvailable;
    // Where the headline is asked for; empty for the product web site.
    QUrl newsBaseUrl;
    // Light writes sent but not yet answered; unset when the bridge client cannot tell, and
    // shutdown then waits its full time.
    std::function<int()> writesInFlight;
    // Shows a desktop notification; unset sends it to the session bus's notification service.
    std::function<void(const QString& summary, const QString& body)> notify;
    // Ends the event loop once shutdown is over; unset calls QCoreApplication::exit(0).
    std::function<void()> exitApp;
};

// The application: tray icon and menu, the settings window and its lifecycle, the About window,
// start-up and shutdown. There is one for the life of the process.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    // Longest wait for the switch-off writes at quit, counted from the last one sent.
    static constexpr double kShutdownGrace = 1.0;
    static constexpr double kShutdownPoll = 0.05;

    // Reads the version and build and creates the news model, whose request leaves at once.
    explicit AppDelegate(AppEnvironment environment, QObject* parent = nullptr);
    ~AppDelegate() override;

    // The launch sequence: log banner, tray icon and menu, settings window (shown, or hidden when
    // started with --login and a tray is there), controller and settings view, setUp(), and About on the
    // first launch.
    void applicationDidFinishLaunching();

    // "Open Orvel Settings": shows the same window again, as it was left.
    void unhideWindow();
    // "Quit Orvel", SIGTERM and SIGINT: the shutdown below.
    void exit();
    // "About Orvel" in the settings window's menu.
    void about();
    // "Bridge…" in the settings window's menu: shows the Bridge window.
    void showBridgeWindow();
    // A bridge the user picked or typed in the Bridge window (checked to be a Hue bridge): used
    // now when no bridge is connected yet, and remembered for later starts.
    void useBridge(const QString& host);
    // The settings window's close button: hides (or minimises where there is no tray).
    void windowShouldClose();
    // Switches every rule off, keeps the event loop running until the writes have been answered
    // (at most kShutdownGrace after the last one is sent), saves the preferences and ends the
    // event loop. With no rule on nothing is written and it ends at once; so does a second call
    // while the first waits.
    void applicationWillTerminate();

    const QString& version() const { return version_; }
    const QString& build() const { return build_; }
    LoadedNews* loadedNews() const { return loadedNews_; }
    QSystemTrayIcon* statusItem() const { return statusItem_; }
    QMenu* statusMenu() const { return statusMenu_; }
    SettingsWindow* window() const { return window_; }
    ContentView* contentView() const;
    LightList* controller() const { return controller_; }
    BridgeWindow* bridgeWindow() const { return bridgeWindow_; }
    bool trayAvailable() const { return trayAvailable_; }
    // What the tray icon shows: not connected, connected, or the rules' lights on.
    TrayState trayState() const { return trayState_; }
    bool terminating() const { return terminating_; }
    // Set once a tray appeared that this process's icon cannot reach: after the shutdown, main()
    // starts Orvel again in its place. True when the new start is a login start, which stays
    // hidden in the tray; false when the window was on screen and shows again.
    std::optional<bool> restartAtLogin() const { return restartAtLogin_; }

    // While connected, the bridge is asked this often whether it still answers; losing it and
    // getting it back are notified, at most one such notification a minute.
    static constexpr double kBridgeCheckInterval = 30.0;
    static constexpr double kConnectionNoticeGap = 60.0;

    // "Show notifications" in the settings window's menu; stored, on unless switched off.
    static constexpr char kShowNotificationsKey[] = "show_notifications";
    bool showsNotifications() const;
    void setShowsNotifications(bool show);

Q_SIGNALS:
    // Shutdown is over; exitApp runs right after.
    void terminated();

private:
    void createStatusItem();
    void createWindow();
    void completeWindow();
    void rememberManualBridge();
    void trayChanged(bool available);
    void restartForTray();
    void makeStatusItem();
    void updateTrayIcon();
    void addDesktopMenuEntries(QMenu* menu);
    void notifyAboutStatus();
    void notify(const QString& summary, const QString& body);
    void checkBridge();
    void noticeConnection();
    void pollShutdown();
    void finishShutdown();

    AppEnvironment env_;
    QString version_;
    QString build_;
    LoadedNews* loadedNews_ = nullptr;

    QSystemTrayIcon* statusItem_ = nullptr;
    QMenu* statusMenu_ = nullptr;
    SettingsWindow* window_ = nullptr;
    QPointer<ContentView> contentView_;
    LightList* controller_ = nullptr;
    bool trayAvailable_ = false;
    // A bridge address given by hand, until it has been connected to and stored.
    QString manualHost_;
    QString lastStatus_;
    bool pairing_ = false;
    DesktopNotifier* notifier_ = nullptr;
    BridgeWindow* bridgeWindow_ = nullptr;
    // Following the connected bridge: its check timer, whether it answered last, what the last
    // connection notification said and when.
    std::shared_ptr<RepeatingTimer> bridgeCheck_;
    std::shared_ptr<HueBridgeClient> checkClient_;
    bool bridgeAnswers_ = true;
    bool noticedAnswers_ = true;
    double lastConnectionNotice_ = -1e9;
    bool noticePending_ = false;
    // Launched at login before the tray was there: hide into the first tray that appears.
    bool hideWhenTrayAppears_ = false;
    TrayState trayState_ = TrayState::NotConnected;
    QColor trayColour_;

    bool terminating_ = false;
    std::optional<bool> restartAtLogin_;
    bool finished_ = false;
    double shutdownDeadline_ = 0;
    double allOffAt_ = -1; // when no rule waited for its switch-off any more
};

} // namespace orvel
