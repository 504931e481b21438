#include "ui/BottomButtons.h"

#include "app/BuildInfo.h"
#include "app/LaunchAtLogin.h"
#include "app/LoadedNews.h"
#include "app/SiteLinks.h"
#include "controller/LightList.h"
#include "ui/ViewParts.h"

#include <QCoreApplication>
#include <QFrame>
#include <QHBoxLayout>
#include <QTextDocument>
#include <QToolButton>
#include <QVBoxLayout>

namespace orvel {

namespace {

// The headline comes from the network and may be any length: the button asks for the width of
// the whole text but makes do with what the row has left, ending the text with "…". It is never
// interpreted: no markup, and "&" shows as written instead of marking a shortcut.
class HeadlineButton : public QToolButton {
public:
    explicit HeadlineButton(QWidget* parent)
        : QToolButton(parent)
    {
        setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
        setStyleSheet(QStringLiteral("QToolButton {"
                                     " background-color: palette(highlight);"
                                     " color: palette(highlighted-text);"
                                     " border: none; border-radius: 5px;"
                                     " padding: %1px %2px; }"
                                     "QToolButton:pressed { background-color: palette(dark); }")
                          .arg(kVerticalPadding)
                          .arg(kHorizontalPadding));
    }

    void setFullText(const QString& text)
    {
        if (text == full_)
            return;
        full_ = text;
        setToolTip(Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal));
        updateGeometry();
        showElided();
    }
    const QString& fullText() const { return full_; }

    QSize sizeHint() const override
    {
        return {fontMetrics().horizontalAdvance(full_) + 2 * kHorizontalPadding + 2, rowHeight()};
    }
    QSize minimumSizeHint() const override
    {
        const int shortest = fontMetrics().horizontalAdvance(full_.left(3) + QChar(0x2026));
        return {std::min(shortest, fontMetrics().horizontalAdvance(full_)) + 2 * kHorizontalPadding + 2,
                rowHeight()};
    }

protected:
    void resizeEvent(QResizeEvent* event) override
    {
        QToolButton::resizeEvent(event);
        showElided();
    }

private:
    static constexpr int kHorizontalPadding = 8;
    static constexpr int kVerticalPadding = 3;

    int rowHeight() const { return fontMetrics().height() + 2 * kVerticalPadding + 4; }

    void showElided()
    {
        const int room = width() - 2 * kHorizontalPadding - 2;
        setText(ui::escapeMnemonics(fontMetrics().elidedText(full_, Qt::ElideRight, room)));
    }

    QString full_;
};

QToolButton* makeLinkButton(const QString& text, const QString& objectName, QWidget* parent)
{
    auto* button = new QToolButton(parent);
    button->setObjectName(objectName);
    button->setText(text);
    button->setToolButtonStyle(Qt::ToolButtonTextOnly);
    return button;
}

} // namespace

BottomButtons::BottomButtons(LoadedNews* loadedNews, LightList* helper, QWidget* parent)
    : QWidget(parent)
    , loadedNews_(loadedNews)
    , helper_(helper)
{
    setObjectName(QStringLiteral("bottomButtons"));
    const int pad = ui::defaultPadding(this);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, pad);

    column->addWidget(ui::makeDivider(this, QStringLiteral("bottomDivider")));

    launchAtLogin_ = new LaunchAtLoginToggle(tr("Open Orvel at Login"), this);
    launchAtLogin_->setObjectName(QStringLiteral("launchAtLoginToggle"));
    auto* toggleRow = new QHBoxLayout;
    toggleRow->setContentsMargins(pad, 0, pad, 0);
    toggleRow->addWidget(launchAtLogin_, 0, Qt::AlignHCenter);
    column->addLayout(toggleRow);

    setup_ = makeLinkButton(tr("Setup Instructions"), QStringLiteral("setupInstructionsButton"), this);
    auto* headline = new HeadlineButton(this);
    headline->setObjectName(QStringLiteral("headlineButton"));
    headline_ = headline;
    troubleshooting_ = makeLinkButton(tr("Troubleshooting"), QStringLiteral("troubleshootingButton"), this);
    faq_ = makeLinkButton(tr("FAQ"), QStringLiteral("faqButton"), this);

    // Four buttons share 400 points: the row keeps its gaps small to leave the headline room.
    auto* links = new QHBoxLayout;
    links->setContentsMargins(pad / 2, 0, pad / 2, 0);
    links->setSpacing(pad / 2);
    links->addStretch(0);
    for (QToolButton* button : {setup_, headline_, troubleshooting_, faq_})
        links->addWidget(button);
    links->addStretch(0);
    column->addLayout(links);

    connect(setup_, &QToolButton::clicked, this,
            [this] { openSitePage(QStringLiteral("/app-setup-instructions")); });
    connect(troubleshooting_, &QToolButton::clicked, this,
            [this] { openSitePage(QStringLiteral("/troubleshooting")); });
    connect(faq_, &QToolButton::clicked, this, [this] { openSitePage(QStringLiteral("/faq")); });
    connect(headline_, &QToolButton::clicked, this, &BottomButtons::openHeadline);

    if (loadedNews_)
        connect(loadedNews_, &LoadedNews::changed, this, &BottomButtons::refresh);
    refresh();
}

QAbstractButton* BottomButtons::setupInstructionsButton() const
{
    return setup_;
}
QAbstractButton* BottomButtons::headlineButton() const
{
    return headline_;
}
QAbstractButton* BottomButtons::troubleshootingButton() const
{
    return troubleshooting_;
}
QAbstractButton* BottomButtons::faqButton() const
{
    return faq_;
}

QString BottomButtons::appVersion()
{
    const QString version = QCoreApplication::applicationVersion();
    return version.isEmpty() ? QString::fromUtf8(build::version) : version;
}

void BottomButtons::refresh()
{
    std::optional<QString> text;
    std::optional<QString> url;
    if (loadedNews_) {
        text = loadedNews_->headlineText();
        url = loadedNews_->headlineURL();
    }
    // A headline without its link (or an empty one) would be a button that goes nowhere.
    const bool shown = text && !text->isEmpty() && url && !url->isEmpty();
    static_cast<HeadlineButton*>(headline_)->setFullText(shown ? *text : QString());
    headline_->setVisible(shown);
}

void BottomButtons::openSitePage(const QString& path)
{
    openWebLink(linkWithVersion(siteUrl(path), appVersion()));
}

void BottomButtons::openHeadline()
{
    if (!loadedNews_ || !loadedNews_->headlineURL())
        return;
    // The link is the network's word: openWebLink hands only a web address to the browser.
    openHeadlineLink(*loadedNews_->headlineURL(), appVersion());
}

} // namespace orvel
