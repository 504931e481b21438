// The application as a user runs it: the real `orvel` (headless, offscreen) against the bridge
// simulator. Measures
//   - start-up: from starting the process to a shown, completed settings window (the controller
//     has been started, "midi set up"), and to a connected bridge with its rules built;
//   - resident memory after start-up, and after 100,000 MIDI messages (needs a JACK server:
//     run it through scripts/with-jack.sh);
//   - CPU used while hidden and idle (launched at login, with a tray assumed).
// Usage: bench_app_startup [start-ups]    (default 5)

#include "BenchSupport.h"
#include "BridgeSimulator.h"
#include "support/JackSupport.h"
#include "support/Program.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <RtMidi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using orvel::bench::waitFor;

const QString kUser = QStringLiteral("benchuser0123456789");

struct Run {
    QTemporaryDir home;
    QProcess process;
    QByteArray pending;
    QStringList lines;
    qint64 midiLines = 0; // "44/1" lines, counted without keeping them

    Run(const QString& bridge, bool hidden, const QString& midiApi)
    {
        QDir().mkpath(home.filePath(QStringLiteral("config/Orvel")));
        QDir().mkpath(home.filePath(QStringLiteral("runtime")));
        QFile prefs(home.filePath(QStringLiteral("config/Orvel/preferences.json")));
        prefs.open(QIODevice::WriteOnly);
        prefs.write(QJsonDocument(QJsonObject{{QStringLiteral("hue_username"), kUser},
                                              {QStringLiteral("has_shown_about"), true},
                                              {QStringLiteral("0light_index"), 0},
                                              {QStringLiteral("1light_index"), 1}})
                        .toJson());
        prefs.close();
        if (hidden) {
            QDir().mkpath(home.filePath(QStringLiteral("config/autostart")));
            QFile entry(home.filePath(
                QStringLiteral("config/autostart/org.orvel.Orvel-LaunchAtLoginHelper.desktop")));
            entry.open(QIODevice::WriteOnly);
            entry.write("[Desktop Entry]\nType=Application\nName=Orvel\nExec=orvel\n");
        }
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("HOME"), home.path());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config")));
        env.insert(QStringLiteral("XDG_DATA_HOME"), home.filePath(QStringLiteral("data")));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home.filePath(QStringLiteral("runtime")));
        env.insert(QStringLiteral("ORVEL_MIDI_API"), midiApi);
        env.insert(QStringLiteral("ORVEL_ASSUME_TRAY"), hidden ? QStringLiteral("1") : QStringLiteral("0"));
        env.insert(QStringLiteral("ORVEL_NEWS_URL"), QStringLiteral("http://") + bridge);
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::MergedChannels);
        QObject::connect(&process, &QProcess::readyRead, [this] {
            pending += process.readAll();
            qsizetype end;
            qsizetype from = 0;
            while ((end = pending.indexOf('\n', from)) >= 0) {
                const QByteArray line = pending.mid(from, end - from);
                if (line == "44/1")
                    ++midiLines;
                else if (!line.startsWith("[44") && !line.startsWith("[1"))
                    lines << QString::fromUtf8(line);
                from = end + 1;
            }
            pending.remove(0, from);
        });
        QStringList arguments{QStringLiteral("--bridge"), bridge};
        if (hidden)
            arguments << QStringLiteral("--login");
        process.start(QStringLiteral(ORVEL_EXECUTABLE), arguments);
    }
    ~Run()
    {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            if (!process.waitForFinished(5000))
                process.kill();
        }
    }
    bool said(const QString& start) const
    {
        return std::any_of(lines.begin(), lines.end(), [&](const QString& l) { return l.startsWith(start); });
    }
    long rssKiB() const { return orvel::test::residentKiB(QString::number(process.processId())); }
    double cpuSeconds() const
    {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(process.processId()));
        if (!stat.open(QIODevice::ReadOnly))
            return -1;
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        // utime and stime are fields 14 and 15 of the whole line, 12 and 13 after the name.
        return (fields.value(11).toDouble() + fields.value(12).toDouble()) / double(sysconf(_SC_CLK_TCK));
    }
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int startups = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    qputenv("JACK_NO_START_SERVER", "1");

    orvel::sim::BridgeSimulator sim;
    orvel::sim::SimOptions options;
    options.fixedUser = kUser;
    QString error;
    if (!sim.start(options, &error)) {
        std::fprintf(stderr, "bridge simulator: %s\n", qPrintable(error));
        return 1;
    }

    std::vector<double> shownMs, connectedMs;
    for (int i = 0; i < startups; ++i) {
        QElapsedTimer timer;
        timer.start();
        Run run(sim.hostAndPort(), false, QStringLiteral("none"));
        if (!waitFor([&] { return run.said(QStringLiteral("midi set up")); }, 20000)) {
            std::fprintf(stderr, "orvel did not start:\n%s\n", qPrintable(run.lines.join('\n')));
            return 1;
        }
        shownMs.push_back(double(timer.nsecsElapsed()) / 1e6);
        if (!waitFor([&] { return run.said(QStringLiteral("lights: [")); }, 20000)) {
            std::fprintf(stderr, "orvel did not connect:\n%s\n", qPrintable(run.lines.join('\n')));
            return 1;
        }
        connectedMs.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    std::printf("start-up to a shown settings window: median %.0f ms (of %d; min %.0f, max %.0f)\n",
                orvel::bench::percentile(shownMs, 0.5), startups,
                *std::min_element(shownMs.begin(), shownMs.end()),
                *std::max_element(shownMs.begin(), shownMs.end()));
    std::printf("start-up to a connected bridge with rules: median %.0f ms\n",
                orvel::bench::percentile(connectedMs, 0.5));

    // One hidden run, as after a login, for memory and idle CPU.
    const bool jack = orvel::test::jackServerReachable();
    std::unique_ptr<RtMidiOut> out;
    if (jack)
        out = std::make_unique<RtMidiOut>(RtMidi::UNIX_JACK, "orvel-bench");
    std::set<std::string> before;
    if (jack) {
        for (unsigned int i = 0; i < out->getPortCount(); ++i)
            before.insert(out->getPortName(i));
    }

    Run run(sim.hostAndPort(), true, jack ? QStringLiteral("jack") : QStringLiteral("none"));
    if (!waitFor([&] { return run.said(QStringLiteral("lights: [")); }, 20000)) {
        std::fprintf(stderr, "orvel did not connect:\n%s\n", qPrintable(run.lines.join('\n')));
        return 1;
    }
    // Past the rules' first blink (2 s) and the start-up flash test (2.5 s).
    waitFor([] { return false; }, 3500);
    const long rssStart = run.rssKiB();
    std::printf("resident memory after start-up (hidden): %.1f MiB\n", rssStart / 1024.0);

    if (jack) {
        int port = -1;
        waitFor(
            [&] {
                for (unsigned int i = 0; i < out->getPortCount(); ++i) {
                    const std::string name = out->getPortName(i);
                    if (name.find("Orvel") != std::string::npos && !before.count(name))
                        port = int(i);
                }
                return port >= 0;
            },
            5000);
        if (port < 0) {
            std::fprintf(stderr, "Orvel's MIDI port did not appear\n");
            return 1;
        }
        out->openPort(static_cast<unsigned int>(port));
        // Controller 44 with a value outside every sequence: the controller reads, queues and
        // prints each, and switches nothing. Paced so JACK's buffers keep up.
        constexpr int kMessages = 100000;
        const std::vector<unsigned char> message{0xB0, 44, 1};
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < kMessages; ++i) {
            out->sendMessage(&message);
            if (i % 200 == 199) {
                QCoreApplication::processEvents();
                QThread::usleep(2000);
            }
        }
        const bool all = waitFor([&] { return run.midiLines >= kMessages; }, 60000);
        const double seconds = double(timer.nsecsElapsed()) / 1e9;
        const long rssMidi = run.rssKiB();
        std::printf("MIDI messages handled: %lld of %d in %.1f s\n", static_cast<long long>(run.midiLines),
                    kMessages, seconds);
        std::printf("resident memory after 100,000 MIDI messages: %.1f MiB (%+.1f MiB)%s\n", rssMidi / 1024.0,
                    (rssMidi - rssStart) / 1024.0, all ? "" : "  [some messages were lost]");
        out->closePort();
    } else {
        std::printf("MIDI part skipped: no JACK server (run through scripts/with-jack.sh)\n");
    }

    // Idle while hidden: the bridge is re-read every 10 s, nothing else should run.
    waitFor([] { return false; }, 1000);
    const double cpuBefore = run.cpuSeconds();
    QElapsedTimer idle;
    idle.start();
    waitFor([] { return false; }, 20000);
    const double cpu = run.cpuSeconds() - cpuBefore;
    std::printf("CPU while hidden and idle: %.2f %% of one core (%.3f s over %.0f s)\n",
                100.0 * cpu / (double(idle.elapsed()) / 1000.0), cpu, double(idle.elapsed()) / 1000.0);
    return 0;
}
