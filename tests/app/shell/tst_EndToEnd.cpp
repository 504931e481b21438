// The real `orvel` executable, headless in a home of its own, against the bridge simulator running
// in this test: the first launch, the bridge it remembers and a later copy handing over to the
// running one; then beside a scripted DAW (orvel-daw-peer) that drives a Mackie Control surface
// over JACK the way Ardour does: what the lights do when the DAW arms, records, stops, closes its
// session or dies, when Orvel quits, and when the JACK server itself goes away.

#include "ShellHarness.h"
#include "support/JackSupport.h"
#include "support/SimBridge.h"
#include "support/TestMain.h"

#include <QStandardPaths>

using namespace orvel;
using namespace orvel::test;

// Rule 0 puts light 1 (Desk: on, hue 8000, sat 140, bri 200) into hue 40000, sat 200, bri 100; no
// other light is written.
const QStringList kOn{R"(1 {"on":true})", R"(1 {"hue":40000,"sat":200,"bri":100})"};
const QStringList kBack{R"(1 {"on":true})", R"(1 {"hue":8000,"sat":140,"bri":200})"};

class EndToEndTest : public QObject {
    Q_OBJECT

    std::unique_ptr<SimBridge> sim_;
    JackServer jack_;
    QString skip_;

    // Starts Orvel over JACK with one rule and lets the rule's first blink and the start-up flash
    // test pass (whose end puts the lights back).
    std::unique_ptr<Orvel> startOrvel(Home& home, QProcessEnvironment env, QStringList arguments = {})
    {
        home.store(QJsonDocument::fromJson(R"({"has_shown_about": true, "rule_count": 1, "0light_index": 0,
            "0on_hue": 40000, "0on_saturation": 200, "0on_value": 100})")
                       .object());
        env.insert(u"ORVEL_MIDI_API"_qs, u"jack"_qs);
        auto orvel = std::make_unique<Orvel>(env, sim_->host(), arguments);
        [&] {
            QTRY_VERIFY2_WITH_TIMEOUT((orvel->said(u"flash test over"_qs) && sim_->writes().size() >= 4) ||
                                          orvel->finished(),
                                      qPrintable(orvel->output), 20000);
            QVERIFY2(!orvel->jackClient().isEmpty(), qPrintable(orvel->output));
        }();
        sim_->sim.clearRequests();
        return orvel;
    }

