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
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponse>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QPlainTextEdit>
#include <QPointer>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <ctime>
#include <optional>

using namespace orvel;
using OptText = std::optional<QString>;

namespace {

void writeEntry(const QByteArray& content)
{
    QDir().mkpath(QFileInfo(LaunchAtLogin::entryPath()).path());
    QFile file(LaunchAtLogin::entryPath());
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

} // namespace

class AppModelsTest : public QObject {
    Q_OBJECT

    QString file(const QString& name, const QByteArray& bytes)
    {
        QFile out(tmp_.filePath(name));
        if (out.open(QIODevice::WriteOnly))
            out.write(bytes);
        return out.fileName();
    }
    QTemporaryDir tmp_;
    QHttpServer server_;
    QNetworkAccessManager nam_;
    QUrl base_;
    QByteArray body_;
    int status_ = 200;
    QStringList seen_; // method, query and body of each request

private slots:
    void initTestCase()
    {
        nam_.setProxy(QNetworkProxy::NoProxy);
        server_.route(u"/headline"_qs, [this](const QHttpServerRequest& request) {
            seen_ << (request.method() == QHttpServerRequest::Method::Get ? u"GET"_qs : u"other"_qs)
                  << request.url().query() << QString::fromUtf8(request.body());
            return QHttpServerResponse("text/plain", body_, QHttpServerResponse::StatusCode(status_));
        });
        base_ = QUrl(u"http://127.0.0.1:%1"_qs.arg(server_.listen(QHostAddress::LocalHost)));
        QVERIFY(base_.port() > 0);
    }

    void init()
    {
        // No autostart entry before each case.
        QDir(LaunchAtLogin::entryPath()).removeRecursively();
        QFile::remove(LaunchAtLogin::entryPath());
    }

