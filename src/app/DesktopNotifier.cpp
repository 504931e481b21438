#include "app/DesktopNotifier.h"

#include "app/BuildInfo.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

namespace orvel {

DesktopNotifier::DesktopNotifier(QDBusConnection bus, QObject* parent)
    : QObject(parent)
    , bus_(std::move(bus))
{}

void DesktopNotifier::notify(const QString& summary, const QString& body)
{
    if (!bus_.isConnected())
        return;
    // Asking first keeps a missing service from being activated or answering with an error.
    if (QDBusConnectionInterface* daemon = bus_.interface();
        !daemon || !daemon->isServiceRegistered(QString::fromLatin1(kService)))
        return;

    QDBusMessage call =
        QDBusMessage::createMethodCall(QString::fromLatin1(kService), QString::fromLatin1(kPath),
                                       QString::fromLatin1(kService), QStringLiteral("Notify"));
    const QVariantMap hints{{QStringLiteral("desktop-entry"), QString::fromLatin1(build::appId)}};
    // Servers that support body markup would read "<" and "&" as tags and entities.
    const QString plainBody = body.toHtmlEscaped();
    call << QStringLiteral("Orvel") << lastId_ << QString::fromLatin1(build::appId) << summary << plainBody
         << QStringList() << hints << -1;
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* done) {
        const QDBusPendingReply<uint> reply = *done;
        if (!reply.isError())
            lastId_ = reply.value();
        done->deleteLater();
        Q_EMIT answered(!reply.isError());
    });
}

} // namespace orvel
