#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

namespace orvel {

// Sends notifications to the desktop's notification service (org.freedesktop.Notifications on
// the session bus). Where no bus or no service is there, nothing is shown and nothing complains:
// notifications only repeat what the settings window says.
class DesktopNotifier : public QObject {
    Q_OBJECT
public:
    static constexpr char kService[] = "org.freedesktop.Notifications";
    static constexpr char kPath[] = "/org/freedesktop/Notifications";

    explicit DesktopNotifier(QDBusConnection bus = QDBusConnection::sessionBus(), QObject* parent = nullptr);

    // Shows `summary` and `body` (plain text; markup is escaped), replacing the notification this
    // notifier showed last, so that a state change never leaves the old state on screen.
    void notify(const QString& summary, const QString& body);

    // The id the service gave the last notification; 0 before it answered.
    uint lastId() const { return lastId_; }

Q_SIGNALS:
    // The service answered a notify() (with an id, or an error); for tests and the log.
    void answered(bool ok);

private:
    QDBusConnection bus_;
    uint lastId_ = 0;
};

} // namespace orvel