private slots:
    void initTestCase()
    {
        qputenv("JACK_NO_START_SERVER", "1");
        skip_ = jack_.ensureRunning();
    }
    void init() { sim_ = std::make_unique<SimBridge>(); }

    void firstLaunchOpensAboutAndRemembersTheBridgeALaterCopyHandsOver()
    {
        Home home;
        home.store({});
        Orvel first(home.environment(), sim_->host());
        first.waitUntilConnected();
        QVERIFY(first.said(u"first launch: showing About Orvel"_qs));
        QVERIFY(first.said(u"remembering the bridge address "_qs + sim_->host()));
        first.quit();

        // Without --bridge, the remembered bridge is tried at once; About is not shown again (it was
        // remembered).
        Orvel second(home.environment(), QString());
        second.waitUntilConnected();
        QVERIFY(second.said(u"trying the remembered bridge at "_qs + sim_->host()));
        QVERIFY(!second.said(u"first launch: showing About Orvel"_qs) && !second.said(u"unhiding"_qs));

        // Another launch while it runs shows its window and steps aside, without a banner.
        Orvel third(home.environment(), sim_->host());
        QTRY_VERIFY2_WITH_TIMEOUT(third.finished(), qPrintable(third.output), 10000);
        QCOMPARE(third.process.exitCode(), 0);
        QVERIFY(third.said(u"Orvel is already running; its settings window has been shown"_qs));
        QTRY_VERIFY2_WITH_TIMEOUT(second.said(u"unhiding"_qs), qPrintable(second.output), 5000);
        second.quit();
        const QString log = QString::fromUtf8(home.read(".local/share/Orvel/swift_log.txt"));
        const QRegularExpression launch(u"(?m)^\\S+Z: =+\n\\S+Z: Application Launched$"_qs);
        QVERIFY2(log.indexOf(launch) == 0 && log.count(launch) == 2, qPrintable(log));
    }

    // Each step is a line for the peer (or "kill" it, or "quit" Orvel), then the number of PUTs to
    // light 1 to wait for once it has been carried out. Every session ends with the light back as
    // it was.
    void session_data()
    {
        // Whether it is started with --login (every session has a tray): hidden throughout.
        QTest::addColumn<bool>("atLogin");
        QTest::addColumn<QStringList>("steps");
        QTest::newRow("arm, record, stop") << false << QStringList{"arm:0", "record:2", "stop:4"};
        QTest::newRow("closed while recording") << false << QStringList{"record:2", "close:4"};
        QTest::newRow("killed while recording") << false << QStringList{"record:2", "kill:4"};
        QTest::newRow("at login, quit while recording") << true << QStringList{"record:2", "quit:4"};
        // What PipeWire and a2jmidid make of the DAW's "90 5F 00", after a flood of timecode.
        QTest::newRow("off as a note-off")
            << false << QStringList{"record:2", "timecode 3000:2", "send 805f40:4"};
    }

    void session()
    {
        QFETCH(bool, atLogin);
        QFETCH(QStringList, steps);
        if (!skip_.isEmpty())
            QSKIP(qPrintable(skip_));
        Home home;
        QProcessEnvironment env = home.environment();
        env.insert(u"ORVEL_ASSUME_TRAY"_qs, u"1"_qs);
        const auto orvel = startOrvel(home, env, atLogin ? QStringList{u"--login"_qs} : QStringList());
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(orvel->said(u"was launched by auto-launcher, hiding"_qs), atLogin);

        // The DAW waits for the device's answer before it says anything.
        Program daw(env, QStringLiteral(DAW_PEER), {orvel->jackClient()});
        QTRY_VERIFY2_WITH_TIMEOUT(daw.said(u"talking"_qs), qPrintable(daw.output + orvel->output), 15000);

        for (const QString& step : steps) {
            const QString line = step.section(':', 0, 0);
            if (line == u"kill"_qs) {
                daw.process.kill();
            } else if (line == u"quit"_qs) {
                orvel->quit();
            } else {
                daw.send(line);
                QTRY_VERIFY2_WITH_TIMEOUT(daw.said(u"done "_qs + line.section(' ', 0, 0)),
                                          qPrintable(daw.output), 10000);
            }
            QTRY_VERIFY2_WITH_TIMEOUT(sim_->writes().size() >= step.section(':', 1).toInt(),
                                      qPrintable(orvel->output), 10000);
        }
        QCOMPARE(sim_->writes(), kOn + kBack);
        QVERIFY(!orvel->said(u"unhiding"_qs));
        QCOMPARE(orvel->finished(), steps.last().startsWith(u"quit"_qs));
    }

    // The JACK server goes away under Orvel and comes back: the ports come back with it.
    void serverRestart()
    {
        if (QStandardPaths::findExecutable(u"jackd"_qs).isEmpty())
            QSKIP("jackd is not installed");
        Home home;
        QProcessEnvironment env = home.environment();
        env.insert(u"JACK_NO_AUDIO_RESERVATION"_qs, u"1"_qs);
        // JACK reclaims a dead server's entry in its small server table only by name, so the name
        // comes from a small pool; one that another run of this test is using is skipped, or that
        // run's server would be the one Orvel sees (and never loses).
        QString server;
        for (int n = 0; n < 4 && server.isEmpty(); ++n) {
            server = u"orvel-restart-%1"_qs.arg(n);
            Program check(env, u"jack_wait"_qs, {u"-s"_qs, server, u"-c"_qs});
            if (!check.process.waitForFinished(10000) || !check.said(u"not running"_qs))
                server.clear();
        }
        QVERIFY2(!server.isEmpty(), "every JACK server name of the pool is in use");
        env.insert(u"JACK_DEFAULT_SERVER"_qs, server);
        std::unique_ptr<Program> jackd;
        auto startJack = [&] {
            jackd = std::make_unique<Program>(
                env, u"jackd"_qs, u"-n %1 -S -r -d dummy -r 48000 -p 1024"_qs.arg(server).split(u' '));
            // Ready once a client gets through (30 s: a busy machine). The waiting client must not
            // start a server of that name itself (the environment says so): the test would then
            // stop a server that never ran.
            Program wait(env, u"jack_wait"_qs, {u"-s"_qs, server, u"-w"_qs, u"-t"_qs, u"30"_qs});
            QVERIFY2(wait.process.waitForFinished(40000) && wait.process.exitCode() == 0 &&
                         !jackd->finished(),
                     qPrintable(jackd->output + wait.output));
        };
        startJack();
        const auto orvel = startOrvel(home, env);
        if (QTest::currentTestFailed())
            return;

        // A loaded machine can take its time to stop the server; Orvel hears of it when the server's
        // end closes the connection.
        jackd->process.terminate();
        QTRY_VERIFY2_WITH_TIMEOUT(jackd->finished(), qPrintable(jackd->output), 30000);
        QTRY_VERIFY2_WITH_TIMEOUT(orvel->said(u"MIDI server lost"_qs), qPrintable(orvel->output), 10000);
        startJack();
        QTRY_VERIFY2_WITH_TIMEOUT(orvel->said(u"MIDI server back"_qs), qPrintable(orvel->output), 20000);
        QCOMPARE(orvel->output.count(u"MIDI server lost"_qs), 1);

        Program daw(env, QStringLiteral(DAW_PEER), {orvel->jackClient()});
        QTRY_VERIFY2_WITH_TIMEOUT(daw.said(u"talking"_qs), qPrintable(daw.output + orvel->output), 15000);
        daw.send(u"record"_qs);
        QTRY_COMPARE_WITH_TIMEOUT(sim_->writes(), kOn, 10000);
    }
};

ORVEL_TEST_MAIN(EndToEndTest)
#include "tst_EndToEnd.moc"
