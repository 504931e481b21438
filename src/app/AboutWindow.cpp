#include "app/AboutWindow.h"

#include "app/SiteLinks.h"
#include "platform/Preferences.h"

#include <QCoreApplication>
#include <QFile>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPointer>
#include <QScreen>
#include <QStringConverter>
#include <QStringDecoder>
#include <QVBoxLayout>

#include <mutex>

// The resource initialiser lives at global scope, outside any namespace; calling it also makes the
// linker keep the compiled resources of this static library.
static void initAppResourcesOnce()
{
    Q_INIT_RESOURCE(appresources);
}

namespace orvel {

namespace {

constexpr int kMinWidth = 300;
constexpr int kMaxHeight = 600;

QFrame* divider(QWidget* parent)
{
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

QLabel* plainLabel(const QString& text, QWidget* parent)
{
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    label->setAlignment(Qt::AlignHCenter);
    return label;
}

} // namespace

void initAppResources()
{
    static std::once_flag once;
    std::call_once(once, initAppResourcesOnce);
}

QString loadChangelog(const QString& path)
{
    initAppResources();
    QFile file(path);
    if (!file.exists())
        return QString::fromLatin1(kChangelogMissing);
    if (!file.open(QIODevice::ReadOnly))
        return QString::fromLatin1(kChangelogUnreadable);
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return QString::fromLatin1(kChangelogUnreadable);

    const auto encoding = QStringConverter::encodingForData(bytes).value_or(QStringConverter::Utf8);
    // Stateless: a sequence cut off at the end of the file is an error, not input still to come.
    QStringDecoder decode(encoding, QStringConverter::Flag::Stateless);
    QString text = decode(bytes);
    // Qt's UTF-32 decoder can leave broken surrogate pairs without reporting an error.
    if (decode.hasError() || !QStringView(text).isValidUtf16())
        return QString::fromLatin1(kChangelogUnreadable);
    return text;
}

AboutContentView::AboutContentView(std::optional<QString> version, std::optional<QString> build,
                                   std::optional<QString> changelog, QWidget* parent)
    : QWidget(parent)
    , version_(std::move(version))
    , build_(std::move(build))
    , changelog_(std::move(changelog))
{
    initAppResources();
    setObjectName(QStringLiteral("AboutContentView"));
    // The changelog takes the width the stack leaves it, so that a window of the minimum width still
    // shows its scroll bar.
    setMinimumWidth(kMinWidth);
    setMaximumHeight(kMaxHeight);

    auto* stack = new QVBoxLayout(this);
    stack->setAlignment(Qt::AlignHCenter);

    auto* logo = new QLabel(this);
    logo->setObjectName(QStringLiteral("logo"));
    logo->setPixmap(QPixmap(QStringLiteral(":/Logo.png")));
    logo->setAlignment(Qt::AlignHCenter);
    stack->addWidget(logo);
    stack->addWidget(divider(this));

    auto* changelogText = new QPlainTextEdit(this);
    changelogText->setObjectName(QStringLiteral("changelog"));
    changelogText->setReadOnly(true);
    changelogText->setPlainText(changelog_.value_or(QString()));
    changelogText->setFrameShape(QFrame::NoFrame);
    changelogText->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    changelogText->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    changelogText->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    changelogText->setMaximumHeight(kMaxHeight);
    stack->addWidget(changelogText, 1);
    stack->addWidget(divider(this));

    auto* versionLines = new QVBoxLayout;
    versionLines->setAlignment(Qt::AlignHCenter);
    QLabel* versionLabel = plainLabel(QStringLiteral("Version: ") + version_.value_or(QString()), this);
    versionLabel->setObjectName(QStringLiteral("version"));
    QLabel* buildLabel = plainLabel(QStringLiteral("Build: ") + build_.value_or(QString()), this);
    buildLabel->setObjectName(QStringLiteral("build"));
    versionLines->addWidget(versionLabel);
    versionLines->addWidget(buildLabel);
    stack->addLayout(versionLines);
    stack->addWidget(divider(this));

    QLabel* site = plainLabel(siteUrl(QString()), this);
    site->setObjectName(QStringLiteral("site"));
    stack->addWidget(site);
}

QWidget* showAbout(const QString& version, const QString& build, const QString& changelogPath)
{
    auto* window = new QWidget(nullptr, Qt::Window);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setWindowTitle(QStringLiteral("About Orvel"));

    auto* layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(new AboutContentView(version, build, loadChangelog(changelogPath), window));

    window->resize(kMinWidth, 500);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame(QPoint(0, 0), window->size());
        frame.moveCenter(screen->availableGeometry().center());
        window->move(frame.topLeft());
    }
    window->show();
    // Closing deletes the window, but one still open at quit would outlive the application.
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, qApp,
                     [open = QPointer<QWidget>(window)] { delete open; });

    Preferences::standard().setBool(QString::fromLatin1(kHasShownAbout), true);
    return window;
}

} // namespace orvel
