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

using namespace orvel;

class TestBottomButtons : public QObject {
    Q_OBJECT

    QList<QUrl> opened_;

    // The bar across the window's 400 points.
    void showBar(BottomButtons& bar)
    {
        bar.resize(400, bar.sizeHint().height());
        bar.show();
        QVERIFY(QTest::qWaitForWindowExposed(&bar));
    }

private slots:
    void initTestCase() { QCoreApplication::setApplicationVersion(u"1.4"_qs); }
    void init() { opened_.clear(); }

    void siteLinksCarryTheVersion()
    {
        ScopedLinkOpener opener([this](const QUrl& url) { opened_.append(url); });
        BottomButtons bar(nullptr, nullptr);
        showBar(bar);
        for (QAbstractButton* button :
             {bar.setupInstructionsButton(), bar.troubleshootingButton(), bar.faqButton()})
            QTest::mouseClick(button, Qt::LeftButton);
        const QString site = u"https://"_qs + QString::fromUtf8(build::siteHost);
        QCOMPARE(opened_,
                 (QList<QUrl>{QUrl(site + u"/app-setup-instructions?ver=1_4"_qs),
                              QUrl(site + u"/troubleshooting?ver=1_4"_qs), QUrl(site + u"/faq?ver=1_4"_qs)}));
        QCOMPARE(bar.launchAtLoginToggle()->checkBox()->text(), u"Open Orvel at Login"_qs);
    }

    void theHeadlineNeedsBothPartsAndOpensItsLink_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("opens"); // empty: the button stays hidden
        QTest::newRow("complete") << QByteArray(
                                         " R&D <b>new</b> bulbs \n|| https://news.example.org/post?id=3 ")
                                  << u"https://news.example.org/post?id=3?ver=1_4"_qs;
        QTest::newRow("empty text") << QByteArray("  || https://news.example.org/post") << QString();
        QTest::newRow("empty link") << QByteArray("Big news ||   ") << QString();
        QTest::newRow("malformed") << QByteArray("Big news | https://news.example.org/post") << QString();
    }

    void theHeadlineNeedsBothPartsAndOpensItsLink()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, opens);
        ScopedLinkOpener opener([this](const QUrl& url) { opened_.append(url); });
        auto* network = new test::CannedNetwork(body);
        LoadedNews news(u"1.4"_qs, u"news.invalid"_qs, network);
        network->setParent(&news);
        QSignalSpy finished(&news, &LoadedNews::finished);
        BottomButtons bar(&news, nullptr);
        QAbstractButton* headline = bar.headlineButton();
        QVERIFY(headline->isHidden());
        showBar(bar);
        QTRY_COMPARE(finished.count(), 1);
        QCOMPARE(headline->isHidden(), opens.isEmpty());
        if (opens.isEmpty())
            return;
        QCoreApplication::processEvents();
        // Between "Setup Instructions" and "Troubleshooting", all four inside the bar.
        const QList<QAbstractButton*> row{bar.setupInstructionsButton(), headline,
                                          bar.troubleshootingButton(), bar.faqButton()};
        for (int i = 0; i < row.size(); ++i) {
            QVERIFY(row[i]->geometry().left() >= 0 && row[i]->geometry().right() < bar.width());
            QVERIFY(i == 0 || row[i - 1]->geometry().right() < row[i]->geometry().left());
        }
        QVERIFY(headline->shortcut().isEmpty()); // received text is never a shortcut
        QTest::mouseClick(headline, Qt::LeftButton);
        QCOMPARE(opened_, QList<QUrl>{QUrl(opens)});
    }
};

ORVEL_TEST_MAIN(TestBottomButtons)
#include "tst_BottomButtons.moc"
