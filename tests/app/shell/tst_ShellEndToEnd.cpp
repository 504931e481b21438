// The real `orvel` executable, headless, against the bridge simulator running in this test: the
// first launch, the bridge it remembers, and a second copy handing over to the running one. MIDI
// end to end is in tst_DawEndToEnd.cpp.

#include "ShellHarness.h"
#include "support/TestMain.h"

using namespace orvel;
using namespace orvel::test;

class ShellEndToEndTest : public QObject {
    Q_OBJECT

    void waitUntilConnected(Orvel& orvel)
    {
        QTRY_VERIFY2_WITH_TIMEOUT(orvel.said(u"lights: ["_qs) || orvel.finished(), qPrintable(orvel.output),
                                  20000);
        QVERIFY2(!orvel.finished(), qPrintable(orvel.output));
    }
    void quit(Orvel& orvel)
    {
        orvel.process.terminate(); // SIGTERM
        QTRY_VERIFY2_WITH_TIMEOUT(orvel.finished(), qPrintable(orvel.output), 10000);
        QCOMPARE(orvel.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(orvel.process.exitCode(), 0);
        QVERIFY(orvel.said(u"bai"_qs));
    }

private slots:
    void firstLaunchOpensAboutAndRemembersTheBridgeALaterCopyHandsOver()
    {
        QVERIFY2(QFile::exists(QStringLiteral(ORVEL_EXECUTABLE)), ORVEL_EXECUTABLE);
        QString error;
        const auto sim = pairedSimulator(&error);
        QVERIFY2(sim, qPrintable(error));
        Home home;
        home.store({});
        {
            Orvel first(home.environment(), sim->hostAndPort());
            waitUntilConnected(first);
            QVERIFY(first.said(u"first launch: showing About Orvel"_qs));
            QVERIFY(first.said(u"remembering the bridge address "_qs + sim->hostAndPort()));
            quit(first);
        }
        const QByteArray prefs = home.read(".config/Orvel/preferences.json");
        QCOMPARE(QJsonDocument::fromJson(prefs).object().value(u"has_shown_about"_qs).toBool(), true);
        const QList<QByteArray> log = home.read(".local/share/Orvel/swift_log.txt").split('\n');
        QVERIFY2(log.size() > 2 && log[0].endsWith("Z: ====================") &&
                     log[1].endsWith("Z: Application Launched"),
                 log.join('\n').constData());

        // Without --bridge, the remembered bridge is tried at once; About is not shown again.
        Orvel second(home.environment(), QString());
        waitUntilConnected(second);
        QVERIFY2(second.said(u"trying the remembered bridge at "_qs + sim->hostAndPort()),
                 qPrintable(second.output));
        QVERIFY(!second.said(u"first launch: showing About Orvel"_qs));
        QVERIFY(!second.said(u"unhiding"_qs));

        // Another launch while it runs shows its window and steps aside, without a banner.
        Orvel third(home.environment(), sim->hostAndPort());
        QTRY_VERIFY2_WITH_TIMEOUT(third.finished(), qPrintable(third.output), 10000);
        QCOMPARE(third.process.exitCode(), 0);
        QVERIFY2(third.said(u"Orvel is already running; its settings window has been shown"_qs),
                 qPrintable(third.output));
        QTRY_VERIFY2_WITH_TIMEOUT(second.said(u"unhiding"_qs), qPrintable(second.output), 5000);
        quit(second);
        QCOMPARE(home.read(".local/share/Orvel/swift_log.txt").count("Application Launched"), 2);
    }
};

ORVEL_TEST_MAIN(ShellEndToEndTest)
#include "tst_ShellEndToEnd.moc"
