// How much the bridge client adds to a light write, and what reading a large bridge costs.
//   bench_bridge_client [writes]
// Prints the median and the 99th percentile of:
//   - the time from write() until the request reaches the simulated bridge, one write at a time;
//   - the same for a burst (8 lights, two writes each, all at once), which includes queueing;
//   - parsing the answer of a bridge with 50 lights.

#include "BenchSupport.h"
#include "BridgeSimulator.h"
#include "controller/bridge/HttpHueBridge.h"
#include "hue/HueJson.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryFile>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace orvel;

namespace {

using orvel::bench::waitFor;

QJsonObject colourLight(int i)
{
    return QJsonObject{
        {"name", QStringLiteral("Lamp %1").arg(i)},
        {"type", "Extended color light"},
        {"modelid", "LCT015"},
        {"manufacturername", "Signify Netherlands B.V."},
        {"productname", "Hue color lamp"},
        {"uniqueid", QStringLiteral("00:17:88:01:03:4a:5b:%1-0b").arg(i, 2, 16, QLatin1Char('0'))},
        {"swversion", "1.104.2"},
        {"state", QJsonObject{{"on", true},
                              {"bri", 200},
                              {"hue", 8418},
                              {"sat", 140},
                              {"effect", "none"},
                              {"xy", QJsonArray{0.4573, 0.41}},
                              {"ct", 366},
                              {"alert", "select"},
                              {"colormode", "ct"},
                              {"mode", "homeautomation"},
                              {"reachable", true}}},
        {"capabilities",
         QJsonObject{{"certified", true},
                     {"control", QJsonObject{{"mindimlevel", 1000},
                                             {"maxlumen", 806},
                                             {"colorgamuttype", "C"},
                                             {"ct", QJsonObject{{"min", 153}, {"max", 500}}}}}}},
        {"config",
         QJsonObject{{"archetype", "sultanbulb"}, {"function", "mixed"}, {"direction", "omnidirectional"}}},
    };
}

QByteArray lightsAnswer(int count)
{
    QJsonObject lights;
    for (int i = 1; i <= count; ++i)
        lights.insert(QString::number(i * 3), colourLight(i)); // ids with gaps, as on real bridges
    return QJsonDocument(lights).toJson(QJsonDocument::Compact);
}

void report(const char* what, std::vector<double> samples, const char* unit)
{
    std::printf("%-44s n=%5zu  median %9.3f %s  p99 %9.3f %s\n", what, samples.size(),
                orvel::bench::percentile(samples, 0.5), unit, orvel::bench::percentile(samples, 0.99), unit);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int writes = argc > 1 ? std::max(10, QByteArray(argv[1]).toInt()) : 300;

    // -- parsing ------------------------------------------------------------------------------
    {
        const QByteArray answer = lightsAnswer(50);
        std::vector<double> samples;
        QElapsedTimer clock;
        std::size_t sink = 0;
        for (int i = 0; i < 2000; ++i) {
            clock.start();
            const auto parsed = hue::parseLightsAnswer(answer);
            samples.push_back(clock.nsecsElapsed() / 1000.0);
            sink += parsed.lights.size();
        }
        std::printf("50-light answer: %lld bytes, %zu lights parsed in total\n", qlonglong(answer.size()),
                    sink);
        report("parse 50-light answer", samples, "us");
    }

    // -- write latency against the simulator --------------------------------------------------
    QTemporaryFile file;
    file.open();
    QJsonObject lights;
    for (int i = 1; i <= 8; ++i)
        lights.insert(QString::number(i), colourLight(i));
    file.write(QJsonDocument(lights).toJson());
    file.flush();

    for (const bool https : {false, true}) {
        sim::BridgeSimulator bridge;
        sim::SimOptions options;
        options.fixedUser = QStringLiteral("bench-user");
        options.lightsFile = file.fileName();
        options.https = https;
        QString error;
        if (!bridge.start(options, &error)) {
            std::fprintf(stderr, "simulator: %s\n", qPrintable(error));
            return 1;
        }
        QElapsedTimer clock;
        clock.start();
        qint64 arrived = -1;
        QObject::connect(&bridge, &sim::BridgeSimulator::requestReceived,
                         [&](const sim::RecordedRequest&) { arrived = clock.nsecsElapsed(); });

        auto client = HttpHueBridge::create(bridge.hostAndPort(), options.fixedUser);
        bool read = false;
        client->readWithCompletion([&](HueBridgeClient&, const QString&) { read = true; });
        if (!waitFor([&] { return read; }) || !client->authenticated()) {
            std::fprintf(stderr, "could not read the simulated bridge\n");
            return 1;
        }
        const HueLightList all = client->lights().value();
        const auto light = all.front();

        std::vector<double> single;
        for (int i = 0; i < writes; ++i) {
            const quint16 hue = quint16(i * 97 % 65535);
            light->setHue(hue);
            arrived = -1;
            const qint64 start = clock.nsecsElapsed();
            light->write();
            if (!waitFor([&] { return arrived >= 0; }) ||
                !waitFor([&] { return light->hue() == int(hue); })) {
                std::fprintf(stderr, "write %d was lost\n", i);
                return 1;
            }
            single.push_back((arrived - start) / 1e6);
        }
        report(https ? "write -> bridge, one at a time (https)" : "write -> bridge, one at a time (http)",
               single, "ms");

        std::vector<double> burst;
        for (int round = 0; round < std::max(1, writes / 16); ++round) {
            std::vector<qint64> starts;
            const int before = int(bridge.requests().size());
            std::vector<qint64> arrivals;
            auto connection = QObject::connect(
                &bridge, &sim::BridgeSimulator::requestReceived,
                [&](const sim::RecordedRequest&) { arrivals.push_back(clock.nsecsElapsed()); });
            for (const auto& l : all) {
                l->setOn(true);
                starts.push_back(clock.nsecsElapsed());
                l->write();
                l->setHue(quint16(round));
                starts.push_back(clock.nsecsElapsed());
                l->write();
            }
            if (!waitFor([&] { return int(bridge.requests().size()) - before == int(starts.size()); })) {
                std::fprintf(stderr, "burst %d was not delivered\n", round);
                return 1;
            }
            QObject::disconnect(connection);
            // Arrivals are matched to writes in order; per light the order is kept, across lights
            // this pairs the n-th arrival with the n-th write, which is what the queue waits for.
            for (std::size_t i = 0; i < starts.size(); ++i)
                burst.push_back((arrivals[i] - starts[i]) / 1e6);
            waitFor([&] { return all.back()->hue() == round; });
        }
        report(https ? "write -> bridge, burst of 16 (https)" : "write -> bridge, burst of 16 (http)", burst,
               "ms");
    }
    return 0;
}
