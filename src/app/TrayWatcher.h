#pragma once

#include <QAbstractNativeEventFilter>
#include <QDBusConnection>
#include <QObject>

class QDBusServiceWatcher;

namespace orvel {

// Follows whether the desktop has a system tray while Orvel runs. At login the panel often comes
// up after the programs it starts, and panels restart; Qt answers only when asked. Two kinds of
// tray are followed, each through the event that announces it:
//  - a StatusNotifierItem host: the org.kde.StatusNotifierWatcher service on the session bus.
//    Qt decides once per process, when the first tray icon is made, whether its icons go there
//    (a watcher with a host registered); a host that was not there then can never show Orvel's
//    icon, so only a watcher that was there at start (and went away and came back) counts, and
//    a later host is announced by lateStatusNotifierHost();
//  - an XEmbed tray (X11): the owner of the _NET_SYSTEM_TRAY_S<n> selection, announced by the
//    MANAGER client message on the root window and gone with its window's DestroyNotify.
class TrayWatcher : public QObject, public QAbstractNativeEventFilter {
    Q_OBJECT
public:
    static constexpr char kWatcherService[] = "org.kde.StatusNotifierWatcher";

    explicit TrayWatcher(QDBusConnection bus = QDBusConnection::sessionBus(), QObject* parent = nullptr);
    ~TrayWatcher() override;

    bool available() const { return (statusNotifier_ && statusNotifierAtStart_) || xembedOwner_ != 0; }

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

Q_SIGNALS:
    // Whenever available() changes.
    void availabilityChanged(bool available);
    // A StatusNotifierItem host is ready that this process's tray icon cannot reach, and no
    // XEmbed tray shows the icon instead: only a new process of Orvel gets an icon there. Once
    // for each appearance of the watcher, and again when an XEmbed tray showing the icon goes.
    void lateStatusNotifierHost();

private Q_SLOTS:
    void hostRegistered();

private:
    void setStatusNotifier(bool present);
    void setXembedOwner(quint32 window);
    void watchX11();

    QDBusConnection bus_;
    QDBusServiceWatcher* serviceWatcher_ = nullptr;
    bool statusNotifier_ = false;
    bool statusNotifierAtStart_ = false;
    // Qt's icon went to a StatusNotifierItem host (one was registered when Orvel started).
    bool iconOnDBus_ = false;
    // A host this process's icon cannot reach is ready (lateStatusNotifierHost() was due).
    bool lateHost_ = false;
    quint32 xembedOwner_ = 0;
    quint32 selectionAtom_ = 0;
    quint32 managerAtom_ = 0;
    bool filtering_ = false;
};

} // namespace orvel
