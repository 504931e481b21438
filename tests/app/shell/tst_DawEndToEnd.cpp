// The real `orvel` beside a scripted DAW (orvel-daw-peer) that drives a Mackie Control surface
// over JACK the way Ardour does, with the bridge simulator: what the lights do when the DAW arms,
// records, stops, closes its session or dies, and when the JACK server itself goes away.

#include "BridgeSimulator.h"
#include "ShellHarness.h"
#include "support/JackSupport.h"
#include "support/TestMain.h"

#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>

#include <memory>

using namespace orvel;
using namespace orvel::test;

namespace {

// Rule 0 puts light 1 (Desk: on, hue 8418, sat 140, bri 200) into hue 40000, sat 200, bri 100.
const QStringList kOn{R"({"on":true})", R"({"hue":40000,"sat":200,"bri":100})"};
const QStringList kBack{R"({"on":true})", R"({"hue":8418,"sat":140,"bri":200})"};

QJsonObject prefsWith(const QString& extra)
{
    QJsonObject prefs =
        QJsonDocument::fromJson(R"({"has_shown_about": true, "rule_count": 1, "0light_index": 0,
        "0on_hue": 40000, "0on_saturation": 200, "0on_value": 100})")
            .object();
    const QJsonObject more = QJsonDocument::fromJson(extra.toUtf8()).object();
    for (auto it = more.begin(); it != more.end(); ++it)
        prefs.insert(it.key(), it.value());
    return prefs;
}

// A JACK server of the test's own, to stop and start under Orvel.
class PrivateJack {
public:
    explicit PrivateJack(QString name)
        : name_(std::move(name))
    {}
    ~PrivateJack() { stop(); }
    bool start()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"JACK_NO_AUDIO_RESERVATION"_qs, u"1"_qs);
        process_.setProcessEnvironment(env);
        process_.setProcessChannelMode(QProcess::MergedChannels);
        process_.start(u"jackd"_qs, {u"-n"_qs, name_, u"-S"_qs, u"-r"_qs, u"-d"_qs, u"dummy"_qs, u"-r"_qs,
                                     u"48000"_qs, u"-p"_qs, u"1024"_qs});
        if (!process_.waitForStarted(5000))
            return false;
        // Ready once a client gets through.
        env.insert(u"JACK_DEFAULT_SERVER"_qs, name_);
        env.insert(u"JACK_NO_START_SERVER"_qs, u"1"_qs);
        for (int i = 0; i < 300 && process_.state() == QProcess::Running; ++i) { // a busy machine: 30 s
            QProcess lsp;
            lsp.setProcessEnvironment(env);
            lsp.start(u"jack_lsp"_qs, {});
            if (lsp.waitForFinished(5000) && lsp.exitCode() == 0)
                return true;
            QThread::msleep(100);
        }
        return false;
    }
    // What the server said, for a failure message.
    QString output() { return QString::fromLocal8Bit(process_.readAll()); }
    void stop()
    {
        process_.terminate();
        if (!process_.waitForFinished(5000))
            process_.kill();
        process_.waitForFinished(2000);
    }

private:
    QString name_;
    QProcess process_;
};

} // namespace

class DawEndToEndTest : public QObject {
    Q_OBJECT

    std::unique_ptr<sim::BridgeSimulator> sim_;
    test::JackServer jack_;
    QString skip_;

    QStringList putBodies() const
    {
        QStringList bodies;
        const QString path = u"/api/%1/lights/1/state"_qs.arg(kUser);
        for (const sim::RecordedRequest& request : sim_->requests()) {
            if (request.method == u"PUT"_qs && request.path == path)
                bodies << QString::fromUtf8(request.body);
        }
        return bodies;
    }

    // Starts Orvel, lets its rule's first blink and the start-up flash test pass (whose end puts
    // the lights back) and gives its JACK client name.
    void startOrvel(Orvel& orvel, QString* client)
    {
        QTRY_VERIFY2_WITH_TIMEOUT((orvel.said(u"flash test over"_qs) && putBodies().size() >= 4) ||
                                      orvel.finished(),
                                  qPrintable(orvel.output), 20000);
        sim_->clearRequests();
        const auto match = QRegularExpression(uR"(open through JACK as "(.*):Orvel")"_qs).match(orvel.output);
        *client = match.captured(1);
        QVERIFY2(!client->isEmpty(), qPrintable(orvel.output));
    }

    QProcessEnvironment jackEnvironment(const Home& home) const
    {
        QProcessEnvironment env = home.environment();
        env.insert(u"ORVEL_MIDI_API"_qs, u"jack"_qs);
        env.insert(u"JACK_NO_START_SERVER"_qs, u"1"_qs);
        return env;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(QFile::exists(QStringLiteral(DAW_PEER)), DAW_PEER);
        qputenv("JACK_NO_START_SERVER", "1");
        skip_ = jack_.ensureRunning();
    }
    void init()
    {
        QString error;
        sim_ = pairedSimulator(&error);
        QVERIFY2(sim_, qPrintable(error));
    }

