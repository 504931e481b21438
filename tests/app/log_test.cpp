#include "app/Log.h"
#include "platform/Console.h"
#include "support/TestMain.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <ctime>

using namespace orvel;

namespace {

QByteArray logBytes()
{
    QFile file(logFilePath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

const QRegularExpression kLine(QStringLiteral(R"(^(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z): (.*)$)"));

} // namespace

class LogTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() { QFile::remove(logFilePath()); }

    void logLivesInTheApplicationDataDirectory()
    {
        QCOMPARE(logFilePath(), qEnvironmentVariable("XDG_DATA_HOME") + "/Orvel/swift_log.txt");
    }

    void everyCallAppendsOneTimestampedLine()
    {
        ConsoleCapture console;
        writeLog(QStringLiteral("===================="));
        writeLog(QStringLiteral("Application Launched"));
        writeLog(QString());
        QCOMPARE(console.lines(), (QStringList{"====================", "Application Launched", ""}));

        const QStringList lines = QString::fromUtf8(logBytes()).split('\n');
        QCOMPARE(lines.size(), 4); // three lines, each ended by a line feed
        QCOMPARE(lines.last(), QString());
        QStringList messages;
        for (int i = 0; i < 3; ++i) {
            const auto match = kLine.match(lines[i]);
            QVERIFY2(match.hasMatch(), qPrintable(lines[i]));
            messages << match.captured(2);
        }
        QCOMPARE(messages, (QStringList{"====================", "Application Launched", ""}));
    }

    void timestampsAreUtcWhateverTheTimeZone()
    {
        qputenv("TZ", "Pacific/Kiritimati"); // UTC+14
        tzset();
        const QDateTime before = QDateTime::currentDateTimeUtc().addMSecs(-1);
        writeLog(QStringLiteral("tz"));
        const QDateTime after = QDateTime::currentDateTimeUtc().addMSecs(1);
        qunsetenv("TZ");
        tzset();

        const auto match = kLine.match(QString::fromUtf8(logBytes()).section('\n', 0, 0));
        QVERIFY(match.hasMatch());
        const QDateTime stamp = QDateTime::fromString(match.captured(1), Qt::ISODateWithMs);
        QVERIFY(stamp.isValid());
        QVERIFY(stamp >= before && stamp <= after);
    }

    void existingContentIsNeverAltered()
    {
        QDir().mkpath(QFileInfo(logFilePath()).path());
        {
            QFile file(logFilePath());
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("an earlier run\n");
        }
        writeLog(QStringLiteral("two\nlines"));
        const QByteArray bytes = logBytes();
        QVERIFY(bytes.startsWith("an earlier run\n"));
        QVERIFY(bytes.endsWith(": two\nlines\n"));
    }

    void unwritableLogCostsOnlyTheLine()
    {
        // A directory where the file should be: the open fails, nothing is replaced.
        QDir().mkpath(logFilePath());
        ConsoleCapture console;
        writeLog(QStringLiteral("still printed"));
        QCOMPARE(console.lines().first(), QStringLiteral("still printed"));
        QCOMPARE(console.lines().size(), 2);
        QVERIFY(console.lines().last().startsWith("could not write to the log"));
        QVERIFY(QFileInfo(logFilePath()).isDir());
        QDir(logFilePath()).removeRecursively();
    }
};

ORVEL_TEST_MAIN(LogTest)
#include "log_test.moc"
