// The application's models: the log, the autostart entry, the About window and the headline from
// the web site with the links it may open. Runs in the temporary home ORVEL_TEST_MAIN sets up.

#include "app/AboutWindow.h"
#include "app/BuildInfo.h"
#include "app/LaunchAtLogin.h"
#include "app/LoadedNews.h"
#include "app/Log.h"
#include "app/SiteLinks.h"
#include "platform/Console.h"
#include "platform/Preferences.h"
#include "support/TestMain.h"

#include <QCheckBox>
#include <QLabel>
#include <QNetworkProxy>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>

#include <ctime>

using namespace orvel;

namespace {

QString write(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes);
    return path;
}

QByteArray read(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class AppModelsTest : public QObject {
    Q_OBJECT

    QString file(const QByteArray& bytes) { return write(tmp_.filePath(QString::number(++files_)), bytes); }
    QTemporaryDir tmp_;
    int files_ = 0;
    QNetworkAccessManager nam_;

private slots:
    void init()
    {
        nam_.setProxy(QNetworkProxy::NoProxy);
        QDir(LaunchAtLogin::entryPath()).removeRecursively();
        QFile::remove(LaunchAtLogin::entryPath());
    }

    // Each call prints its text and appends it to what earlier runs left, as one line stamped in
    // UTC whatever the time zone; a log that cannot be written costs only the line.
    void theLogAppendsStampedLines()
    {
        write(logFilePath(), "an earlier run\n");
        qputenv("TZ", "Pacific/Kiritimati"); // UTC+14
        tzset();
        ConsoleCapture console;
        writeLog(u"Application Launched"_qs);
        writeLog(QString());
        qunsetenv("TZ");
        tzset();
        QCOMPARE(console.lines(), (QStringList{u"Application Launched"_qs, QString()}));
        const QString stamp = uR"((\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z): )"_qs;
        const auto match = QRegularExpression(u"^an earlier run\n"_qs + stamp + u"Application Launched\n"_qs +
                                              stamp + u"\n$"_qs)
                               .match(QString::fromUtf8(read(logFilePath())));
        QVERIFY(match.hasMatch());
        for (int i : {1, 2})
            QVERIFY(qAbs(QDateTime::fromString(match.captured(i), Qt::ISODateWithMs)
                             .secsTo(QDateTime::currentDateTimeUtc())) < 60);

        QFile::remove(logFilePath());
        QDir().mkpath(logFilePath());
        writeLog(u"still printed"_qs);
        QCOMPARE(console.lines().value(2), u"still printed"_qs);
        QVERIFY(console.lines().value(3).startsWith(u"could not write to the log"_qs));
    }

    // Whether the entry starts anything; a start adds --login to an entry of ours from before it.
    void autostartEntries_data()
    {
        // The entry as the version before --login wrote it, for a program somewhere else.
        const QByteArray old =
            "[Desktop Entry]\nType=Application\nName=Orvel\nComment=Switch Hue lights from "
            "MIDI\nExec=\"/opt/o rvel/orvel\"\nIcon=org.orvel.Orvel\nTerminal=false\n"
            "X-GNOME-Autostart-enabled=true\n";
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<QByteArray>("updated"); // empty: left as it is
        const QByteArray plain = "[Desktop Entry]\nExec=orvel\n", none;
        QTest::newRow("plain entry") << plain << true << none;
        QTest::newRow("hidden") << plain + "Hidden=true\n" << false << none;
        QTest::newRow("gnome disabled") << plain + "X-GNOME-Autostart-enabled=false\n" << false << none;
        QTest::newRow("other group's keys") << plain + "[Desktop Action x]\nHidden=true\n" << true << none;
        QTest::newRow("ours, before --login")
            << old << true << QByteArray(old).replace("orvel\"\n", "orvel\" --login\n");
        QTest::newRow("own arguments")
            << QByteArray(old).replace("orvel\"\n", "orvel\" -x\n") << true << none;
        QTest::newRow("a key of the user's") << old + "Hidden=false\n" << true << none;
    }

    void autostartEntries()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, enabled);
        QFETCH(QByteArray, updated);
        QVERIFY(!LaunchAtLogin::isEnabled());
        write(LaunchAtLogin::entryPath(), content);
        QCOMPARE(LaunchAtLogin::isEnabled(), enabled);
        QCOMPARE(LaunchAtLogin::updateEntry(), !updated.isEmpty());
        QCOMPARE(read(LaunchAtLogin::entryPath()), updated.isEmpty() ? content : updated);
        QVERIFY(!LaunchAtLogin::updateEntry()); // a second start finds nothing to do
    }

    // Two switches follow each other and the entry, which starts this executable quoted for the
    // desktop (a % would start a field code); a write that fails shows the real state.
    void switchesWriteTheEntry()
    {
        QSignalSpy changed(&LaunchAtLogin::shared(), &LaunchAtLogin::Observable::changed);
        LaunchAtLogin::Toggle toggle, other;
        toggle.checkBox()->click();
        QVERIFY(LaunchAtLogin::isEnabled() && other.checkBox()->isChecked());
        const QList<QByteArray> lines = read(LaunchAtLogin::entryPath()).split('\n');
        QCOMPARE(lines.value(0), QByteArray("[Desktop Entry]"));
        QVERIFY(lines.contains("Exec=\"" + QCoreApplication::applicationFilePath().toUtf8() + "\" --login"));
        QVERIFY(LaunchAtLogin::setEnabled(false));
        QVERIFY(!QFile::exists(LaunchAtLogin::entryPath()) && !toggle.checkBox()->isChecked());
        QCOMPARE(changed, (QList<QVariantList>{{true}, {false}}));
        // Inside quotes " ` $ \ take a backslash, then the string escape doubles every backslash.
        QCOMPARE(LaunchAtLogin::execValue(u"/home/a b/100% \"$x`\\orvel"_qs),
                 u"\"/home/a b/100%% \\\\\"\\\\$x\\\\`\\\\\\\\orvel\""_qs);

        // Changed outside the program: seen when the switch is shown again.
        write(LaunchAtLogin::entryPath(), "[Desktop Entry]\nExec=orvel\n");
        toggle.show();
        QVERIFY(toggle.checkBox()->isChecked());
        // A directory where the entry belongs can be neither replaced nor removed.
        QFile::remove(LaunchAtLogin::entryPath());
        QVERIFY(QDir().mkpath(LaunchAtLogin::entryPath()));
        ConsoleCapture console;
        other.checkBox()->click();
        QVERIFY(!other.checkBox()->isChecked());
        QVERIFY(console.lines().value(0).startsWith(u"could not write the autostart entry"_qs));
    }

    void aboutWindows_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("shown");
        const QString unreadable = QString::fromLatin1(kChangelogUnreadable);
        initAppResources();
        QTest::newRow("shipped") << QString::fromLatin1(kChangelogResource)
                                 << QString::fromUtf8(read(QString::fromLatin1(kChangelogResource)));
        QTest::newRow("verbatim") << file("<b>bold</b> &amp;\n") << u"<b>bold</b> &amp;\n"_qs;
        QTest::newRow("long") << file(QByteArray(400, '\n')) << QString(400, u'\n');
        QTest::newRow("UTF-16 BOM") << file(QByteArray::fromHex("fffe4100e900")) << u"A\u00e9"_qs;
        QTest::newRow("missing") << tmp_.filePath(u"none"_qs) << QString::fromLatin1(kChangelogMissing);
        QTest::newRow("not UTF-8") << file("caf\xe9") << unreadable;
        // UTF-32 by its BOM, cut off mid-unit: Qt's decoder leaves a broken surrogate unreported.
        QTest::newRow("UTF-32 cut short")
            << file(QByteArray::fromBase64("//4AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAACAAAAAAAAAAAAAAAAAA"
                                           "AAAAAAAAAAAAAAAAAAAAAAAAAAAABIAGk="))
            << unreadable;
    }

    // A long changelog scrolls inside its area; the lines below it stay in the window.
    void aboutWindows()
    {
        QFETCH(QString, path);
        QFETCH(QString, shown);
        Preferences::standard().remove(u"has_shown_about"_qs);
        QScopedPointer<QWidget> window(showAbout(u"2.1.0"_qs, u"42"_qs, path));
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        QCOMPARE(window->windowTitle(), u"About Orvel"_qs);
        QCOMPARE(window->size(), QSize(300, 500));
        QCOMPARE(window->findChild<QLabel*>(u"version"_qs)->text(), u"Version: 2.1.0"_qs);
        QCOMPARE(window->findChild<QLabel*>(u"build"_qs)->text(), u"Build: 42"_qs);
        const auto* site = window->findChild<QLabel*>(u"site"_qs);
        QCOMPARE(site->text(), u"https://"_qs + QString::fromUtf8(build::siteHost));
        QVERIFY(window->rect().contains(QRect(site->mapTo(window.get(), QPoint()), site->size())));
        const auto* text = window->findChild<QPlainTextEdit*>(u"changelog"_qs);
        QCOMPARE(text->toPlainText(), shown);
        QVERIFY(text->verticalScrollBar()->maximum() > 0 || shown.size() < 400);
        QVERIFY(Preferences::standard().boolean(u"has_shown_about"_qs).valueOr(false));
    }

    // A network error publishes nothing, whatever status arrived before the body was cut short.
    void headlines_data()
    {
        QTest::addColumn<QString>("status"); // empty: the connection is refused
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("cut");          // ends early: 1 closed, 2 reset
        QTest::addColumn<QStringList>("said"); // the starts of the lines after the address
        QTest::addColumn<QString>("shown");    // text|link
        const QString code = u"Response HTTP Status code: "_qs;
        const QString wrong = u"wrong number of components in loaded headline. Components: "_qs;
        const QStringList failed{u"Error took place "_qs};
        const QByteArray good = "\n Back  soon \t||https://x.example\r\n";
        QTest::newRow("error status, good body")
            << u"500 Oops"_qs << good << 0 << QStringList{code + "500"} << u"Back  soon|https://x.example"_qs;
        QTest::newRow("empty body") << u"200 OK"_qs << QByteArray() << 0
                                    << QStringList{code + "200", wrong + "1"} << QString();
        QTest::newRow("three separators") << u"404 Not Found"_qs << QByteArray("a||b||c||d") << 0
                                          << QStringList{code + "404", wrong + "4"} << QString();
        QTest::newRow("not UTF-8") << u"200 OK"_qs << QByteArray("caf\xe9||https://x.example") << 0
                                   << QStringList{code + "200"} << QString();
        QTest::newRow("refused") << QString() << QByteArray() << 0 << failed << QString();
        QTest::newRow("200, closed") << u"200 OK"_qs << good << 1 << failed << QString();
        QTest::newRow("503, reset") << u"503 Busy"_qs << good << 2 << failed << QString();
    }

    void headlines()
    {
        QFETCH(QString, status);
        QFETCH(QByteArray, body);
        QFETCH(int, cut);
        QFETCH(QStringList, said);
        QFETCH(QString, shown);
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        const QString base = u"http://127.0.0.1:%1"_qs.arg(server.serverPort());
        if (status.isEmpty())
            server.close();
        QByteArray request;
        connect(&server, &QTcpServer::newConnection, this, [&] {
            QTcpSocket* socket = server.nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, socket, [&, socket] {
                if (!(request += socket->readAll()).contains("\r\n\r\n"))
                    return;
                socket->write("HTTP/1.1 " + status.toUtf8() + "\r\nContent-Length: " +
                              QByteArray::number(body.size() + (cut ? 400 : 0)) + "\r\n\r\n" + body);
                socket->flush();
                cut == 2 ? socket->abort() : socket->disconnectFromHost();
            });
        });
        ConsoleCapture console;
        LoadedNews news(QUrl(base), u"1.10.3"_qs, &nam_);
        const auto headline = [&news] {
            return news.headlineText() ? *news.headlineText() + u'|' + news.headlineURL().value_or(u"?"_qs)
                                       : QString();
        };
        int observed = 0; // both parts are in place whenever an observer looks
        connect(&news, &LoadedNews::changed, this, [&] { observed += headline() == shown ? 1 : 100; });
        QVERIFY(QSignalSpy(&news, &LoadedNews::finished).wait(10'000));
        QVERIFY(status.isEmpty() || request.startsWith("GET /headline?ver=1_10_3 HTTP/1.1\r\n"));
        QCOMPARE(console.lines().value(0), base + u"/headline?ver=1_10_3"_qs);
        QCOMPARE(console.lines().size(), said.size() + 1);
        for (qsizetype i = 0; i < said.size(); ++i)
            QVERIFY2(console.lines()[i + 1].startsWith(said[i]), qPrintable(console.lines()[i + 1]));
        QCOMPARE(headline(), shown);
        QCOMPARE(observed, shown.isEmpty() ? 0 : 2);
        // The product site is asked over https.
        QCOMPARE(LoadedNews(u"2.1.0"_qs, u"127.0.0.1:9"_qs, &nam_).requestUrl(),
                 QUrl(u"https://127.0.0.1:9/headline?ver=2_1_0"_qs));
    }

    void onlyWebLinksOpen_data()
    {
        QTest::addColumn<QString>("link");
        QTest::addColumn<QString>("opened");
        QTest::newRow("http, capitals")
            << u"HTTP://127.0.0.1:8080/x"_qs << u"http://127.0.0.1:8080/x?ver=2_1_0"_qs;
        for (const char* bad : {"file:///etc/passwd", "file://host/share", "javascript:alert(1)",
                                "orvel-helper://run", "http:/etc/passwd", "x.example/a", "//x.example/a", ""})
            QTest::newRow(bad) << QString::fromLatin1(bad) << QString();
    }

    void onlyWebLinksOpen()
    {
        QFETCH(QString, link);
        QFETCH(QString, opened);
        QStringList handedOn;
        ScopedLinkOpener opener([&](const QUrl& url) { handedOn << url.toString(); });
        ConsoleCapture console;
        QCOMPARE(openHeadlineLink(link, u"2.1.0"_qs), !opened.isEmpty());
        QCOMPARE(handedOn, opened.isEmpty() ? QStringList() : QStringList{opened});
        QCOMPARE(console.lines().size(), opened.isEmpty() ? 1 : 0);
    }
};

ORVEL_TEST_MAIN(AppModelsTest)
#include "tst_AppModels.moc"
