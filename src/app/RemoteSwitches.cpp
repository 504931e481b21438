#include "app/RemoteSwitches.h"

#include "controller/LightList.h"

#include <QPointer>
#include <QStringList>

#include <memory>

namespace orvel {

namespace {

const QString kAlwaysOnIsOn = QStringLiteral("\"Always On\" is on");

QString state(const char* name, bool on)
{
    return QStringLiteral("\"%1\" is %2")
        .arg(QLatin1String(name), on ? QStringLiteral("on") : QStringLiteral("off"));
}

} // namespace

void setSwitches(LightList& lights, std::optional<bool> systemEnabled, std::optional<bool> alwaysOn,
                 bool waitForBridge, std::function<void(bool set, const QString& text)> done)
{
    QStringList said;
    if (alwaysOn == false) {
        if (lights.overrideToggle())
            lights.setOverrideToggle(false);
        said << state("Always On", false);
    }
    if (systemEnabled) {
        if (lights.overrideToggle() && lights.globalToggle() != *systemEnabled) {
            said << QStringLiteral("\"System Enabled\" cannot change while \"Always On\" is on "
                                   "(orvel --always-on off first)");
            return done(false, said.join(QStringLiteral("; ")));
        }
        // Only a change is a flip: enabling what is enabled runs no flash test.
        if (lights.globalToggle() != *systemEnabled)
            lights.setGlobalToggle(*systemEnabled);
        said << state("System Enabled", *systemEnabled);
    }
    if (alwaysOn != true)
        return done(true, said.join(QStringLiteral("; ")));

    // Tried now and, while only the bridge or a flash test stands in the way, at every change.
    auto finished = std::make_shared<bool>(false);
    auto watch = std::make_shared<QMetaObject::Connection>();
    auto attempt = [&lights, waitForBridge, said, done, finished, watch] {
        if (*finished)
            return;
        auto finish = [&](bool set, const QString& text) {
            *finished = true;
            QObject::disconnect(*watch);
            done(set, (QStringList(said) << text).join(QStringLiteral("; ")));
        };
        if (!lights.globalToggle())
            return finish(false, QStringLiteral("\"Always On\" needs \"System Enabled\" (orvel --enable)"));
        if (lights.overrideToggle())
            return finish(true, kAlwaysOnIsOn);
        if (!lights.lightsInterface() && !waitForBridge)
            return finish(false, QStringLiteral("\"Always On\" needs a connected bridge"));
        if (!lights.lightsInterface() || lights.blinkingAll())
            return;
        *finished = true;
        QObject::disconnect(*watch);
        lights.setOverrideToggle(true);
        done(true, (QStringList(said) << kAlwaysOnIsOn).join(QStringLiteral("; ")));
    };
    attempt();
    if (!*finished)
        *watch = QObject::connect(&lights, &LightList::changed, &lights, attempt);
}

} // namespace orvel
