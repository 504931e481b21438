#include "CannedNetwork.h"
#include "support/TestMain.h"

#include "app/BuildInfo.h"
#include "app/LaunchAtLogin.h"
#include "app/LoadedNews.h"
#include "app/SiteLinks.h"
#include "platform/Console.h"
#include "ui/BottomButtons.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QSignalSpy>
#include <QTest>

#include <memory>

using namespace orvel;

namespace {

// News as it stands once the site answered `body`.
std::unique_ptr<LoadedNews> newsFrom(const QByteArray& body)
{
    auto* network = new test::CannedNetwork(body);
    auto news = std::make_unique<LoadedNews>(QStringLiteral("1.4"), QStringLiteral("news.invalid"), network);
    network->setParent(news.get());
    QSignalSpy finished(news.get(), &LoadedNews::finished);
    if (!finished.wait(5000))
        qWarning("the canned answer never arrived");
    return news;
}

QString site(const QString& pathAndQuery)
{
    return QStringLiteral("https://") + QString::fromUtf8(build::siteHost) + pathAndQuery;
}

// The window is 400 points wide; the bar gets all of it.
void showBar(BottomButtons& bar)
{
    bar.resize(400, bar.sizeHint().height());
    bar.show();
    if (!QTest::qWaitForWindowExposed(&bar))
        qWarning("bar not exposed");
}

} // namespace

class TestBottomButtons : public QObject {
    Q_OBJECT

    QList<QUrl> opened_;
    std::unique_ptr<ScopedLinkOpener> opener_;

private slots:
    void init()
    {
        opened_.clear();
        opener_ = std::make_unique<ScopedLinkOpener>([this](const QUrl& url) { opened_.append(url); });
        QCoreApplication::setApplicationVersion(QStringLiteral("1.4"));
    }
    void cleanup()
    {
        opener_.reset();
        QCoreApplication::setApplicationVersion(QString());
    }

    void siteLinksCarryTheVersion()
    {
        BottomButtons bar(nullptr, nullptr);
        showBar(bar);
        QTest::mouseClick(bar.setupInstructionsButton(), Qt::LeftButton);
        QTest::mouseClick(bar.troubleshootingButton(), Qt::LeftButton);
        QTest::mouseClick(bar.faqButton(), Qt::LeftButton);
        QCOMPARE(opened_, (QList<QUrl>{QUrl(site(QStringLiteral("/app-setup-instructions?ver=1_4"))),
                                       QUrl(site(QStringLiteral("/troubleshooting?ver=1_4"))),
                                       QUrl(site(QStringLiteral("/faq?ver=1_4")))}));
        QCOMPARE(bar.launchAtLoginToggle()->checkBox()->text(), QStringLiteral("Open Orvel at Login"));
    }

    void headlineButtonNeedsACompleteHeadline_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("shown");
        QTest::newRow("complete") << QByteArray(" Big news \n|| https://news.example.org/post ") << true;
        QTest::newRow("empty text") << QByteArray("  || https://news.example.org/post") << false;
        QTest::newRow("empty link") << QByteArray("Big news ||   ") << false;
        QTest::newRow("both empty") << QByteArray("||") << false;
        QTest::newRow("malformed") << QByteArray("Big news | https://news.example.org/post") << false;
    }

    void headlineButtonNeedsACompleteHeadline()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, shown);
        BottomButtons bar(nullptr, nullptr);
        QVERIFY(bar.headlineButton()->isHidden());

        auto news = newsFrom(body);
        BottomButtons withNews(news.get(), nullptr);
        QCOMPARE(!withNews.headlineButton()->isHidden(), shown);
    }

    void headlineArrivingLaterShowsTheButtonInItsPlace()
    {
        auto* network =
            new test::CannedNetwork("R&D weekly: <b>new</b> bulbs || https://news.example.org/post?id=3");
        LoadedNews news(QStringLiteral("1.4"), QStringLiteral("news.invalid"), network);
        network->setParent(&news);
        QSignalSpy finished(&news, &LoadedNews::finished);
        BottomButtons bar(&news, nullptr);
        QVERIFY(bar.headlineButton()->isHidden());

        showBar(bar);
        QVERIFY(finished.count() == 1 || finished.wait(5000));
        QAbstractButton* headline = bar.headlineButton();
        QVERIFY(!headline->isHidden());
        QCoreApplication::processEvents();

        // Between "Setup Instructions" and "Troubleshooting", all four inside the bar.
        QList<QAbstractButton*> row{bar.setupInstructionsButton(), headline, bar.troubleshootingButton(),
                                    bar.faqButton()};
        for (int i = 0; i < row.size(); ++i) {
            QVERIFY(row[i]->geometry().left() >= 0 && row[i]->geometry().right() < bar.width());
            if (i > 0)
                QVERIFY(row[i - 1]->geometry().right() < row[i]->geometry().left());
        }
        // Received text is never a shortcut or markup.
        QVERIFY(headline->shortcut().isEmpty());

        // The link exactly as received, then the version query.
        QTest::mouseClick(headline, Qt::LeftButton);
        QCOMPARE(opened_, QList<QUrl>{QUrl(QStringLiteral("https://news.example.org/post?id=3?ver=1_4"))});
    }

    void headlineLinkThatIsNotAWebAddressOpensNothing_data()
    {
        QTest::addColumn<QByteArray>("link");
        QTest::newRow("script") << QByteArray("javascript:alert(1)");
        QTest::newRow("file") << QByteArray("file:///etc/passwd");
        QTest::newRow("no scheme") << QByteArray("news.example.org/post");
    }

    void headlineLinkThatIsNotAWebAddressOpensNothing()
    {
        QFETCH(QByteArray, link);
        auto news = newsFrom("Click me || " + link);
        BottomButtons bar(news.get(), nullptr);
        showBar(bar);
        QVERIFY(!bar.headlineButton()->isHidden());

        ConsoleCapture console;
        QTest::mouseClick(bar.headlineButton(), Qt::LeftButton);
        QVERIFY(opened_.isEmpty());
        QCOMPARE(console.lines().size(), 1);
        QVERIFY(console.lines().first().contains(QString::fromUtf8(link)));
    }
};

ORVEL_TEST_MAIN(TestBottomButtons)
#include "tst_BottomButtons.moc"
