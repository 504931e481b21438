// The real `orvel` executable, headless (offscreen), against the bridge simulator running in this
// test and, for MIDI, a JACK server: scripts/with-jack.sh provides one for the test run; without it
// the test starts its own when jackd is installed and skips the MIDI cases otherwise.

#include "BridgeSimulator.h"
#include "support/JackSupport.h"
#include "support/TestMain.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <RtMidi.h>

#include <memory>
#include <set>
#include <string>

using namespace orvel;

namespace {

const QString kUser = QStringLiteral("e2euser0123456789");
const QString kAppId = QStringLiteral("org.orvel.Orvel");

// ---- JACK -------------------------------------------------------------------------------------

std::set<std::string> orvelPorts(RtMidiOut& out)
{
    std::set<std::string> ports;
    for (unsigned int i = 0; i < out.getPortCount(); ++i) {
        const std::string name = out.getPortName(i);
        if (name.find("Orvel") != std::string::npos)
            ports.insert(name);
    }
    return ports;
}

// ---- one home for one run of the program ------------------------------------------------------

class Home {
public:
    Home()
    {
        for (const char* sub : {".config/Orvel", ".local/share", ".cache", "runtime"})
            QDir().mkpath(dir.filePath(QString::fromLatin1(sub)));
        QFile::setPermissions(dir.filePath(QStringLiteral("runtime")),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }

    QString prefsPath() const { return dir.filePath(QStringLiteral(".config/Orvel/preferences.json")); }
    QString logPath() const { return dir.filePath(QStringLiteral(".local/share/Orvel/swift_log.txt")); }

    void writePrefs(const QJsonObject& prefs) const
    {
        QFile file(prefsPath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QJsonDocument(prefs).toJson());
    }
    QJsonObject prefs() const
    {
        QFile file(prefsPath());
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QJsonDocument::fromJson(file.readAll()).object();
    }
    QByteArray log() const
    {
        QFile file(logPath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    void enableLaunchAtLogin() const
    {
        const QString autostart = dir.filePath(QStringLiteral(".config/autostart"));
        QDir().mkpath(autostart);
        QFile entry(autostart + QLatin1Char('/') + kAppId + QStringLiteral("-LaunchAtLoginHelper.desktop"));
        QVERIFY(entry.open(QIODevice::WriteOnly));
        entry.write("[Desktop Entry]\nType=Application\nName=Orvel\nExec=orvel\n");
    }

    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("HOME"), dir.path());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral(".config")));
        env.insert(QStringLiteral("XDG_DATA_HOME"), dir.filePath(QStringLiteral(".local/share")));
        env.insert(QStringLiteral("XDG_CACHE_HOME"), dir.filePath(QStringLiteral(".cache")));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.filePath(QStringLiteral("runtime")));
        env.insert(QStringLiteral("ORVEL_MIDI_API"), QStringLiteral("none"));
        env.remove(QStringLiteral("ORVEL_ASSUME_TRAY"));
        return env;
    }

    QTemporaryDir dir;
};

// ---- the program ------------------------------------------------------------------------------

class Orvel {
public:
    explicit Orvel(const QProcessEnvironment& env)
    {
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::MergedChannels);
        QObject::connect(&process, &QProcess::readyRead, [this] {
            buffer += process.readAll();
            qsizetype end;
            while ((end = buffer.indexOf('\n')) >= 0) {
                lines << QString::fromUtf8(buffer.left(end));
                buffer.remove(0, end + 1);
            }
        });
    }
    ~Orvel()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }

    void start(const QString& bridge)
    {
        process.start(QStringLiteral(ORVEL_EXECUTABLE), {QStringLiteral("--bridge"), bridge});
        QVERIFY2(process.waitForStarted(5000), qPrintable(process.errorString()));
    }
    bool said(const QString& line) const { return lines.contains(line); }
    bool saidStarting(const QString& start) const
    {
        for (const QString& line : lines) {
            if (line.startsWith(start))
                return true;
        }
        return false;
    }
    QString output() const { return lines.join(QLatin1Char('\n')); }
    bool finished() const { return process.state() == QProcess::NotRunning; }

    QProcess process;
    QStringList lines;
    QByteArray buffer;
};

int putsTo(const sim::BridgeSimulator& sim, const QString& light)
{
    const QString path = QStringLiteral("/api/%1/lights/%2/state").arg(kUser, light);
    int count = 0;
    for (const sim::RecordedRequest& request : sim.requests())
        count += request.method == QStringLiteral("PUT") && request.path == path;
    return count;
}

} // namespace

class ShellEndToEndTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void firstLaunchWritesTheBannerAndOpensAboutTheNextDoesNot();
    void aSecondLaunchHandsOverToTheRunningOne();
    void midiSwitchesLightsWhileHiddenAndQuittingPutsThemBack();

private:
    void waitUntilConnected(Orvel& orvel);
    void quit(Orvel& orvel);

    std::unique_ptr<sim::BridgeSimulator> sim_;
    test::JackServer jack_;
    QString jackSkipReason_;
};

void ShellEndToEndTest::initTestCase()
{
    QVERIFY2(QFile::exists(QStringLiteral(ORVEL_EXECUTABLE)), ORVEL_EXECUTABLE);
    qputenv("JACK_NO_START_SERVER", "1");
    jackSkipReason_ = jack_.ensureRunning();
}

void ShellEndToEndTest::init()
{
    sim_ = std::make_unique<sim::BridgeSimulator>();
    sim::SimOptions options;
    options.fixedUser = kUser;
    QString error;
    QVERIFY2(sim_->start(options, &error), qPrintable(error));
}

void ShellEndToEndTest::waitUntilConnected(Orvel& orvel)
{
    QTRY_VERIFY2_WITH_TIMEOUT(orvel.saidStarting(QStringLiteral("lights: [")) || orvel.finished(),
                              qPrintable(orvel.output()), 20000);
    QVERIFY2(!orvel.finished(), qPrintable(orvel.output()));
    QTRY_VERIFY2_WITH_TIMEOUT(orvel.said(QStringLiteral("midi set up")), qPrintable(orvel.output()), 5000);
}

