// orvel-bridge-sim: a simulated Hue bridge on this machine, for trying Orvel without real lights.

#include "BridgeSimulator.h"

#include "platform/Console.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRandomGenerator>

namespace {

int toNumber(const QString& text, const QString& option, int low, int high, bool* ok)
{
    bool parsed = false;
    const int value = text.toInt(&parsed);
    *ok = parsed && value >= low && value <= high;
    if (!*ok)
        orvel::printLine(
            QStringLiteral("orvel-bridge-sim: --%1 needs a whole number from %2 to %3, not \"%4\"")
                .arg(option)
                .arg(low)
                .arg(high)
                .arg(text));
    return value;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("orvel-bridge-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("A simulated Hue bridge (REST API v1) for trying Orvel."));
    parser.addHelpOption();
    const QCommandLineOption host(QStringLiteral("host"), QStringLiteral("Address to listen on (127.0.0.1)."),
                                  QStringLiteral("ADDR"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("Port to listen on (0: any free port)."),
                                  QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption lights(QStringLiteral("lights"),
                                    QStringLiteral("Lights in the bridge's own /lights JSON format."),
                                    QStringLiteral("FILE"));
    const QCommandLineOption user(QStringLiteral("user"),
                                  QStringLiteral("A user name that is already paired."),
                                  QStringLiteral("NAME"));
    const QCommandLineOption pressLink(QStringLiteral("press-link"),
                                       QStringLiteral("Start with the link button pressed (30 seconds)."));
    const QCommandLineOption https(QStringLiteral("https"),
                                   QStringLiteral("Serve HTTPS with a generated self-signed certificate."));
    const QCommandLineOption rateLimit(
        QStringLiteral("rate-limit"),
        QStringLiteral("Refuse requests past N within one second (0: no limit)."), QStringLiteral("N"),
        QStringLiteral("0"));
    const QCommandLineOption latency(QStringLiteral("latency"), QStringLiteral("Delay every answer (ms)."),
                                     QStringLiteral("MS"), QStringLiteral("0"));
    const QCommandLineOption faults(
        QStringLiteral("faults"),
        QStringLiteral("Misbehave at random: a comma-separated set of rate-limit, garbage, slow, reset, "
                       "unreachable."),
        QStringLiteral("LIST"));
    const QCommandLineOption faultRate(QStringLiteral("fault-rate"),
                                       QStringLiteral("Percentage of requests that meet a fault (20)."),
                                       QStringLiteral("PERCENT"), QStringLiteral("20"));
    const QCommandLineOption slow(QStringLiteral("slow"),
                                  QStringLiteral("How late a slow answer comes (ms, 5000)."),
                                  QStringLiteral("MS"), QStringLiteral("5000"));
    parser.addOptions(
        {host, port, lights, user, pressLink, https, rateLimit, latency, faults, faultRate, slow});
    if (!parser.parse(QCoreApplication::arguments())) {
        orvel::printLine(QStringLiteral("orvel-bridge-sim: %1").arg(parser.errorText()));
        orvel::printLine(
            QStringLiteral("usage: orvel-bridge-sim [--host ADDR] [--port N] [--lights FILE] "
                           "[--user NAME] [--press-link] [--https] [--rate-limit N] [--latency MS] "
                           "[--faults LIST] [--fault-rate PERCENT] [--slow MS]"));
        return 2;
    }
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (!parser.positionalArguments().isEmpty()) {
        orvel::printLine(QStringLiteral("orvel-bridge-sim: unexpected argument \"%1\"")
                             .arg(parser.positionalArguments().constFirst()));
        return 2;
    }

    orvel::sim::SimOptions options;
    bool ok = true;
    options.host = parser.value(host);
    options.port = static_cast<quint16>(toNumber(parser.value(port), QStringLiteral("port"), 0, 65535, &ok));
    if (!ok)
        return 2;
    options.rateLimitPerSecond =
        toNumber(parser.value(rateLimit), QStringLiteral("rate-limit"), 0, 100000, &ok);
    if (!ok)
        return 2;
    options.latencyMs = toNumber(parser.value(latency), QStringLiteral("latency"), 0, 600000, &ok);
    if (!ok)
        return 2;
    options.faults.probability =
        toNumber(parser.value(faultRate), QStringLiteral("fault-rate"), 0, 100, &ok) / 100.0;
    if (!ok)
        return 2;
    options.faults.slowMs = toNumber(parser.value(slow), QStringLiteral("slow"), 0, 600000, &ok);
    if (!ok)
        return 2;
    options.faults.seed = QRandomGenerator::global()->generate();
    if (QString error; !options.faults.parseKinds(parser.value(faults), &error)) {
        orvel::printLine(QStringLiteral("orvel-bridge-sim: --faults: %1").arg(error));
        return 2;
    }
    options.lightsFile = parser.value(lights);
    options.fixedUser = parser.value(user);
    options.pressLink = parser.isSet(pressLink);
    options.https = parser.isSet(https);

    orvel::sim::BridgeSimulator simulator;
    QString error;
    if (!simulator.start(options, &error)) {
        orvel::printLine(QStringLiteral("orvel-bridge-sim: %1").arg(error));
        // A bad lights file is the user's input; other failures (port taken, no openssl) are the system's.
        return error.contains(QLatin1String("lights file")) ? 2 : 1;
    }
    QObject::connect(&simulator, &orvel::sim::BridgeSimulator::requestReceived, &simulator,
                     [](const orvel::sim::RecordedRequest& request) {
                         QString line = QStringLiteral("%1 %2").arg(request.method, request.path);
                         if (!request.body.isEmpty())
                             line +=
                                 QLatin1Char(' ') + QString::fromUtf8(request.body.left(200)).simplified();
                         if (request.status != 200)
                             line += QStringLiteral(" -> %1").arg(request.status);
                         if (!request.fault.isEmpty())
                             line += QStringLiteral(" [fault: %1]").arg(request.fault);
                         orvel::printLine(line);
                     });
    orvel::printLine(QStringLiteral("orvel-bridge-sim listening on %1").arg(simulator.baseUrl().toString()));
    return QCoreApplication::exec();
}
