// Notifications over D-Bus, against a fake notification service on the private session bus that
// dbus-run-session gives this test.

#include "app/DesktopNotifier.h"
#include "support/TestMain.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QSignalSpy>

using namespace orvel;

namespace {

struct Received {
    QString app;
    uint replaces;
    QString summary;
    QString body;
};

// The desktop's notification service, as far as Orvel uses it.
class FakeNotifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QList<Received> received;

public slots:
    uint Notify(const QString& app, uint replaces, const QString&, const QString& summary,
                const QString& body, const QStringList&, const QVariantMap&, int)
    {
        received.append({app, replaces, summary, body});
        return replaces ? replaces : uint(received.size() + 40);
    }
};

} // namespace

class DesktopNotifierTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(QDBusConnection::sessionBus().isConnected(), "run under dbus-run-session");
    }

    void notifiesAndReplacesItsLastNotification()
    {
        // The service on a connection of its own, as another process would be.
        QDBusConnection serviceBus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, u"fake"_qs);
        FakeNotifications service;
        QVERIFY(serviceBus.registerObject(QString::fromLatin1(DesktopNotifier::kPath), &service,
                                          QDBusConnection::ExportAllSlots));
        QVERIFY(serviceBus.registerService(QString::fromLatin1(DesktopNotifier::kService)));

        DesktopNotifier notifier;
        QSignalSpy answered(&notifier, &DesktopNotifier::answered);
        notifier.notify(u"Lost the bridge"_qs, u"<b>Hue & co</b>"_qs);
        QTRY_COMPARE(answered.size(), 1);
        notifier.notify(u"Connected again"_qs, u"x"_qs);
        QTRY_COMPARE(answered.size(), 2);
        QCOMPARE(service.received.size(), 2);
        QCOMPARE(service.received[0].app, u"Orvel"_qs);
        QCOMPARE(service.received[0].replaces, 0u);
        QCOMPARE(service.received[0].summary, u"Lost the bridge"_qs);
        QCOMPARE(service.received[0].body, u"&lt;b&gt;Hue &amp; co&lt;/b&gt;"_qs);
        QCOMPARE(service.received[1].replaces, 41u);

        // Gone: nothing is sent, nothing fails.
        QVERIFY(serviceBus.unregisterService(QString::fromLatin1(DesktopNotifier::kService)));
        QTRY_VERIFY(!QDBusConnection::sessionBus().interface()->isServiceRegistered(
            QString::fromLatin1(DesktopNotifier::kService)));
        notifier.notify(u"Paired with Hue"_qs, u"x"_qs);
        // A round trip through the bus: an answer to a call sent before would be in by now.
        QDBusConnection::sessionBus().interface()->isServiceRegistered(u"org.orvel.None"_qs);
        QCoreApplication::processEvents();
        QCOMPARE(answered.size(), 2);
        QCOMPARE(service.received.size(), 2);
        QDBusConnection::disconnectFromBus(u"fake"_qs);
    }
};

ORVEL_TEST_MAIN(DesktopNotifierTest)
#include "tst_DesktopNotifier.moc"
