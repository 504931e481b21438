#include "app/Log.h"

#include "platform/Console.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace orvel {

QString logFilePath()
{
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    if (dir.isEmpty())
        return {};
    return dir + QStringLiteral("/swift_log.txt");
}

QString logTimestamp()
{
    return QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz'Z'"));
}

void writeLog(const QString& message)
{
    printLine(message);

    const QString path = logFilePath();
    if (path.isEmpty())
        return;
    QDir().mkpath(QFileInfo(path).path());

    // Append only: the log belongs to the user and support, and is never replaced or truncated.
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        printLine(QStringLiteral("could not write to the log %1: %2").arg(path, file.errorString()));
        return;
    }
    const QByteArray line = (logTimestamp() + QStringLiteral(": ") + message + QLatin1Char('\n')).toUtf8();
    if (file.write(line) != line.size())
        printLine(QStringLiteral("could not write to the log %1: %2").arg(path, file.errorString()));
}

} // namespace orvel