    // Each call prints its text and appends it to what earlier runs left, as one line stamped in
    // UTC whatever the time zone.
    void everyCallAppendsOneTimestampedLine()
    {
        QCOMPARE(logFilePath(), qEnvironmentVariable("XDG_DATA_HOME") + "/Orvel/swift_log.txt");
        QDir().mkpath(QFileInfo(logFilePath()).path());
        QFile file(logFilePath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("an earlier run\n");
        file.close();

        qputenv("TZ", "Pacific/Kiritimati"); // UTC+14
        tzset();
        const QDateTime before = QDateTime::currentDateTimeUtc().addMSecs(-1);
        ConsoleCapture console;
        const QStringList messages{"====================", "Application Launched", ""};
        for (const QString& message : messages)
            writeLog(message);
        const QDateTime after = QDateTime::currentDateTimeUtc().addMSecs(1);
        qunsetenv("TZ");
        tzset();
        QCOMPARE(console.lines(), messages);

        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(file.readAll());
        static const QRegularExpression line(uR"(\n(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z): (.*)(?=\n))"_qs);
        QVERIFY(text.startsWith(u"an earlier run\n"_qs) && text.endsWith(u"Z: \n"_qs));
        QStringList logged;
        for (const auto& match : line.globalMatch(text)) {
            const QDateTime stamp = QDateTime::fromString(match.captured(1), Qt::ISODateWithMs);
            QVERIFY2(stamp >= before && stamp <= after, qPrintable(match.captured(1)));
            logged << match.captured(2);
        }
        QCOMPARE(logged, messages);
    }

    void unwritableLogCostsOnlyTheLine()
    {
        // A directory where the file should be: the open fails, nothing is replaced.
        QFile::remove(logFilePath());
        QDir().mkpath(logFilePath());
        ConsoleCapture console;
        writeLog(QStringLiteral("still printed"));
        QCOMPARE(console.lines().size(), 2);
        QCOMPARE(console.lines().first(), QStringLiteral("still printed"));
        QVERIFY(console.lines().last().startsWith("could not write to the log"));
        QVERIFY(QFileInfo(logFilePath()).isDir());
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

    // Two switches follow each other and the entry; a write that fails shows the real state.
    void togglesFollowTheEntry()
    {
        LaunchAtLogin::Toggle toggle;
        LaunchAtLogin::Toggle other;
        toggle.checkBox()->click();
        QVERIFY(LaunchAtLogin::isEnabled() && other.checkBox()->isChecked());
        LaunchAtLogin::setEnabled(false);
        QVERIFY(!toggle.checkBox()->isChecked());
        // Changed outside the program: seen when the switch is shown again.
        writeEntry("[Desktop Entry]\nExec=orvel\n");
        toggle.show();
        QVERIFY(toggle.checkBox()->isChecked());

        // A directory where the entry belongs can be neither replaced nor removed.
        QFile::remove(LaunchAtLogin::entryPath());
        QVERIFY(QDir().mkpath(LaunchAtLogin::entryPath()));
        ConsoleCapture console;
        other.checkBox()->click();
        QVERIFY(!other.checkBox()->isChecked());
        QCOMPARE(console.lines().size(), 1);
        QVERIFY(console.lines()[0].startsWith(u"could not write the autostart entry"_qs));
    }

    void changelogTexts_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("shown");

        QTest::newRow("verbatim") << file(u"a.txt"_qs, "<b>bold</b> &amp;\n") << u"<b>bold</b> &amp;\n"_qs;
        QTest::newRow("UTF-16 BOM") << file(u"u16.txt"_qs, QByteArray::fromHex("fffe4100e900"))
                                    << u"A\u00e9"_qs;
        QTest::newRow("missing") << tmp_.filePath(u"none.txt"_qs) << QString::fromLatin1(kChangelogMissing);
        QTest::newRow("not UTF-8") << file(u"l1.txt"_qs, "caf\xe9")
                                   << QString::fromLatin1(kChangelogUnreadable);
        // UTF-32 by its BOM, cut off mid-unit: Qt's decoder leaves a broken surrogate unreported.
        QTest::newRow("UTF-32 cut short")
            << file(u"u32.txt"_qs,
                    QByteArray::fromBase64("//4AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAACAAAAAAAAAAAAAAAAAA"
                                           "AAAAAAAAAAAAAAAAAAAAAAAAAAAABIAGk="))
            << QString::fromLatin1(kChangelogUnreadable);
    }

    void changelogTexts()
    {
        QFETCH(QString, path);
        QFETCH(QString, shown);
        QScopedPointer<QWidget> window(showAbout(u"1.0.0"_qs, u"7"_qs, path));
        QCOMPARE(window->findChild<QPlainTextEdit*>(u"changelog"_qs)->toPlainText(), shown);
    }

    void windowShowsReleaseAndSiteAndIsRecorded()
    {
        Preferences::standard().remove(u"has_shown_about"_qs);
        QByteArray longText;
        for (int i = 0; i < 400; ++i)
            longText += "Fixed thing number " + QByteArray::number(i) + "\n";
        QScopedPointer<QWidget> window(showAbout(u"2.1.0"_qs, u"42"_qs, file(u"long.txt"_qs, longText)));
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        QCOMPARE(window->windowTitle(), u"About Orvel"_qs);
        QCOMPARE(window->size(), QSize(300, 500));
        QCOMPARE(window->findChild<QLabel*>(u"version"_qs)->text(), u"Version: 2.1.0"_qs);
        QCOMPARE(window->findChild<QLabel*>(u"build"_qs)->text(), u"Build: 42"_qs);
        const auto* site = window->findChild<QLabel*>(u"site"_qs);
        QCOMPARE(site->text(), u"https://"_qs + QString::fromUtf8(build::siteHost));
        QVERIFY(!window->findChild<QLabel*>(u"logo"_qs)->pixmap().isNull());
        // A long changelog scrolls inside its area; the area and the lines below it stay in the window.
        const auto* text = window->findChild<QPlainTextEdit*>(u"changelog"_qs);
        QVERIFY(text->verticalScrollBar()->maximum() > 0);
        QVERIFY(window->rect().contains(QRect(text->mapTo(window.get(), QPoint()), text->size())));
        QVERIFY(window->rect().contains(QRect(site->mapTo(window.get(), QPoint()), site->size())));
        QVERIFY(Preferences::standard().boolean(u"has_shown_about"_qs).valueOr(false));

        // Each call opens a window of its own, with the shipped changelog by default.
        QScopedPointer<QWidget> second(showAbout(u"1.0.0"_qs, u"1"_qs));
        const QString shipped = second->findChild<QPlainTextEdit*>(u"changelog"_qs)->toPlainText();
        QVERIFY(!shipped.isEmpty() && shipped != QLatin1String(kChangelogMissing) &&
                shipped != QLatin1String(kChangelogUnreadable));
        QVERIFY(second != window && window->isVisible() && second->isVisible());
    }

    void answers_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("complaint"); // printed after the status line
        QTest::addColumn<OptText>("text");
        QTest::addColumn<OptText>("url");
        const QString wrong = u"wrong number of components in loaded headline. Components: %1"_qs;
        QTest::newRow("padding trimmed")
            << 200 << QByteArray("\n  New  lights \t\r\n||\n  https://x.example \n") << QString()
            << OptText(u"New  lights"_qs) << OptText(u"https://x.example"_qs);
        QTest::newRow("error status, good body")
            << 500 << QByteArray("Back soon||https://x.example") << QString() << OptText(u"Back soon"_qs)
            << OptText(u"https://x.example"_qs);
        QTest::newRow("empty body") << 200 << QByteArray() << wrong.arg(1) << OptText() << OptText();
        QTest::newRow("three separators")
            << 404 << QByteArray("a||b||c||d") << wrong.arg(4) << OptText() << OptText();
        QTest::newRow("not UTF-8") << 200 << QByteArray("caf\xe9||https://x.example") << QString()
                                   << OptText() << OptText();
    }

