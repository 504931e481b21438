#include "app/CommandLine.h"

#include "app/BuildInfo.h"

#include <QCommandLineParser>
#include <QHostAddress>
#include <QRegularExpression>

namespace orvel {

QString normaliseBridgeHost(const QString& value, QString* problem)
{
    const QString text = value.trimmed();
    auto fail = [&](const QString& why) {
        if (problem)
            *problem = why;
        return QString();
    };
    if (text.isEmpty())
        return fail(QStringLiteral("the host is empty"));
    if (text.contains(QStringLiteral("://")))
        return fail(QStringLiteral("give the host without a scheme, e.g. 192.168.1.20 or 192.168.1.20:8080"));

    QString host;
    QString port;
    bool hasPort = false;
    bool ipv6 = false;
    if (text.startsWith(QLatin1Char('['))) {
        const qsizetype close = text.indexOf(QLatin1Char(']'));
        if (close < 0)
            return fail(QStringLiteral("unclosed \"[\""));
        host = text.mid(1, close - 1);
        const QString rest = text.mid(close + 1);
        if (!rest.isEmpty() && !rest.startsWith(QLatin1Char(':')))
            return fail(QStringLiteral("unexpected text after \"]\""));
        hasPort = !rest.isEmpty();
        port = rest.mid(1);
        ipv6 = true;
    } else if (text.count(QLatin1Char(':')) > 1) {
        host = text;
        ipv6 = true;
    } else {
        host = text.section(QLatin1Char(':'), 0, 0);
        hasPort = text.contains(QLatin1Char(':'));
        port = text.section(QLatin1Char(':'), 1);
    }

    if (ipv6) {
        if (QHostAddress(host).protocol() != QAbstractSocket::IPv6Protocol)
            return fail(QStringLiteral("\"%1\" is not an IPv6 address").arg(host));
    } else {
        // Letters, digits, dots, dashes and underscores only, so that nothing can slip a path,
        // user info or a query into the bridge's URLs.
        static const QRegularExpression plainHost(
            QStringLiteral("^[A-Za-z0-9_]([A-Za-z0-9._-]*[A-Za-z0-9_])?$"));
        if (!plainHost.match(host).hasMatch())
            return fail(QStringLiteral("\"%1\" is not a host name or address").arg(host));
    }

    QString result = ipv6 ? QLatin1Char('[') + host + QLatin1Char(']') : host;
    if (hasPort) {
        static const QRegularExpression digits(QStringLiteral("^[0-9]{1,5}$"));
        const int number = port.toInt();
        if (!digits.match(port).hasMatch() || number < 1 || number > 65535)
            return fail(QStringLiteral("the port must be a number from 1 to 65535"));
        result += QLatin1Char(':') + QString::number(number);
    }
    return result;
}

LaunchOptions parseCommandLine(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Orvel switches Philips Hue lights from MIDI. It sits in the system tray and offers "
                       "the MIDI destination \"Orvel\" to other programs."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Show the version and build and exit."));
    const QCommandLineOption bridge(
        QStringLiteral("bridge"),
        QStringLiteral("Use the Hue bridge at HOST (optionally with :PORT) instead of searching the "
                       "network for one. Once connected, later starts try it first."),
        QStringLiteral("HOST[:PORT]"));
    const QCommandLineOption login(
        QStringLiteral("login"),
        QStringLiteral("Started at login: stay in the system tray instead of showing the window."));
    const QCommandLineOption enable(
        QStringLiteral("enable"), QStringLiteral("Switch \"System Enabled\" on: MIDI switches the lights."));
    const QCommandLineOption disable(
        QStringLiteral("disable"),
        QStringLiteral("Switch \"System Enabled\" off: MIDI leaves the lights alone."));
    const QCommandLineOption alwaysOn(
        QStringLiteral("always-on"),
        QStringLiteral(
            "Switch \"Always On\" on or off (it needs \"System Enabled\" and a connected bridge)."),
        QStringLiteral("on|off"));
    parser.addOptions({help, version, bridge, login, enable, disable, alwaysOn});

    LaunchOptions options;
    if (!parser.parse(arguments)) {
        options.action = LaunchOptions::Action::Fail;
        options.text = QStringLiteral("orvel: ") + parser.errorText() +
                       QStringLiteral("\nTry \"orvel --help\" for the options.");
        return options;
    }
    if (parser.isSet(help)) {
        options.action = LaunchOptions::Action::ShowHelp;
        // Read before the application object exists, so Qt does not know the program's name.
        const QString help = parser.helpText();
        options.text =
            QStringLiteral("Usage: orvel [options]") +
            help.mid(help.indexOf(QLatin1Char('\n'))).trimmed().prepend(QLatin1Char('\n')) +
            QStringLiteral(
                "\n\nWhile Orvel runs, --enable, --disable and --always-on set the switches of the\n"
                "running copy, as if flipped in its window, and exit.");
        return options;
    }
    if (parser.isSet(version)) {
        options.action = LaunchOptions::Action::ShowVersion;
        options.text = QStringLiteral("Orvel %1 (build %2)")
                           .arg(QString::fromLatin1(build::version), QString::fromLatin1(build::buildNumber));
        return options;
    }
    if (!parser.positionalArguments().isEmpty()) {
        options.action = LaunchOptions::Action::Fail;
        options.text =
            QStringLiteral("orvel: unexpected argument \"%1\"\nTry \"orvel --help\" for the options.")
                .arg(parser.positionalArguments().constFirst());
        return options;
    }
    options.atLogin = parser.isSet(login);
    auto fail = [&options](const QString& text) {
        options.action = LaunchOptions::Action::Fail;
        options.text =
            QStringLiteral("orvel: ") + text + QStringLiteral("\nTry \"orvel --help\" for the options.");
        return options;
    };
    if (parser.isSet(enable) && parser.isSet(disable))
        return fail(QStringLiteral("give --enable or --disable, not both"));
    if (parser.isSet(enable) || parser.isSet(disable))
        options.systemEnabled = parser.isSet(enable);
    if (parser.isSet(alwaysOn)) {
        const QString value = parser.value(alwaysOn);
        if (value != QStringLiteral("on") && value != QStringLiteral("off"))
            return fail(QStringLiteral("--always-on takes on or off, not \"%1\"").arg(value));
        options.alwaysOn = value == QStringLiteral("on");
    }
    if (parser.isSet(bridge)) {
        const QStringList values = parser.values(bridge);
        QString problem;
        options.bridgeHost = normaliseBridgeHost(values.constLast(), &problem);
        if (options.bridgeHost.isEmpty()) {
            options.action = LaunchOptions::Action::Fail;
            options.text = QStringLiteral("orvel: --bridge \"%1\": %2").arg(values.constLast(), problem);
        }
    }
    return options;
}

QStringList switchArguments(const LaunchOptions& options)
{
    QStringList words;
    if (options.systemEnabled)
        words << (*options.systemEnabled ? QStringLiteral("--enable") : QStringLiteral("--disable"));
    if (options.alwaysOn)
        words << QStringLiteral("--always-on")
              << (*options.alwaysOn ? QStringLiteral("on") : QStringLiteral("off"));
    return words;
}

} // namespace orvel
