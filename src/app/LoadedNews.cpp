#include "app/LoadedNews.h"

#include "app/SiteLinks.h"
#include "platform/Console.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUtf8StringView>

namespace orvel {

namespace {
constexpr int kTimeoutMs = 60'000;

// Qt reports an HTTP error status as a reply error of its own; those answers arrived whole.
// Every other error (reset, time-out, refused, TLS, protocol) may have cut the body short.
bool onlyReportsTheStatus(QNetworkReply::NetworkError error)
{
    using E = QNetworkReply;
    return (error >= E::ContentAccessDenied && error <= E::UnknownContentError) ||
           error == E::ProtocolInvalidOperationError ||
           (error >= E::InternalServerError && error <= E::UnknownServerError);
}
} // namespace

std::optional<Headline> parseHeadline(const QByteArray& body, qsizetype* partCount)
{
    if (partCount)
        *partCount = 0;
    if (!QUtf8StringView(body).isValidUtf8())
        return std::nullopt;
    const QStringList parts = QString::fromUtf8(body).split(QStringLiteral("||"));
    if (partCount)
        *partCount = parts.size();
    if (parts.size() != 2)
        return std::nullopt;
    return Headline{parts[0].trimmed(), parts[1].trimmed()};
}

LoadedNews::LoadedNews(const QString& version, const QString& host, QNetworkAccessManager* nam,
                       QObject* parent)
    : LoadedNews(QUrl(QStringLiteral("https://") + host), version, nam, parent)
{}

LoadedNews::LoadedNews(const QUrl& baseUrl, const QString& version, QNetworkAccessManager* nam,
                       QObject* parent)
    : QObject(parent)
{
    const QString urlText = baseUrl.toString(QUrl::StripTrailingSlash) + QStringLiteral("/headline?ver=") +
                            versionForLinks(version);
    printLine(urlText);
    requestUrl_ = QUrl(urlText, QUrl::StrictMode);
    if (!requestUrl_.isValid()) {
        printLine(QStringLiteral("headline request skipped, not a valid address: ") + urlText);
        return;
    }

    if (!nam)
        nam = new QNetworkAccessManager(this);
    QNetworkRequest request(requestUrl_);
    request.setTransferTimeout(kTimeoutMs);
    // The headline must never come from a stale copy. The manager carries no cache of its own, so
    // every request reaches the site; should one be attached, PreferNetwork still revalidates
    // stale entries, and unlike AlwaysNetwork it adds no headers to the plain GET.
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::PreferNetwork);
    QNetworkReply* reply = nam->get(request);
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        reply->deleteLater();
        handleReply(reply);
        emit finished();
    });
}

LoadedNews::~LoadedNews() = default;

void LoadedNews::handleReply(QNetworkReply* reply)
{
    // An answer with an error status is read like a good one, but a network error fails the
    // request whatever status came before it: the body may end anywhere.
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const QNetworkReply::NetworkError error = reply->error();
    if (error != QNetworkReply::NoError && (!status.isValid() || !onlyReportsTheStatus(error))) {
        printLine(QStringLiteral("Error took place ") + reply->errorString());
        return;
    }
    // Qt reports one error per reply: when the error status came first, a connection lost later
    // goes unreported, and only the missing bytes tell. (A compressed body arrives unpacked, so
    // its length cannot be held against the header.)
    const QByteArray body = reply->readAll();
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && reply->rawHeader("Content-Encoding").isEmpty() &&
        body.size() != length.toLongLong()) {
        printLine(QStringLiteral("Error took place the answer ended after %1 of its %2 bytes")
                      .arg(body.size())
                      .arg(length.toLongLong()));
        return;
    }
    if (status.isValid())
        printLine(QStringLiteral("Response HTTP Status code: ") + QString::number(status.toInt()));

    qsizetype parts = 0;
    const auto headline = parseHeadline(body, &parts);
    if (!headline) {
        // A body that is not UTF-8 is dropped without a word.
        if (parts > 0)
            printLine(QStringLiteral("wrong number of components in loaded headline. Components: ") +
                      QString::number(parts));
        return;
    }
    publish(headline->text, headline->url);
}

void LoadedNews::publish(const QString& text, const QString& url)
{
    headlineText_ = text;
    headlineURL_ = url;
    emit changed();
    emit changed();
}

} // namespace orvel