    void session_data()
    {
        QTest::addColumn<QString>("prefs");
        // Each step is a line for the peer (or "kill"), then the number of PUTs to light 1 to
        // wait for once it has been carried out.
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QStringList>("puts");
        QTest::addColumn<QString>("unsaid"); // a whole line Orvel must not have printed

        QTest::newRow("arm, record, stop") << "{}" << QStringList{"arm:0", "record:2", "stop:4"}
                                           << kOn + kBack << "NoteOn channel 1 note 95 velocity 1";
        QTest::newRow("light while armed") << R"({"midi_light_while_armed": true})"
                                           << QStringList{"arm:2", "record:2", "stop:4"} << kOn + kBack << "";
        QTest::newRow("closed while recording")
            << "{}" << QStringList{"record:2", "close:4"} << kOn + kBack << "";
        QTest::newRow("killed while recording")
            << "{}" << QStringList{"record:2", "kill:4"} << kOn + kBack << "";
        QTest::newRow("select strip 2, note 25 off")
            << R"({"midi_note25": false})" << QStringList{"select2:0", "record:2"} << kOn
            << "NoteOn channel 1 note 25 velocity 127";
        QTest::newRow("channel 2 only")
            << R"({"midi_channel": 2})" << QStringList{"send 905f7f:0", "send 915f7f:2"} << kOn
            << "NoteOn channel 1 note 95 velocity 127";
        // What PipeWire and a2jmidid make of the DAW's "90 5F 00".
        QTest::newRow("off as a note-off")
            << "{}" << QStringList{"record:2", "timecode 3000:2", "send 805f40:4"} << kOn + kBack << "";
    }

    void session()
    {
        QFETCH(QString, prefs);
        QFETCH(QStringList, steps);
        QFETCH(QStringList, puts);
        QFETCH(QString, unsaid);
        if (!skip_.isEmpty())
            QSKIP(qPrintable(skip_));

        Home home(prefsWith(prefs));
        const QProcessEnvironment env = jackEnvironment(home);
        Orvel orvel(env, sim_->hostAndPort());
        QString client;
        startOrvel(orvel, &client);
        if (QTest::currentTestFailed())
            return;

        // The default device profile waits for the device's answer before it says anything.
        Program daw(env, QStringLiteral(DAW_PEER), {u"--handshake"_qs, u"--connect"_qs, client});
        QTRY_VERIFY2_WITH_TIMEOUT(daw.said(u"talking"_qs), qPrintable(daw.output + orvel.output), 15000);
        QVERIFY2(daw.said(u"answered f000006614014f5256454c303101020304f7"_qs), qPrintable(daw.output));
        QCOMPARE(daw.output.count(u"answered"_qs), 1);

        for (const QString& step : steps) {
            const QString line = step.section(':', 0, 0);
            if (line == u"kill"_qs) {
                daw.process.kill();
            } else {
                daw.send(line);
                QTRY_VERIFY2_WITH_TIMEOUT(daw.said(u"done "_qs + line.section(' ', 0, 0)),
                                          qPrintable(daw.output), 10000);
            }
            const int wanted = step.section(':', 1).toInt();
            QTRY_VERIFY2_WITH_TIMEOUT(putBodies().size() >= wanted, qPrintable(orvel.output), 10000);
        }
        QCOMPARE(putBodies(), puts);
        if (!unsaid.isEmpty())
            QVERIFY2(!orvel.output.split(u'\n').contains(unsaid), qPrintable(orvel.output));
        QVERIFY(!orvel.finished());
    }

    // The JACK server goes away under Orvel and comes back: the ports come back with it.
    void serverRestart()
    {
        if (QStandardPaths::findExecutable(u"jackd"_qs).isEmpty())
            QSKIP("jackd is not installed");
        // A fixed name: JACK reclaims a dead server's entry in its small server table only by name.
        const QString server = u"orvel-restart"_qs;
        PrivateJack jackd(server);
        QVERIFY2(jackd.start(), qPrintable(jackd.output()));
        Home home(prefsWith(u"{}"_qs));
        QProcessEnvironment env = jackEnvironment(home);
        env.insert(u"JACK_DEFAULT_SERVER"_qs, server);
        Orvel orvel(env, sim_->hostAndPort());
        QString client;
        startOrvel(orvel, &client);
        if (QTest::currentTestFailed())
            return;

        jackd.stop();
        QTRY_VERIFY2_WITH_TIMEOUT(orvel.said(u"MIDI server lost"_qs), qPrintable(orvel.output), 10000);
        QVERIFY2(jackd.start(), qPrintable(jackd.output()));
        QTRY_VERIFY2_WITH_TIMEOUT(orvel.said(u"MIDI server back"_qs), qPrintable(orvel.output), 20000);
        QCOMPARE(orvel.output.count(u"MIDI server lost"_qs), 1);

        Program daw(env, QStringLiteral(DAW_PEER), {u"--connect"_qs, client});
        QTRY_VERIFY2_WITH_TIMEOUT(daw.said(u"talking"_qs), qPrintable(daw.output + orvel.output), 15000);
        daw.send(u"record"_qs);
        QTRY_COMPARE_WITH_TIMEOUT(putBodies(), kOn, 10000);
    }
};

ORVEL_TEST_MAIN(DawEndToEndTest)
#include "tst_DawEndToEnd.moc"