void ShellEndToEndTest::quit(Orvel& orvel)
{
    orvel.process.terminate(); // SIGTERM
    QTRY_VERIFY2_WITH_TIMEOUT(orvel.finished(), qPrintable(orvel.output()), 10000);
    QCOMPARE(orvel.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(orvel.process.exitCode(), 0);
    QVERIFY(orvel.said(QStringLiteral("bai")));
}

void ShellEndToEndTest::firstLaunchWritesTheBannerAndOpensAboutTheNextDoesNot()
{
    Home home;
    home.writePrefs({{QStringLiteral("hue_username"), kUser}});

    {
        Orvel first(home.environment());
        first.start(sim_->hostAndPort());
        waitUntilConnected(first);
        QVERIFY(first.said(QStringLiteral("first launch: showing About Orvel")));
        quit(first);
    }
    QCOMPARE(home.prefs().value(QStringLiteral("has_shown_about")).toBool(), true);
    const QList<QByteArray> log = home.log().split('\n');
    QVERIFY2(log.size() > 2 && log[0].endsWith("Z: ====================") &&
                 log[1].endsWith("Z: Application Launched"),
             home.log().constData());

    Orvel second(home.environment());
    second.start(sim_->hostAndPort());
    waitUntilConnected(second);
    QVERIFY(!second.said(QStringLiteral("first launch: showing About Orvel")));
    quit(second);
    QCOMPARE(home.log().count("Application Launched"), 2);
}

void ShellEndToEndTest::aSecondLaunchHandsOverToTheRunningOne()
{
    Home home;
    home.writePrefs({{QStringLiteral("hue_username"), kUser}, {QStringLiteral("has_shown_about"), true}});

    Orvel running(home.environment());
    running.start(sim_->hostAndPort());
    waitUntilConnected(running);
    QVERIFY(!running.said(QStringLiteral("unhiding")));

    Orvel again(home.environment());
    again.start(sim_->hostAndPort());
    QTRY_VERIFY2_WITH_TIMEOUT(again.finished(), qPrintable(again.output()), 10000);
    QCOMPARE(again.process.exitCode(), 0);
    QVERIFY2(again.said(QStringLiteral("Orvel is already running; its settings window has been shown")),
             qPrintable(again.output()));
    QTRY_VERIFY2_WITH_TIMEOUT(running.said(QStringLiteral("unhiding")), qPrintable(running.output()), 5000);
    // The second copy did not launch: one banner in the log.
    QCOMPARE(home.log().count("Application Launched"), 1);

    quit(running);
}

void ShellEndToEndTest::midiSwitchesLightsWhileHiddenAndQuittingPutsThemBack()
{
    if (!jackSkipReason_.isEmpty())
        QSKIP(qPrintable(jackSkipReason_));

    const QJsonObject desk = sim_->light(QStringLiteral("1")).value(QStringLiteral("state")).toObject();
    const QJsonObject hallway = sim_->light(QStringLiteral("2")).value(QStringLiteral("state")).toObject();
    QVERIFY(desk.value(QStringLiteral("on")).toBool());
    QVERIFY(!hallway.value(QStringLiteral("on")).toBool());

    Home home;
    home.enableLaunchAtLogin();
    home.writePrefs({{QStringLiteral("hue_username"), kUser},
                     {QStringLiteral("has_shown_about"), true},
                     {QStringLiteral("global_toggle"), true},
                     {QStringLiteral("rule_count"), 2},
                     {QStringLiteral("0light_index"), 0},
                     {QStringLiteral("0on_hue"), 40000},
                     {QStringLiteral("0on_saturation"), 200},
                     {QStringLiteral("0on_value"), 100},
                     {QStringLiteral("1light_index"), 1}});
    QProcessEnvironment env = home.environment();
    env.insert(QStringLiteral("ORVEL_MIDI_API"), QStringLiteral("jack"));
    env.insert(QStringLiteral("ORVEL_ASSUME_TRAY"), QStringLiteral("1"));

    RtMidiOut out(RtMidi::UNIX_JACK, "orvel-shell-test");
    const std::set<std::string> before = orvelPorts(out);

    Orvel orvel(env);
    orvel.start(sim_->hostAndPort());
    waitUntilConnected(orvel);
    // Launched at login with a tray: hidden from the start.
    QVERIFY(orvel.said(QStringLiteral("was launched by auto-launcher, hiding")));
    QVERIFY(orvel.said(QStringLiteral("hiding")));
    QVERIFY(!orvel.said(QStringLiteral("unhiding")));

    // Each rule blinks its light once when it is built; wait until both are back.
    QTRY_VERIFY2_WITH_TIMEOUT(putsTo(*sim_, QStringLiteral("1")) >= 4 &&
                                  putsTo(*sim_, QStringLiteral("2")) >= 3,
                              qPrintable(orvel.output()), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(sim_->light(QStringLiteral("1"))
                                  .value(QStringLiteral("state"))
                                  .toObject()
                                  .value(QStringLiteral("hue"))
                                  .toInt(),
                              desk.value(QStringLiteral("hue")).toInt(), 5000);

    // Orvel's destination is the "Orvel" port that was not there before it started.
    std::string port;
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            for (const std::string& name : orvelPorts(out)) {
                if (!before.count(name))
                    port = name;
            }
            return !port.empty();
        }(),
        5000);
    unsigned int index = 0;
    for (unsigned int i = 0; i < out.getPortCount(); ++i) {
        if (out.getPortName(i) == port)
            index = i;
    }
    out.openPort(index);
    // Repeated until the first light is read: a rule already switching on ignores the repeats.
    const auto seen = sim_->requests().size();
    QVERIFY(test::sendUntil(out, {0x9F, 95, 127}, [&] { return sim_->requests().size() > seen; }));

    QTRY_COMPARE_WITH_TIMEOUT(sim_->light(QStringLiteral("1"))
                                  .value(QStringLiteral("state"))
                                  .toObject()
                                  .value(QStringLiteral("hue"))
                                  .toInt(),
                              40000, 5000);
    QTRY_VERIFY_WITH_TIMEOUT(sim_->light(QStringLiteral("2"))
                                 .value(QStringLiteral("state"))
                                 .toObject()
                                 .value(QStringLiteral("on"))
                                 .toBool(),
                             5000);
    QVERIFY(!orvel.said(QStringLiteral("unhiding")));
    out.closePort();

    quit(orvel);

    // Every rule's light is back in the state it had before the note.
    const QJsonObject deskAfter = sim_->light(QStringLiteral("1")).value(QStringLiteral("state")).toObject();
    const QJsonObject hallwayAfter =
        sim_->light(QStringLiteral("2")).value(QStringLiteral("state")).toObject();
    QCOMPARE(deskAfter.value(QStringLiteral("on")).toBool(), true);
    for (const char* field : {"hue", "sat", "bri"}) {
        const int was = desk.value(QLatin1String(field)).toInt();
        const int is = deskAfter.value(QLatin1String(field)).toInt();
        QVERIFY2(qAbs(was - is) <= 1,
                 qPrintable(QStringLiteral("%1 was %2, is %3").arg(field).arg(was).arg(is)));
    }
    QCOMPARE(hallwayAfter.value(QStringLiteral("on")).toBool(), false);
}

ORVEL_TEST_MAIN(ShellEndToEndTest)
#include "tst_ShellEndToEnd.moc"