    void answers()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, complaint);
        QFETCH(OptText, text);
        QFETCH(OptText, url);
        body_ = body;
        status_ = status;
        seen_.clear();
        ConsoleCapture console;
        LoadedNews news(base_, u"1.10.3"_qs, &nam_);
        // Both fields are in place whenever an observer looks.
        int observed = 0;
        connect(&news, &LoadedNews::changed, this, [&] {
            ++observed;
            QVERIFY(news.headlineText() == text && news.headlineURL() == url);
        });
        QVERIFY(QSignalSpy(&news, &LoadedNews::finished).wait(10'000));
        QCOMPARE(seen_, (QStringList{u"GET"_qs, u"ver=1_10_3"_qs, QString()}));
        QStringList lines{base_.toString() + u"/headline?ver=1_10_3"_qs,
                          u"Response HTTP Status code: %1"_qs.arg(status)};
        if (!complaint.isEmpty())
            lines << complaint;
        QCOMPARE(console.lines(), lines);
        QCOMPARE(news.headlineText(), text);
        QCOMPARE(news.headlineURL(), url);
        QCOMPARE(observed, text ? 2 : 0);
    }

    // No answer, or the status and part of the body and then the connection dies: nothing is
    // published, whatever the status said.
    void failuresPublishNothing_data()
    {
        QTest::addColumn<QByteArray>("status"); // empty: the connection is refused
        QTest::addColumn<bool>("reset");
        QTest::newRow("refused") << QByteArray() << false;
        QTest::newRow("200, reset") << QByteArray("200 OK") << true;
        QTest::newRow("200, closed") << QByteArray("200 OK") << false;
        QTest::newRow("503, reset") << QByteArray("503 Service Unavailable") << true;
    }

    void failuresPublishNothing()
    {
        QFETCH(QByteArray, status);
        QFETCH(bool, reset);
        QTcpServer cutting;
        QVERIFY(cutting.listen(QHostAddress::LocalHost));
        const QUrl url(u"http://127.0.0.1:%1"_qs.arg(cutting.serverPort()));
        if (status.isEmpty())
            cutting.close();
        connect(&cutting, &QTcpServer::newConnection, this, [&] {
            QTcpSocket* socket = cutting.nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, socket, [socket, status, reset] {
                if (!socket->readAll().contains("\r\n\r\n"))
                    return;
                socket->write("HTTP/1.1 " + status +
                              "\r\nContent-Type: text/plain\r\nContent-Length: 400\r\n\r\n"
                              "Half a headline||https://x.example/cut");
                socket->flush();
                reset ? socket->abort() : socket->disconnectFromHost();
            });
        });
        ConsoleCapture console;
        LoadedNews news(url, u"1.0"_qs, &nam_);
        QSignalSpy changed(&news, &LoadedNews::changed);
        QVERIFY(QSignalSpy(&news, &LoadedNews::finished).wait(10'000));
        QCOMPARE(changed.count(), 0);
        QVERIFY(!news.headlineText() && !news.headlineURL());
        QCOMPARE(console.lines().size(), 2);
        QVERIFY(console.lines()[1].startsWith(u"Error took place "_qs));
    }

    void theSiteIsAskedOverHttps()
    {
        LoadedNews news(u"2.1.0"_qs, u"127.0.0.1:9"_qs, &nam_);
        QCOMPARE(news.requestUrl(), QUrl(u"https://127.0.0.1:9/headline?ver=2_1_0"_qs));
    }

    void onlyWebLinksOpen_data()
    {
        QTest::addColumn<QString>("link");
        QTest::addColumn<QString>("opened");
        QTest::newRow("query kept, version appended raw")
            << u"https://x.example/item?id=7"_qs << u"https://x.example/item?id=7?ver=2_1_0"_qs;
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
        QCOMPARE(isOpenableWebLink(link), !opened.isEmpty());
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
