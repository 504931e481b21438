#include "app/BuildInfo.h"
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

class LaunchAtLoginTest : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        QDir(LaunchAtLogin::entryPath()).removeRecursively();
        QFile::remove(LaunchAtLogin::entryPath());
    }
    void entryDecidesTheState_data();
    void entryDecidesTheState();
    void writesStartThisExecutableAndAlwaysNotify();
    void execValueQuotesAwkwardPaths();
    void toggleIsBoundBothWays();
    void toggleShowsTheRealStateAfterAFailedWrite();
};

void LaunchAtLoginTest::entryDecidesTheState_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("enabled");

    QTest::newRow("plain entry") << QByteArray("[Desktop Entry]\nExec=orvel\n") << true;
    QTest::newRow("hidden") << QByteArray("[Desktop Entry]\nExec=orvel\nHidden=true\n") << false;
    QTest::newRow("gnome disabled") << QByteArray("[Desktop Entry]\nX-GNOME-Autostart-enabled=false\n")
                                    << false;
    QTest::newRow("other group's keys")
        << QByteArray("[Desktop Entry]\n[Desktop Action x]\nHidden=true\n") << true;
    QTest::newRow("no entry group") << QByteArray("Hidden=false\n") << false;
}

void LaunchAtLoginTest::entryDecidesTheState()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, enabled);
    QVERIFY(!LaunchAtLogin::isEnabled());
    writeEntry(content);
    QCOMPARE(LaunchAtLogin::isEnabled(), enabled);
}

void LaunchAtLoginTest::writesStartThisExecutableAndAlwaysNotify()
{
    const QString id = QString::fromUtf8(build::appId) + u"-LaunchAtLoginHelper"_qs;
    QCOMPARE(LaunchAtLogin::entryPath(),
             qEnvironmentVariable("XDG_CONFIG_HOME") + u"/autostart/"_qs + id + u".desktop"_qs);

    QSignalSpy changed(&LaunchAtLogin::shared(), &LaunchAtLogin::Observable::changed);
    QVERIFY(LaunchAtLogin::setEnabled(true));
    QVERIFY(LaunchAtLogin::setEnabled(true));
    QFile file(LaunchAtLogin::entryPath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().split('\n');
    QCOMPARE(lines.value(0), QByteArray("[Desktop Entry]"));
    QVERIFY(lines.contains("Exec=\"" + QCoreApplication::applicationFilePath().toUtf8() + "\""));

    LaunchAtLogin::shared().setEnabled(false);
    QVERIFY(LaunchAtLogin::setEnabled(false));
    QVERIFY(!QFile::exists(LaunchAtLogin::entryPath()));
    QCOMPARE(changed.size(), 4);
    QCOMPARE(changed[1][0].toBool(), true);
    QCOMPARE(changed[3][0].toBool(), false);
}

void LaunchAtLoginTest::execValueQuotesAwkwardPaths()
{
    // Inside quotes " ` $ \ take a backslash, then the string escape doubles every backslash.
    QCOMPARE(LaunchAtLogin::execValue(u"/home/a b/100% \"$x`\\orvel"_qs),
             u"\"/home/a b/100%% \\\\\"\\\\$x\\\\`\\\\\\\\orvel\""_qs);
}

void LaunchAtLoginTest::toggleIsBoundBothWays()
{
    LaunchAtLogin::Toggle toggle(u"Open Orvel at Login"_qs);
    LaunchAtLogin::Toggle other;
    QCOMPARE(toggle.checkBox()->text(), u"Open Orvel at Login"_qs);
    QCOMPARE(other.checkBox()->text(), u"Launch at login"_qs);

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

void LaunchAtLoginTest::toggleShowsTheRealStateAfterAFailedWrite()
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

ORVEL_TEST_MAIN(LaunchAtLoginTest)
#include "tst_LaunchAtLogin.moc"
