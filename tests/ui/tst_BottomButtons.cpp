#include "CannedNetwork.h"
#include "support/TestMain.h"

#include "app/BuildInfo.h"
#include "app/LaunchAtLogin.h"
#include "app/LoadedNews.h"
#include "app/SiteLinks.h"
#include "ui/BottomButtons.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QSignalSpy>
#include <QTest>

#include <memory>

using namespace orvel;

namespace {

// News from a site that answers `body`; the answer arrives once the event loop runs.
std::unique_ptr<LoadedNews> newsFrom(const QByteArray& body)
{
    auto* network = new test::CannedNetwork(body);
    auto news = std::make_unique<LoadedNews>(u"1.4"_qs, u"news.invalid"_qs, network);
    network->setParent(news.get());
    return news;
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
        QCoreApplication::setApplicationVersion(u"1.4"_qs);
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
        const QString site = u"https://"_qs + QString::fromUtf8(build::siteHost);
        QCOMPARE(opened_,
                 (QList<QUrl>{QUrl(site + u"/app-setup-instructions?ver=1_4"_qs),
                              QUrl(site + u"/troubleshooting?ver=1_4"_qs), QUrl(site + u"/faq?ver=1_4"_qs)}));
        QCOMPARE(bar.launchAtLoginToggle()->checkBox()->text(), u"Open Orvel at Login"_qs);
    }

    void headlineButtonNeedsACompleteHeadline_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("shown");
        QTest::newRow("complete") << QByteArray(" Big news \n|| https://news.example.org/post ") << true;
        QTest::newRow("empty text") << QByteArray("  || https://news.example.org/post") << false;
        QTest::newRow("empty link") << QByteArray("Big news ||   ") << false;
        QTest::newRow("malformed") << QByteArray("Big news | https://news.example.org/post") << false;
    }

    void headlineButtonNeedsACompleteHeadline()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, shown);
        auto news = newsFrom(body);
        QSignalSpy finished(news.get(), &LoadedNews::finished);
        BottomButtons bar(news.get(), nullptr);
        QVERIFY(bar.headlineButton()->isHidden());
        QTRY_COMPARE(finished.count(), 1);
        QCOMPARE(!bar.headlineButton()->isHidden(), shown);
    }

    void theHeadlineSitsInTheRowAndOpensItsLink()
    {
        auto news = newsFrom("R&D weekly: <b>new</b> bulbs || https://news.example.org/post?id=3");
        BottomButtons bar(news.get(), nullptr);
        showBar(bar);
        QAbstractButton* headline = bar.headlineButton();
        QTRY_VERIFY(!headline->isHidden());
        QCoreApplication::processEvents();

        // Between "Setup Instructions" and "Troubleshooting", all four inside the bar.
        QList<QAbstractButton*> row{bar.setupInstructionsButton(), headline, bar.troubleshootingButton(),
                                    bar.faqButton()};
        for (int i = 0; i < row.size(); ++i) {
            QVERIFY(row[i]->geometry().left() >= 0 && row[i]->geometry().right() < bar.width());
            if (i > 0)
                QVERIFY(row[i - 1]->geometry().right() < row[i]->geometry().left());
        }
        // Received text is never a shortcut.
        QVERIFY(headline->shortcut().isEmpty());

        // The link exactly as received, then the version query.
        QTest::mouseClick(headline, Qt::LeftButton);
        QCOMPARE(opened_, QList<QUrl>{QUrl(u"https://news.example.org/post?id=3?ver=1_4"_qs)});
    }
};

ORVEL_TEST_MAIN(TestBottomButtons)
#include "tst_BottomButtons.moc"
