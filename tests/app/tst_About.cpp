#include "app/AboutWindow.h"
#include "app/BuildInfo.h"
#include "platform/Preferences.h"
#include "support/TestMain.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QScrollBar>
#include <QTemporaryDir>

using namespace orvel;

class AboutTest : public QObject {
    Q_OBJECT

    QString file(const QString& name, const QByteArray& bytes)
    {
        QFile out(tmp_.filePath(name));
        if (out.open(QIODevice::WriteOnly))
            out.write(bytes);
        return out.fileName();
    }
    QTemporaryDir tmp_;

private slots:
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

    void windowShowsReleaseAndSite()
    {
        QByteArray longText;
        for (int i = 0; i < 400; ++i)
            longText += "Fixed thing number " + QByteArray::number(i) + "\n";
        QScopedPointer<QWidget> window(showAbout(u"2.1.0"_qs, u"42"_qs, file(u"long.txt"_qs, longText)));
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        QCOMPARE(window->windowTitle(), u"About Orvel"_qs);
        QCOMPARE(window->size(), QSize(300, 500));

        QCOMPARE(window->findChild<QLabel*>(u"version"_qs)->text(), u"Version: 2.1.0"_qs);
        QCOMPARE(window->findChild<QLabel*>(u"build"_qs)->text(), u"Build: 42"_qs);
        QCOMPARE(window->findChild<QLabel*>(u"site"_qs)->text(),
                 u"https://"_qs + QString::fromUtf8(build::siteHost));
        QVERIFY(!window->findChild<QLabel*>(u"logo"_qs)->pixmap().isNull());

        // A long changelog scrolls inside its area; the area and the lines below it stay in the window.
        const auto* text = window->findChild<QPlainTextEdit*>(u"changelog"_qs);
        QVERIFY(text->verticalScrollBar()->maximum() > 0);
        QVERIFY(window->rect().contains(QRect(text->mapTo(window.get(), QPoint()), text->size())));
        const auto* site = window->findChild<QLabel*>(u"site"_qs);
        QVERIFY(window->rect().contains(QRect(site->mapTo(window.get(), QPoint()), site->size())));
    }

    void everyCallOpensItsOwnWindowAndRecordsIt()
    {
        Preferences::standard().remove(u"has_shown_about"_qs);
        // The shipped changelog by default.
        QPointer<QWidget> first = showAbout(u"1.0.0"_qs, u"1"_qs);
        const QString shipped = first->findChild<QPlainTextEdit*>(u"changelog"_qs)->toPlainText();
        QVERIFY(!shipped.isEmpty() && shipped != QLatin1String(kChangelogMissing) &&
                shipped != QLatin1String(kChangelogUnreadable));
        QPointer<QWidget> second = showAbout(u"1.0.0"_qs, u"1"_qs);
        QVERIFY(Preferences::standard().boolean(u"has_shown_about"_qs).valueOr(false));
        QVERIFY(first && second && first != second && first->isVisible() && second->isVisible());
        first->close();
        QTRY_VERIFY(!first);
        delete second;
    }
};

ORVEL_TEST_MAIN(AboutTest)
#include "tst_About.moc"
