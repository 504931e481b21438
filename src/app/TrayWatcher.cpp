#include "app/TrayWatcher.h"

#include <QDBusConnectionInterface>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QGuiApplication>

#include "platform/Console.h"

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

namespace orvel {

namespace {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <typename T> using XcbReply = std::unique_ptr<T, FreeDeleter>;

xcb_connection_t* x11Connection()
{
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

xcb_atom_t internAtom(xcb_connection_t* connection, const QByteArray& name)
{
    XcbReply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, quint16(name.size()), name.constData()), nullptr));
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

// Adds StructureNotify to what this client hears from `window`, keeping what it heard already
// (the mask is per client, and Qt has its own on the root window).
void hearStructure(xcb_connection_t* connection, xcb_window_t window)
{
    XcbReply<xcb_get_window_attributes_reply_t> attributes(
        xcb_get_window_attributes_reply(connection, xcb_get_window_attributes(connection, window), nullptr));
    if (!attributes)
        return;
    const uint32_t mask = attributes->your_event_mask | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_change_window_attributes(connection, window, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(connection);
}

const QString kWatcherPath = QStringLiteral("/StatusNotifierWatcher");

// Whether a host shows the watcher's items: what Qt asks before it puts an icon there.
QDBusMessage askHostRegistered()
{
    const QString service = QString::fromLatin1(TrayWatcher::kWatcherService);
    QDBusMessage message = QDBusMessage::createMethodCall(
        service, kWatcherPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    message << service << QStringLiteral("IsStatusNotifierHostRegistered");
    return message;
}

bool saysYes(const QDBusMessage& reply)
{
    return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
           reply.arguments().constFirst().value<QDBusVariant>().variant().toBool();
}

} // namespace

TrayWatcher::TrayWatcher(QDBusConnection bus, QObject* parent)
    : QObject(parent)
    , bus_(bus)
{
    const QString service = QString::fromLatin1(kWatcherService);
    if (bus.isConnected()) {
        serviceWatcher_ = new QDBusServiceWatcher(
            service, bus,
            QDBusServiceWatcher::WatchForRegistration | QDBusServiceWatcher::WatchForUnregistration, this);
        connect(serviceWatcher_, &QDBusServiceWatcher::serviceRegistered, this,
                [this] { setStatusNotifier(true); });
        connect(serviceWatcher_, &QDBusServiceWatcher::serviceUnregistered, this,
                [this] { setStatusNotifier(false); });
        if (QDBusConnectionInterface* daemon = bus.interface())
            statusNotifier_ = daemon->isServiceRegistered(service);
        statusNotifierAtStart_ = statusNotifier_;
        // Asked before the first tray icon is made, so the answer is the one Qt gets.
        iconOnDBus_ = statusNotifier_ && saysYes(bus.call(askHostRegistered()));
        // From any sender: a watcher that appears later has no owner Qt knows yet, and a signal it
        // sends before Qt has heard of the new owner would be dropped.
        bus.connect(QString(), kWatcherPath, service, QStringLiteral("StatusNotifierHostRegistered"), this,
                    SLOT(hostRegistered()));
    }
    watchX11();
}

TrayWatcher::~TrayWatcher()
{
    if (filtering_ && qGuiApp)
        qGuiApp->removeNativeEventFilter(this);
}

void TrayWatcher::watchX11()
{
    xcb_connection_t* connection = x11Connection();
    if (!connection)
        return;
    const xcb_setup_t* setup = xcb_get_setup(connection);
    const xcb_screen_t* screen = xcb_setup_roots_iterator(setup).data;
    if (!screen)
        return;
    // Qt's X11 connection always works on the default screen.
    const QByteArray selection = "_NET_SYSTEM_TRAY_S" + QByteArray::number(0);
    selectionAtom_ = internAtom(connection, selection);
    managerAtom_ = internAtom(connection, "MANAGER");
    if (selectionAtom_ == XCB_ATOM_NONE || managerAtom_ == XCB_ATOM_NONE)
        return;
    // A new tray announces itself to the root window's StructureNotify listeners.
    hearStructure(connection, screen->root);
    qGuiApp->installNativeEventFilter(this);
    filtering_ = true;

    XcbReply<xcb_get_selection_owner_reply_t> owner(xcb_get_selection_owner_reply(
        connection, xcb_get_selection_owner(connection, selectionAtom_), nullptr));
    if (owner && owner->owner != XCB_WINDOW_NONE) {
        hearStructure(connection, owner->owner);
        xembedOwner_ = owner->owner;
    }
}

bool TrayWatcher::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*)
{
    if (eventType != "xcb_generic_event_t")
        return false;
    const auto* event = static_cast<xcb_generic_event_t*>(message);
    switch (event->response_type & 0x7f) {
    case XCB_CLIENT_MESSAGE: {
        const auto* client = reinterpret_cast<const xcb_client_message_event_t*>(event);
        if (client->type == managerAtom_ && client->format == 32 &&
            client->data.data32[1] == selectionAtom_) {
            const xcb_window_t owner = client->data.data32[2];
            if (xcb_connection_t* connection = x11Connection())
                hearStructure(connection, owner);
            setXembedOwner(owner);
        }
        break;
    }
    case XCB_DESTROY_NOTIFY: {
        const auto* destroyed = reinterpret_cast<const xcb_destroy_notify_event_t*>(event);
        if (xembedOwner_ != 0 && destroyed->window == xembedOwner_)
            setXembedOwner(0);
        break;
    }
    default:
        break;
    }
    // Qt's own tray code hears the same events.
    return false;
}

void TrayWatcher::hostRegistered()
{
    if (iconOnDBus_ || lateHost_)
        return;
    lateHost_ = true;
    if (xembedOwner_ == 0)
        Q_EMIT lateStatusNotifierHost();
}

void TrayWatcher::setStatusNotifier(bool present)
{
    if (present && !statusNotifierAtStart_ && xembedOwner_ == 0) {
        printLine(QStringLiteral("a StatusNotifierItem tray appeared after Orvel started: its icon shows "
                                 "there once Orvel is started again; the settings window stays open"));
    }
    if (!present) {
        lateHost_ = false;
    } else if (!iconOnDBus_) {
        // A watcher often comes up before its host registers; hostRegistered() hears the later one.
        auto* call = new QDBusPendingCallWatcher(bus_.asyncCall(askHostRegistered()), this);
        connect(call, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* answered) {
            answered->deleteLater();
            if (statusNotifier_ && saysYes(answered->reply()))
                hostRegistered();
        });
    }
    const bool was = available();
    statusNotifier_ = present;
    if (available() != was)
        Q_EMIT availabilityChanged(available());
}

void TrayWatcher::setXembedOwner(quint32 window)
{
    const bool was = available();
    const bool lost = xembedOwner_ != 0 && window == 0;
    xembedOwner_ = window;
    if (available() != was)
        Q_EMIT availabilityChanged(available());
    if (lost && lateHost_)
        Q_EMIT lateStatusNotifierHost();
}

} // namespace orvel
