#include "platform/Console.h"
#include "platform/MainQueue.h"
#include "platform/Preferences.h"
#include "support/TestMain.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

using namespace orvel;
using Status = Preferences::Status;

class PreferencesTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    const QString path_ = dir_.filePath("Orvel/preferences.json");

    QByteArray read(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    QJsonObject stored() { return QJsonDocument::fromJson(read(path_)).object(); }
    void seed(const QByteArray& bytes)
    {
        QFile file(path_);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }

private Q_SLOTS:
    void typedReadsTellAbsentFromNotConvertible()
    {
        Preferences store(dir_.filePath("typed.json"));
        store.setInteger("int", 7);
        store.setDouble("whole", 255.0);
        store.setDouble("half", 127.5);
        store.setDouble("negative", -1);
        store.setBool("flag", true);
        store.setText("name", "abc");
        store.setInteger("big", (qint64(1) << 53) + 1); // no double holds it exactly
        store.setDouble("huge", 1e30);
        QCOMPARE(store.integer("missing").status, Status::Absent);
        QCOMPARE(store.integer("whole").value, qint64(255));
        QCOMPARE(store.integer("name").valueOr(3), qint64(3));
        // There, but not of the type asked for: a Bool is not a number and a number not a Bool.
        for (const Status status :
             {store.integer("half").status, store.unsignedInteger("negative").status,
              store.integer("flag").status, store.boolean("int").status, store.text("int").status,
              store.real("name").status, store.real("big").status, store.integer("huge").status})
            QCOMPARE(status, Status::NotConvertible);
    }

    void writesReachTheDiskWithinASecondAsOwnerOnlyJsonKeepingForeignMembers()
    {
        ManualClock clock;
        ScopedMainQueue scope(clock);
        {
            Preferences store(path_);
            store.setText("hue_username", "secret");
            QVERIFY(!QFile::exists(path_)); // nothing flushed yet: a write costs no disk access
            clock.advance(1.0);
            QCOMPARE(stored().value("hue_username").toString(), QStringLiteral("secret"));
            QCOMPARE(QFile::permissions(path_),
                     QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
            store.setInteger("rule_count", 3); // written by the destructor, not a timer
        }
        clock.advance(5); // the pending flush finds its store gone and does nothing
        QCOMPARE(stored().value("rule_count").toInt(), 3);
        // Replacement is write-then-rename: no temporary file is left beside the store.
        QCOMPARE(QDir(dir_.filePath("Orvel")).entryList(QDir::Files), QStringList{"preferences.json"});

        // Members the program does not know are kept; a corrupt file is set aside.
        seed(R"({"rule_count": 3, "note": ["kept", 1]})");
        {
            Preferences store(path_);
            QCOMPARE(store.unsignedInteger("rule_count").value, quint64(3));
            store.setInteger("rule_count", 4);
            QVERIFY(store.sync());
        }
        QCOMPARE(stored(), QJsonDocument::fromJson(R"({"rule_count": 4, "note": ["kept", 1]})").object());

        seed("{\"rule_count\": 3,, garbage");
        ConsoleCapture console;
        Preferences store(path_);
        QVERIFY(!store.contains("rule_count"));
        QVERIFY(console.lines().first().contains("could not read"));
        const auto aside =
            QDir(dir_.filePath("Orvel")).entryList({"preferences.json.corrupt-*"}, QDir::Files);
        QCOMPARE(aside.size(), 1);
        QCOMPARE(read(dir_.filePath("Orvel/" + aside.first())), QByteArray("{\"rule_count\": 3,, garbage"));
        store.setBool("global_toggle", true);
        QVERIFY(store.sync());
        QCOMPARE(stored().value("global_toggle"), QJsonValue(true));
    }
};

ORVEL_TEST_MAIN(PreferencesTest)
#include "preferences_test.moc"
