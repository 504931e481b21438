#include "app/SiteLinks.h"

#include "app/BuildInfo.h"
#include "platform/Console.h"

#include <QDesktopServices>

#include <utility>

namespace orvel {

namespace {

std::function<void(const QUrl&)>& currentOpener()
{
    static std::function<void(const QUrl&)> opener;
    return opener;
}

} // namespace

QString versionForLinks(const QString& version)
{
    QString form = version;
    form.replace(QLatin1Char('.'), QLatin1Char('_'));
    return form;
}

QString siteUrl(const QString& path)
{
    return QStringLiteral("https://") + QString::fromUtf8(build::siteHost) + path;
}

QUrl linkWithVersion(const QString& base, const QString& version)
{
    return QUrl(base + QStringLiteral("?ver=") + versionForLinks(version));
}

bool isOpenableWebLink(const QUrl& link)
{
    if (!link.isValid() || link.isRelative())
        return false;
    const QString scheme = link.scheme();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        return false;
    return !link.host().isEmpty();
}

bool openWebLink(const QUrl& link)
{
    if (!isOpenableWebLink(link)) {
        printLine(QStringLiteral("not opening link, it is not an http(s) address: ") +
                  link.toDisplayString());
        return false;
    }
    if (const auto& opener = currentOpener())
        opener(link);
    else
        QDesktopServices::openUrl(link);
    return true;
}

bool openHeadlineLink(const QString& headlineURL, const QString& version)
{
    return openWebLink(linkWithVersion(headlineURL, version));
}

ScopedLinkOpener::ScopedLinkOpener(std::function<void(const QUrl&)> opener)
    : previous_(std::exchange(currentOpener(), std::move(opener)))
{}

ScopedLinkOpener::~ScopedLinkOpener()
{
    currentOpener() = std::move(previous_);
}

} // namespace orvel
