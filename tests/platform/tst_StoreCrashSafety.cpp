// The preferences file survives what ends the real program abruptly: SIGKILL at any moment while
// its switches are flipped from the command line, the signals that end a desktop session, and a
// configuration directory that is read-only or full.
#include "ShellHarness.h"
#include "platform/Console.h"
#include "platform/Preferences.h"
#include "support/TestMain.h"

#include <QRandomGenerator>
#include <QTimer>

#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

using namespace orvel;
using namespace orvel::test;

namespace {

const char* const kStore = ".config/Orvel/preferences.json";

const auto readStore = [](const Home& home) { return QJsonDocument::fromJson(home.read(kStore)).object(); };

// The program in `home`, once it listens for later copies (sockets a killed copy left are removed).
bool startOrvel(std::unique_ptr<Orvel>& app, const Home& home, const QString& bridge)
{
    QDir runtime(home.path("runtime"));
    for (const QString& name : runtime.entryList({u"orvel-*"_qs}, QDir::System | QDir::Files))
        runtime.remove(name);
    app = std::make_unique<Orvel>(home.environment(), bridge);
    return QTest::qWaitFor([&] { return !runtime.entryList({u"orvel-*.sock"_qs}, QDir::System).isEmpty(); },
                           20'000) &&
           !app->finished();
}

} // namespace

class StoreCrashSafetyTest : public QObject {
    Q_OBJECT

private slots:
    void killedAtAnyMomentTheFileHoldsOneWholeSnapshot()
    {
        const SimBridge bridge;
        // 200 for the full figure (ORVEL_KILLS=200); fewer by default to keep the suite quick.
        const int kills = qEnvironmentVariable("ORVEL_KILLS", u"25"_qs).toInt();
        QRandomGenerator random(20261206);
        Home home;
        home.store({});
        QJsonObject previous = readStore(home);
        int flips = 0, latest = 0, midWrite = 0;
        for (int i = 0; i < kills; ++i) {
            std::unique_ptr<Orvel> app;
            QVERIFY2(startOrvel(app, home, bridge.host()), qPrintable(app->output));
            // Flipped without a pause until the kill, which may land in a flip or in a write.
            bool killed = false, enabled = previous.value(u"global_toggle"_qs).toBool(true);
            QTimer::singleShot(random.bounded(50, 1500), &app->process, [&] {
                app->process.kill();
                killed = true;
            });
            while (!killed) {
                Program flip(home.environment(), QStringLiteral(ORVEL_EXECUTABLE),
                             {enabled ? u"--disable"_qs : u"--enable"_qs});
                QTRY_VERIFY_WITH_TIMEOUT(flip.finished() || killed, 20'000);
                const bool flipped = flip.finished() && flip.process.exitCode() == 0;
                QVERIFY2(flipped || killed, qPrintable(flip.output));
                enabled ^= flipped;
                flips += int(flipped);
            }
            QTRY_VERIFY(app->finished());

            // A write cut short leaves only its temporary file beside the whole one.
            const QStringList entries = QDir(home.path(".config/Orvel")).entryList(QDir::Files);
            midWrite += int(entries.size() > 1);
            QVERIFY2(entries.filter(u"corrupt"_qs).isEmpty(), qPrintable(entries.join(u' ')));
            const QJsonObject store = readStore(home);
            QCOMPARE(store.value(u"hue_username"_qs).toString(), kSimUser);
            QVERIFY(store.value(u"global_toggle"_qs).isBool());
            for (const QString& key : previous.keys()) // a later snapshot loses nothing
                QVERIFY2(store.contains(key), qPrintable(key));
            latest += int(store.value(u"global_toggle"_qs).toBool() == enabled);
            previous = store;
        }
        qInfo("%d kills, %d flips: the file held the latest switch %d times; %d writes cut short", kills,
              flips, latest, midWrite);
    }

    void sessionEndingSignalsWriteTheLastEdit()
    {
        for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
            Home home;
            home.store({});
            std::unique_ptr<Orvel> app;
            QVERIFY(startOrvel(app, home, QString()));
            // The start's own write.
            QTRY_COMPARE(readStore(home).value(u"global_toggle"_qs), QJsonValue(true));
            Program flip(home.environment(), QStringLiteral(ORVEL_EXECUTABLE), {u"--disable"_qs});
            QTRY_VERIFY(app->said(u"from the command line: \"System Enabled\" is off"_qs));
            // The edit waits for its delayed write; the signal comes first.
            QCOMPARE(readStore(home).value(u"global_toggle"_qs), QJsonValue(true));
            ::kill(static_cast<pid_t>(app->process.processId()), signal);
            QTRY_VERIFY(app->finished());
            QVERIFY(app->process.exitStatus() == QProcess::NormalExit && app->process.exitCode() == 0);
            QCOMPARE(readStore(home).value(u"global_toggle"_qs), QJsonValue(false));
            QCOMPARE(readStore(home).value(u"hue_username"_qs).toString(), kSimUser);
        }
    }

    // Root writes anywhere, so a read-only directory is tried as nobody; a file size limit stands
    // in for a full disk.
    void refusedWritesKeepTheOldFileAndSayWhy()
    {
        for (const auto& [full, reason] : {std::pair{false, "Permission denied"}, {true, "File too large"}}) {
            Home home;
            home.store({});
            const QByteArray before = home.read(kStore);
            const bool root = ::geteuid() == 0;
            rlimit saved{};
            ::getrlimit(RLIMIT_FSIZE, &saved);
            if (full) {
                std::signal(SIGXFSZ, SIG_IGN);
                rlimit tight{rlim_t(before.size() + 16), saved.rlim_max};
                QCOMPARE(::setrlimit(RLIMIT_FSIZE, &tight), 0);
            } else {
                // The file stays its owner's to write, as it is the user's own.
                for (const QString& owned :
                     {home.dir.path(), home.path(".config"), home.path(".config/Orvel"), home.path(kStore)})
                    QVERIFY(!root || ::chown(owned.toLocal8Bit().constData(), 65534, 65534) == 0);
                QFile::setPermissions(home.path(".config/Orvel"),
                                      QFileDevice::ReadOwner | QFileDevice::ExeOwner);
                QVERIFY(!root || ::seteuid(65534) == 0);
            }
            ConsoleCapture console;
            std::optional<Preferences> store(std::in_place, home.path(kStore));
            store->setText(u"big"_qs, QString(4096, QLatin1Char('x')));
            const bool written = store->sync();
            store.reset(); // its last write, too, before the rights come back
            QVERIFY(!root || full || ::seteuid(0) == 0);
            ::setrlimit(RLIMIT_FSIZE, &saved);

            QVERIFY(!written);
            QCOMPARE(home.read(kStore), before);
            const QString said = console.lines().value(0);
            QVERIFY(said.startsWith(u"preferences: could not write "_qs) && said.contains(reason) &&
                    said.contains(u"the previous file is kept"_qs));
            QCOMPARE(QDir(home.path(".config/Orvel")).entryList(QDir::Files),
                     QStringList{u"preferences.json"_qs});
        }
    }
};

ORVEL_TEST_MAIN(StoreCrashSafetyTest)
#include "tst_StoreCrashSafety.moc"
