#include "app/RememberedBridge.h"

#include "app/CommandLine.h"
#include "platform/Console.h"
#include "platform/Preferences.h"

namespace orvel {

QString RememberedBridge::load()
{
    const QString stored = Preferences::standard().text(QString::fromLatin1(kKey)).valueOr(QString());
    if (stored.isEmpty())
        return {};
    QString problem;
    const QString host = normaliseBridgeHost(stored, &problem);
    if (host.isEmpty())
        printLine(QStringLiteral("ignoring the stored bridge address \"%1\": %2").arg(stored, problem));
    return host;
}

void RememberedBridge::store(const QString& host)
{
    const QString key = QString::fromLatin1(kKey);
    if (host.isEmpty() || Preferences::standard().text(key).valueOr(QString()) == host)
        return;
    Preferences::standard().setText(key, host);
    printLine(QStringLiteral("remembering the bridge address ") + host);
}

} // namespace orvel
