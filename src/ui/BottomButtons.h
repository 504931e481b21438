#pragma once

#include "app/LoadedNews.h"
#include "controller/LightList.h"

#include <QPointer>
#include <QWidget>

class QAbstractButton;
class QToolButton;

namespace orvel {

class LaunchAtLoginToggle;

// The bottom bar of the settings window: a divider, the launch-at-login switch and a row of link
// buttons ("Setup Instructions", the news headline while there is one, "Troubleshooting", "FAQ").
// Every link carries the application's version. Links go through orvel::openWebLink, which opens
// only http(s) addresses and which tests can redirect with orvel::ScopedLinkOpener.
class BottomButtons : public QWidget {
    Q_OBJECT
public:
    // `helper` is carried for the views that may want it; the bar itself reads only the news.
    BottomButtons(LoadedNews* loadedNews, LightList* helper, QWidget* parent = nullptr);

    LaunchAtLoginToggle* launchAtLoginToggle() const { return launchAtLogin_; }
    QAbstractButton* setupInstructionsButton() const;
    QAbstractButton* headlineButton() const;
    QAbstractButton* troubleshootingButton() const;
    QAbstractButton* faqButton() const;

    // The version as links carry it, before the dots are replaced.
    static QString appVersion();

    // Reads the news again and shows what it holds now.
    void refresh();

private:
    void openSitePage(const QString& path);
    void openHeadline();

    QPointer<LoadedNews> loadedNews_;
    QPointer<LightList> helper_;
    LaunchAtLoginToggle* launchAtLogin_;
    QToolButton* setup_;
    QToolButton* headline_;
    QToolButton* troubleshooting_;
    QToolButton* faq_;
};

} // namespace orvel
