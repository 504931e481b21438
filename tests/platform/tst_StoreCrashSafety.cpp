// The preferences file survives what ends a program abruptly: SIGKILL at any moment while edits
// stream in, a disk that fills up, and the signals that end a desktop session.
#include "platform/Console.h"
#include "platform/Preferences.h"
#include "support/TestMain.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <csignal>
#include <sys/resource.h>

using namespace orvel;

namespace {

QJsonObject readStore(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

// The writer, started on `path`; returns once it printed a line starting with `line`.
bool startWriter(QProcess& writer, const QString& path, const char* mode, const QByteArray& line,
                 QByteArray* output)
{
    writer.start(QStringLiteral(ORVEL_STORE_WRITER), {path, QString::fromLatin1(mode)});
    if (!writer.waitForStarted(10'000))
        return false;
    while (!output->contains(line)) {
        if (!writer.waitForReadyRead(10'000))
            return false;
        *output += writer.readAllStandardOutput();
    }
    return true;
}

} // namespace

class StoreCrashSafetyTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    QString path() const { return dir_.filePath(QStringLiteral("Orvel/preferences.json")); }

private slots:
    void init() { QDir(dir_.filePath(QStringLiteral("Orvel"))).removeRecursively(); }

    void killedAtAnyMomentTheFileHoldsOneWholeSnapshot()
    {
        const int kills = qEnvironmentVariableIntValue("ORVEL_KILLS") > 0
                              ? qEnvironmentVariableIntValue("ORVEL_KILLS")
                              : 200;
        QRandomGenerator random(20261206);
        qint64 previous = 0;
        int midWrite = 0;
        for (int i = 0; i < kills; ++i) {
            QProcess writer;
            QByteArray output;
            // Killed after a random number of its own edits, 1 to 39 of them (a write every third).
            const int edits = random.bounded(1, 40);
            const QByteArray line = "edit " + QByteArray::number(previous + edits) + '\n';
            QVERIFY2(startWriter(writer, path(), "stream", line, &output), output.right(200).constData());
            writer.kill();
            QVERIFY(writer.waitForFinished(10'000));
            output += writer.readAllStandardOutput();

            // Temporary files are what a kill during a write leaves; the file itself is whole.
            const QStringList entries = QDir(dir_.filePath(QStringLiteral("Orvel"))).entryList(QDir::Files);
            midWrite += int(entries.size() > 1);
            const QJsonObject store = readStore(path());
            QCOMPARE(store.value(u"hue_username"_qs).toString(), u"kept-user"_qs);
            const qint64 n = store.value(u"edit_a"_qs).toInteger(-1);
            QCOMPARE(store.value(u"edit_b"_qs).toInteger(-2), n);
            QCOMPARE(store.value(u"edit_c"_qs).toInteger(-3), n);
            QCOMPARE(store.value(u"blob"_qs).toString().size(), n % 700);
            // An earlier or a later snapshot, never one from before the last one on disk.
            QVERIFY2(n >= previous, qPrintable(u"%1 after %2"_qs.arg(n).arg(previous)));
            QVERIFY(n <= previous + edits + 1000);
            previous = n;
        }
        qInfo("%d kills, %d of them left a write unfinished, %lld edits on disk at the end", kills, midWrite,
              static_cast<long long>(previous));
    }

    void sessionEndingSignalsWriteTheLastEdit_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << SIGTERM;
        QTest::newRow("SIGINT") << SIGINT;
        QTest::newRow("SIGHUP") << SIGHUP;
    }

    void sessionEndingSignalsWriteTheLastEdit()
    {
        QFETCH(int, signal);
        QProcess writer;
        QByteArray output;
        QVERIFY2(startWriter(writer, path(), "once", "edited 1\n", &output), output.constData());
        // The edit waits for its delayed write; the signal comes first.
        QCOMPARE(readStore(path()).value(u"edit_a"_qs).toInteger(-1), -1);
        ::kill(static_cast<pid_t>(writer.processId()), signal);
        QVERIFY(writer.waitForFinished(10'000));
        QCOMPARE(writer.exitStatus(), QProcess::NormalExit);
        QCOMPARE(readStore(path()).value(u"edit_a"_qs).toInteger(-1), 1);
        QCOMPARE(readStore(path()).value(u"hue_username"_qs).toString(), u"kept-user"_qs);
    }

    // A disk that fills up during the write (a file size limit stands in for it).
    void fullDiskKeepsTheOldFileAndSaysWhy()
    {
        QDir().mkpath(dir_.filePath(u"Orvel"_qs));
        {
            Preferences store(path());
            store.setText(u"hue_username"_qs, u"kept-user"_qs);
            QVERIFY(store.sync());
        }
        QFile file(path());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray before = file.readAll();
        file.close();

        rlimit saved{};
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
        const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit tight = saved;
        tight.rlim_cur = rlim_t(before.size() + 16);
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &tight), 0);
        ConsoleCapture console;
        bool written = true;
        {
            Preferences store(path());
            store.setText(u"big"_qs, QString(4096, QLatin1Char('x')));
            written = store.sync();
            QCOMPARE(store.text(u"big"_qs).value.size(), 4096); // still in memory
        }
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previousHandler);

        QVERIFY(!written);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), before);
        QVERIFY(!console.lines().isEmpty());
        QVERIFY2(console.lines().first().startsWith(u"preferences: could not write "_qs),
                 qPrintable(console.lines().first()));
        QCOMPARE(QDir(dir_.filePath(u"Orvel"_qs)).entryList(QDir::Files),
                 QStringList{u"preferences.json"_qs});
    }
};

ORVEL_TEST_MAIN(StoreCrashSafetyTest)
#include "tst_StoreCrashSafety.moc"
