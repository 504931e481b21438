// The real `orvel` executable, headless (offscreen), against the bridge simulator running in this
// test and, for MIDI, a JACK server: scripts/with-jack.sh provides one for the test run; without it
// the test starts its own when jackd is installed and skips the MIDI case otherwise.

#include "BridgeSimulator.h"
#include "ShellHarness.h"
#include "support/JackSupport.h"
#include "support/TestMain.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <RtMidi.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>

using namespace orvel;
using namespace orvel::test;

namespace {

// The "Orvel" MIDI ports on the JACK server, by name, with their index.
std::map<std::string, unsigned> orvelPorts(RtMidiOut& out)
{
    std::map<std::string, unsigned> ports;
    for (unsigned i = 0; i < out.getPortCount(); ++i) {
        if (out.getPortName(i).find("Orvel") != std::string::npos)
            ports[out.getPortName(i)] = i;
    }
    return ports;
}

} // namespace

class ShellEndToEndTest : public QObject {
    Q_OBJECT

    std::unique_ptr<sim::BridgeSimulator> sim_;
    test::JackServer jack_;
    QString jackSkipReason_;

    void waitUntilConnected(Orvel& orvel)
    {
        QTRY_VERIFY2_WITH_TIMEOUT(orvel.said(u"lights: ["_qs) || orvel.finished(), qPrintable(orvel.output),
                                  20000);
        QVERIFY2(!orvel.finished(), qPrintable(orvel.output));
        QTRY_VERIFY2_WITH_TIMEOUT(orvel.said(u"midi set up"_qs), qPrintable(orvel.output), 5000);
    }
    void quit(Orvel& orvel)
    {
        orvel.process.terminate(); // SIGTERM
        QTRY_VERIFY2_WITH_TIMEOUT(orvel.finished(), qPrintable(orvel.output), 10000);
        QCOMPARE(orvel.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(orvel.process.exitCode(), 0);
        QVERIFY(orvel.said(u"bai"_qs));
    }
    QJsonObject state(const char* light) const
    {
        return sim_->light(QString::fromLatin1(light)).value(u"state"_qs).toObject();
    }
    int putsTo(const char* light) const
    {
        const QString path = u"/api/%1/lights/%2/state"_qs.arg(kUser, QString::fromLatin1(light));
        const auto requests = sim_->requests();
        return int(std::count_if(requests.begin(), requests.end(), [&](const sim::RecordedRequest& request) {
            return request.method == u"PUT"_qs && request.path == path;
        }));
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(QFile::exists(QStringLiteral(ORVEL_EXECUTABLE)), ORVEL_EXECUTABLE);
        qputenv("JACK_NO_START_SERVER", "1");
        jackSkipReason_ = jack_.ensureRunning();
    }
    void init()
    {
        QString error;
        sim_ = pairedSimulator(&error);
        QVERIFY2(sim_, qPrintable(error));
    }

    void firstLaunchOpensAboutTheNextDoesNotAndALaterOneHandsOver()
    {
        Home home({});
        {
            Orvel first(home.environment(), sim_->hostAndPort());
            waitUntilConnected(first);
            QVERIFY(first.said(u"first launch: showing About Orvel"_qs));
            quit(first);
        }
        const QByteArray prefs = readFile(home.path(".config/Orvel/preferences.json"));
        QCOMPARE(QJsonDocument::fromJson(prefs).object().value(u"has_shown_about"_qs).toBool(), true);
        const QList<QByteArray> log = home.log().split('\n');
        QVERIFY2(log.size() > 2 && log[0].endsWith("Z: ====================") &&
                     log[1].endsWith("Z: Application Launched"),
                 home.log().constData());

        Orvel second(home.environment(), sim_->hostAndPort());
        waitUntilConnected(second);
        QVERIFY(!second.said(u"first launch: showing About Orvel"_qs));
        QVERIFY(!second.said(u"unhiding"_qs));

        // Another launch while it runs shows its window and steps aside, without a banner.
        Orvel third(home.environment(), sim_->hostAndPort());
        QTRY_VERIFY2_WITH_TIMEOUT(third.finished(), qPrintable(third.output), 10000);
        QCOMPARE(third.process.exitCode(), 0);
        QVERIFY2(third.said(u"Orvel is already running; its settings window has been shown"_qs),
                 qPrintable(third.output));
        QTRY_VERIFY2_WITH_TIMEOUT(second.said(u"unhiding"_qs), qPrintable(second.output), 5000);
        quit(second);
        QCOMPARE(home.log().count("Application Launched"), 2);
    }

    void aBridgeGivenOnceIsFoundAgainWithoutDiscovery()
    {
        Home home(QJsonDocument::fromJson(R"({"has_shown_about": true})").object());
        {
            Orvel given(home.environment(), sim_->hostAndPort());
            waitUntilConnected(given);
            QVERIFY(given.said(u"remembering the bridge address "_qs + sim_->hostAndPort()));
            quit(given);
        }
        Orvel plain(home.environment(), QString());
        waitUntilConnected(plain);
        QVERIFY2(plain.said(u"trying the remembered bridge at "_qs + sim_->hostAndPort()),
                 qPrintable(plain.output));
        quit(plain);
    }

    void midiSwitchesLightsWhileHiddenAndQuittingPutsThemBack()
    {
        if (!jackSkipReason_.isEmpty())
            QSKIP(qPrintable(jackSkipReason_));
        const QJsonObject desk = state("1");
        QVERIFY(!state("2").value(u"on"_qs).toBool());

        Home home(QJsonDocument::fromJson(R"({"has_shown_about": true, "global_toggle": true, "rule_count": 2,
            "0light_index": 0, "0on_hue": 40000, "0on_saturation": 200, "0on_value": 100, "1light_index": 1})")
                      .object());
        QDir().mkpath(home.path(".config/autostart"));
        QFile entry(home.path(".config/autostart/org.orvel.Orvel-LaunchAtLoginHelper.desktop"));
        QVERIFY(entry.open(QIODevice::WriteOnly));
        entry.write("[Desktop Entry]\nType=Application\nName=Orvel\nExec=orvel\n");
        entry.close();
        QProcessEnvironment env = home.environment();
        env.insert(u"ORVEL_MIDI_API"_qs, u"jack"_qs);
        env.insert(u"ORVEL_ASSUME_TRAY"_qs, u"1"_qs);

        RtMidiOut out(RtMidi::UNIX_JACK, "orvel-shell-test");
        const auto before = orvelPorts(out);
        Orvel orvel(env, sim_->hostAndPort(), {u"--login"_qs});
        waitUntilConnected(orvel);
        // Launched at login with a tray: hidden from the start.
        QVERIFY(orvel.said(u"was launched by auto-launcher, hiding"_qs));
        // The entry written before --login existed is left alone: it is not one of ours.
        QVERIFY(!orvel.said(u"updated the autostart entry"_qs));

        // Each rule blinks its light once when it is built (two writes on, then back); a rule
        // still blinking would ignore the note.
        QTRY_VERIFY2_WITH_TIMEOUT(putsTo("1") >= 4 && putsTo("2") >= 3, qPrintable(orvel.output), 10000);
        // Orvel's destination is the "Orvel" port that was not there before it started.
        int port = -1;
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                for (const auto& [name, index] : orvelPorts(out)) {
                    if (!before.count(name))
                        port = int(index);
                }
                return port >= 0;
            }(),
            5000);
        out.openPort(unsigned(port));
        // Repeated until the first light is written: a rule already switching on ignores the
        // repeats. (Other requests, such as the check that the bridge still answers, say nothing.)
        const int written = putsTo("1");
        QVERIFY(test::sendUntil(out, {0x9F, 95, 127}, [&] { return putsTo("1") > written; }));

        QTRY_COMPARE_WITH_TIMEOUT(state("1").value(u"hue"_qs).toInt(), 40000, 5000);
        QTRY_VERIFY_WITH_TIMEOUT(state("2").value(u"on"_qs).toBool(), 5000);
        QVERIFY(!orvel.said(u"unhiding"_qs));
        out.closePort();

        quit(orvel);
        // Every rule's light is back in the state it had before the note.
        QCOMPARE(state("1").value(u"on"_qs).toBool(), desk.value(u"on"_qs).toBool());
        for (const char* field : {"hue", "sat", "bri"}) {
            const int was = desk.value(QLatin1String(field)).toInt();
            const int is = state("1").value(QLatin1String(field)).toInt();
            QVERIFY2(qAbs(was - is) <= 1, qPrintable(u"%1 was %2, is %3"_qs.arg(field).arg(was).arg(is)));
        }
        QVERIFY(!state("2").value(u"on"_qs).toBool());
    }
};

ORVEL_TEST_MAIN(ShellEndToEndTest)
#include "tst_ShellEndToEnd.moc"
