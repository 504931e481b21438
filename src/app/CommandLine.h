#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace orvel {

// What the command line asks of this run.
struct LaunchOptions {
    enum class Action { Run, ShowHelp, ShowVersion, Fail };

    Action action = Action::Run;
    // "host" or "host:port" ("[::1]:8080" for IPv6), as the bridge client takes it; empty when
    // the bridge is to be found by discovery.
    QString bridgeHost;
    // Started by the desktop's autostart entry: stay in the tray instead of showing the window.
    bool atLogin = false;
    // The "System Enabled" and "Always On" switches as --enable/--disable and --always-on set them:
    // in the copy already running, or in this one once it has started.
    std::optional<bool> systemEnabled;
    std::optional<bool> alwaysOn;
    // What to print for ShowHelp, ShowVersion and Fail.
    QString text;
};

// Parses `arguments` (the program name first): --help, --version, --bridge HOST[:PORT], --login,
// --enable, --disable, --always-on on|off. Never prints and never exits; the caller acts on the answer.
LaunchOptions parseCommandLine(const QStringList& arguments);

// The switches of `options` as command-line words ("--disable", "--always-on", "off"), for the copy
// already running, which reads them back with parseCommandLine(); empty when none is set.
QStringList switchArguments(const LaunchOptions& options);

// Checks a bridge address (--bridge, stored, typed) and brings it to the client's form; empty with
// `problem` saying why when it is not a plain host with an optional port.
QString normaliseBridgeHost(const QString& value, QString* problem);

} // namespace orvel
