#include "app/LoadedNews.h"
#include "app/SiteLinks.h"
#include "platform/Console.h"
#include "support/TestMain.h"

#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponse>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>

#include <optional>

using namespace orvel;
using OptText = std::optional<QString>;

class HeadlineTest : public QObject {
    Q_OBJECT

    QUrl base() const { return QUrl(u"http://127.0.0.1:%1"_qs.arg(port_)); }

    QHttpServer server_;
    QNetworkAccessManager nam_;
    quint16 port_ = 0;
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
        port_ = server_.listen(QHostAddress::LocalHost);
        QVERIFY(port_ != 0);
    }

    void answers_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("complaint"); // printed after the status line
        QTest::addColumn<OptText>("text");
        QTest::addColumn<OptText>("url");

        const QString wrong = u"wrong number of components in loaded headline. Components: %1"_qs;
        const OptText none;
        QTest::newRow("padding trimmed")
            << 200 << QByteArray("\n  New  lights \t\r\n||\n  https://x.example \n") << QString()
            << OptText(u"New  lights"_qs) << OptText(u"https://x.example"_qs);
        QTest::newRow("error status, good body")
            << 500 << QByteArray("Back soon||https://x.example") << QString() << OptText(u"Back soon"_qs)
            << OptText(u"https://x.example"_qs);
        QTest::newRow("empty body") << 200 << QByteArray() << wrong.arg(1) << none << none;
        QTest::newRow("three separators") << 404 << QByteArray("a||b||c||d") << wrong.arg(4) << none << none;
        QTest::newRow("not UTF-8") << 200 << QByteArray("caf\xe9||https://x.example") << QString() << none
                                   << none;
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
        LoadedNews news(base(), u"1.10.3"_qs, &nam_);
        // Both fields are in place whenever an observer looks.
        QList<std::pair<OptText, OptText>> observed;
        connect(&news, &LoadedNews::changed, this, [&] {
            observed.append({news.headlineText(), news.headlineURL()});
        });
        QVERIFY(QSignalSpy(&news, &LoadedNews::finished).wait(10'000));

        QCOMPARE(seen_, (QStringList{u"GET"_qs, u"ver=1_10_3"_qs, QString()}));
        QStringList lines{base().toString() + u"/headline?ver=1_10_3"_qs,
                          u"Response HTTP Status code: %1"_qs.arg(status)};
        if (!complaint.isEmpty())
            lines << complaint;
        QCOMPARE(console.lines(), lines);
        QCOMPARE(news.headlineText(), text);
        QCOMPARE(news.headlineURL(), url);
        QCOMPARE(observed.size(), text ? 2 : 0);
        for (const auto& seen : observed)
            QVERIFY(seen == std::pair(text, url));
    }

    void transportFailuresPublishNothing()
    {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const QUrl refusing(u"http://127.0.0.1:%1"_qs.arg(closed.serverPort()));
        closed.close();
        body_ = "a||b";

        ConsoleCapture console;
        LoadedNews refused(refusing, u"1.0"_qs, &nam_);
        QVERIFY(QSignalSpy(&refused, &LoadedNews::finished).wait(10'000));
        // The production form asks over https; the loopback server speaks no TLS.
        LoadedNews https(u"2.1.0"_qs, u"127.0.0.1:%1"_qs.arg(port_), &nam_);
        QCOMPARE(https.requestUrl(), QUrl(u"https://127.0.0.1:%1/headline?ver=2_1_0"_qs.arg(port_)));
        QVERIFY(QSignalSpy(&https, &LoadedNews::finished).wait(10'000));

        QCOMPARE(console.lines().size(), 4);
        QVERIFY(console.lines()[1].startsWith(u"Error took place "_qs));
        QVERIFY(console.lines()[3].startsWith(u"Error took place "_qs));
        QVERIFY(!https.headlineText() && !https.headlineURL());
    }

    // The status and part of the body arrive, then the connection dies: nothing is published,
    // whatever the status said.
    void answersCutShortPublishNothing_data()
    {
        QTest::addColumn<QByteArray>("status");
        QTest::addColumn<bool>("reset");
        QTest::newRow("200, reset") << QByteArray("200 OK") << true;
        QTest::newRow("200, closed") << QByteArray("200 OK") << false;
        QTest::newRow("503, reset") << QByteArray("503 Service Unavailable") << true;
    }

    void answersCutShortPublishNothing()
    {
        QFETCH(QByteArray, status);
        QFETCH(bool, reset);
        QTcpServer cutting;
        QVERIFY(cutting.listen(QHostAddress::LocalHost));
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
        LoadedNews news(QUrl(u"http://127.0.0.1:%1"_qs.arg(cutting.serverPort())), u"1.0"_qs, &nam_);
        QSignalSpy changed(&news, &LoadedNews::changed);
        QVERIFY(QSignalSpy(&news, &LoadedNews::finished).wait(10'000));
        QCOMPARE(changed.count(), 0);
        QVERIFY(!news.headlineText() && !news.headlineURL());
        QCOMPARE(console.lines().size(), 2);
        QVERIFY(console.lines()[1].startsWith(u"Error took place "_qs));
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

ORVEL_TEST_MAIN(HeadlineTest)
#include "tst_Headline.moc"
