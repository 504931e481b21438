#include "platform/Console.h"
#include "platform/MainQueue.h"
#include "platform/Preferences.h"
#include "support/TestMain.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <sys/stat.h>

using namespace orvel;
using Status = Preferences::Status;

namespace {

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeAll(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

} // namespace

class PreferencesTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init()
    {
        dir_ = std::make_unique<QTemporaryDir>();
        path_ = dir_->path() + QStringLiteral("/Orvel/preferences.json");
    }

    void typedReadsTellAbsentFromNotConvertible()
    {
        Preferences store(path_);
        store.setInteger("int", 7);
        store.setDouble("whole", 255.0);
        store.setDouble("half", 127.5);
        store.setDouble("negative", -1);
        store.setBool("flag", true);
        store.setText("name", "abc");

        QCOMPARE(store.integer("missing").status, Status::Absent);
        QCOMPARE(store.integer("int").value, qint64(7));
        QCOMPARE(store.integer("whole").value, qint64(255));
        QCOMPARE(store.integer("half").status, Status::NotConvertible);
        QCOMPARE(store.unsignedInteger("negative").status, Status::NotConvertible);
        QCOMPARE(store.real("half").value, 127.5);
        // A Bool is not a number and a number is not a Bool.
        QCOMPARE(store.integer("flag").status, Status::NotConvertible);
        QCOMPARE(store.boolean("int").status, Status::NotConvertible);
        QCOMPARE(store.boolean("flag").value, true);
        QCOMPARE(store.text("int").status, Status::NotConvertible);
        QCOMPARE(store.real("name").status, Status::NotConvertible);
        QCOMPARE(store.integer("name").valueOr(3), qint64(3));

        // Beyond 2^53 an integer does not survive the trip to a double, nor 1e30 the other way.
        store.setInteger("big", (qint64(1) << 53) + 1);
        QCOMPARE(store.real("big").status, Status::NotConvertible);
        store.setDouble("huge", 1e30);
        QCOMPARE(store.integer("huge").status, Status::NotConvertible);
    }

    void writesReachTheDiskWithinASecondAsOwnerOnlyJson()
    {
        ManualClock clock;
        ScopedMainQueue scope(clock);
        {
            Preferences store(path_);
            store.setText("hue_username", "secret");
            store.setBool("global_toggle", false);
            QVERIFY(!QFile::exists(path_)); // nothing flushed yet: a write costs no disk access
            clock.advance(1.0);
            QVERIFY(QFile::exists(path_));
            const QJsonObject root = QJsonDocument::fromJson(readAll(path_)).object();
            QCOMPARE(root.value("hue_username").toString(), QStringLiteral("secret"));
            QCOMPARE(root.value("global_toggle").toBool(true), false);
            struct stat info {};
            QCOMPARE(::stat(QFile::encodeName(path_).constData(), &info), 0);
            QCOMPARE(info.st_mode & 0777, mode_t(0600));
            store.setInteger("rule_count", 3); // written by the destructor, not a timer
        }
        clock.advance(5); // the pending flush finds its store gone and does nothing
        QCOMPARE(QJsonDocument::fromJson(readAll(path_)).object().value("rule_count").toInt(), 3);
        // Replacement is write-then-rename: no temporary file is left beside the store.
        QCOMPARE(QDir(QFileInfo(path_).path()).entryList(QDir::Files), QStringList{"preferences.json"});
    }

    void preSeededFileIsReadAndForeignMembersKept()
    {
        writeAll(path_, R"({"rule_count": 3, "hue_username": "abc", "note": ["kept", 1]})");
        {
            Preferences store(path_);
            QCOMPARE(store.unsignedInteger("rule_count").value, quint64(3));
            QCOMPARE(store.text("hue_username").value, QStringLiteral("abc"));
            QCOMPARE(store.text("note").status, Status::NotConvertible);
            store.setInteger("rule_count", 4);
            QVERIFY(store.sync());
        }
        const QJsonObject root = QJsonDocument::fromJson(readAll(path_)).object();
        QCOMPARE(root.value("rule_count").toInt(), 4);
        QCOMPARE(root.value("note").toArray().size(), 2);
    }

    void corruptFileIsSetAsideAndDefaultsUsed()
    {
        writeAll(path_, "{\"rule_count\": 3,, garbage");
        ConsoleCapture console;
        Preferences store(path_);
        QVERIFY(!store.contains("rule_count"));
        QVERIFY(console.lines().first().contains("could not read"));
        const QStringList aside = QDir(QFileInfo(path_).path()).entryList({"preferences.json.corrupt-*"});
        QCOMPARE(aside.size(), 1);
        QCOMPARE(readAll(QFileInfo(path_).path() + "/" + aside.first()),
                 QByteArray("{\"rule_count\": 3,, garbage"));

        store.setBool("global_toggle", true);
        QVERIFY(store.sync());
        QVERIFY(QJsonDocument::fromJson(readAll(path_)).isObject());
    }

    void unwritableLocationKeepsValuesInMemory()
    {
        writeAll(dir_->path() + "/blocker", "a file where a directory should be");
        ConsoleCapture console;
        Preferences store(dir_->path() + "/blocker/preferences.json");
        store.setText("hue_username", "abc");
        QVERIFY(!store.sync());
        QCOMPARE(store.text("hue_username").value, QStringLiteral("abc"));
        QVERIFY(!console.lines().isEmpty());
    }

private:
    std::unique_ptr<QTemporaryDir> dir_;
    QString path_;
};

ORVEL_TEST_MAIN(PreferencesTest)
#include "preferences_test.moc"
