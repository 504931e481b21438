#include "app/LaunchAtLogin.h"
#include "platform/Console.h"
#include "support/TestMain.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>

using namespace orvel;

namespace {

void writeEntry(const QByteArray& content)
{
    QDir().mkpath(QFileInfo(LaunchAtLogin::entryPath()).path());
    QFile file(LaunchAtLogin::entryPath());
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

} // namespace

// Runs in the temporary XDG_CONFIG_HOME that ORVEL_TEST_MAIN sets up.
class LaunchAtLoginTest : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        QDir(LaunchAtLogin::entryPath()).removeRecursively();
        QFile::remove(LaunchAtLogin::entryPath());
    }

    void entryDecidesTheState_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("plain entry") << QByteArray("[Desktop Entry]\nExec=orvel\n") << true;
        QTest::newRow("hidden") << QByteArray("[Desktop Entry]\nExec=orvel\nHidden=true\n") << false;
        QTest::newRow("gnome disabled")
            << QByteArray("[Desktop Entry]\nX-GNOME-Autostart-enabled=false\n") << false;
        QTest::newRow("other group's keys")
            << QByteArray("[Desktop Entry]\n[Desktop Action x]\nHidden=true\n") << true;
    }

    void entryDecidesTheState()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, enabled);
        QVERIFY(!LaunchAtLogin::isEnabled());
        writeEntry(content);
        QCOMPARE(LaunchAtLogin::isEnabled(), enabled);
    }

    void writesStartThisExecutableAndNotify()
    {
        QSignalSpy changed(&LaunchAtLogin::shared(), &LaunchAtLogin::Observable::changed);
        QVERIFY(LaunchAtLogin::setEnabled(true));
        QFile file(LaunchAtLogin::entryPath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = file.readAll().split('\n');
        QCOMPARE(lines.value(0), QByteArray("[Desktop Entry]"));
        QVERIFY(lines.contains("Exec=\"" + QCoreApplication::applicationFilePath().toUtf8() + "\" --login"));

        QVERIFY(LaunchAtLogin::setEnabled(false));
        QVERIFY(!QFile::exists(LaunchAtLogin::entryPath()));
        QCOMPARE(changed, (QList<QVariantList>{{true}, {false}}));
    }

    void updateEntryAddsLoginOnlyToOurOwnEntries_data()
    {
        // The entry as the version before --login wrote it, for a program somewhere else.
        const QByteArray old =
            "[Desktop Entry]\nType=Application\nName=Orvel\nComment=Switch Hue lights from "
            "MIDI\nExec=\"/opt/o rvel/orvel\"\nIcon=org.orvel.Orvel\nTerminal=false\n"
            "X-GNOME-Autostart-enabled=true\n";
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QByteArray>("after");
        QTest::newRow("ours, before --login")
            << old << QByteArray(old).replace("orvel\"\n", "orvel\" --login\n");
        QTest::newRow("own arguments") << QByteArray(old).replace("orvel\"\n", "orvel\" -x\n")
                                       << QByteArray(old).replace("orvel\"\n", "orvel\" -x\n");
        QTest::newRow("a key of the user's") << old + "Hidden=false\n" << old + "Hidden=false\n";
        QTest::newRow("another program's") << QByteArray("[Desktop Entry]\nExec=\"orvel\"\n")
                                           << QByteArray("[Desktop Entry]\nExec=\"orvel\"\n");
    }

    void updateEntryAddsLoginOnlyToOurOwnEntries()
    {
        QFETCH(QByteArray, content);
        QFETCH(QByteArray, after);
        writeEntry(content);
        ConsoleCapture console;
        QCOMPARE(LaunchAtLogin::updateEntry(), content != after);
        QFile file(LaunchAtLogin::entryPath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), after);
        // A second start finds nothing to do.
        QVERIFY(!LaunchAtLogin::updateEntry());
    }

    void execValueQuotesAwkwardPaths()
    {
        // Inside quotes " ` $ \ take a backslash, then the string escape doubles every backslash.
        QCOMPARE(LaunchAtLogin::execValue(u"/home/a b/100% \"$x`\\orvel"_qs),
                 u"\"/home/a b/100%% \\\\\"\\\\$x\\\\`\\\\\\\\orvel\""_qs);
    }

    void toggleIsBoundBothWays()
    {
        LaunchAtLogin::Toggle toggle;
        LaunchAtLogin::Toggle other;
        toggle.checkBox()->click();
        QVERIFY(LaunchAtLogin::isEnabled());
        QVERIFY(other.checkBox()->isChecked());
        LaunchAtLogin::setEnabled(false);
        QVERIFY(!toggle.checkBox()->isChecked());

        // Changed outside the program: seen when the switch is shown again.
        writeEntry("[Desktop Entry]\nExec=orvel\n");
        toggle.show();
        QVERIFY(toggle.checkBox()->isChecked());
    }

    void toggleShowsTheRealStateAfterAFailedWrite()
    {
        // A directory where the entry belongs can be neither replaced nor removed.
        QVERIFY(QDir().mkpath(LaunchAtLogin::entryPath()));
        LaunchAtLogin::Toggle toggle;
        ConsoleCapture console;
        toggle.checkBox()->click();
        QVERIFY(!toggle.checkBox()->isChecked());
        QCOMPARE(console.lines().size(), 1);
        QVERIFY(console.lines()[0].startsWith(u"could not write the autostart entry"_qs));
    }
};

ORVEL_TEST_MAIN(LaunchAtLoginTest)
#include "tst_LaunchAtLogin.moc"
