#pragma once

#include <QObject>
#include <QString>
#include <QUrl>

#include <optional>

class QNetworkAccessManager;
class QNetworkReply;

namespace orvel {

// A headline answer's body read on its own: "headline || link", both parts trimmed. Nothing
// when the body is not UTF-8 or does not hold exactly one "||"; `parts` then tells how many
// parts it had (0 when it is not UTF-8).
struct Headline {
    QString text;
    QString url;
};
std::optional<Headline> parseHeadline(const QByteArray& body, qsizetype* parts = nullptr);

// The news headline of the product web site. Construction sends the one request of the run; a
// well-formed answer ("headline || link") publishes both fields, anything else leaves them
// absent for good. Failures are reported on standard output only.
class LoadedNews : public QObject {
    Q_OBJECT
public:
    // Asks "https://<host>/headline?ver=<version>". Without a manager one of its own is made.
    LoadedNews(const QString& version, const QString& host, QNetworkAccessManager* nam = nullptr,
               QObject* parent = nullptr);
    // The same request against another origin (tests serve plain http on the loopback address).
    LoadedNews(const QUrl& baseUrl, const QString& version, QNetworkAccessManager* nam = nullptr,
               QObject* parent = nullptr);
    ~LoadedNews() override;

    const std::optional<QString>& headlineText() const { return headlineText_; }
    const std::optional<QString>& headlineURL() const { return headlineURL_; }

    // The address asked, as printed at construction.
    QUrl requestUrl() const { return requestUrl_; }

signals:
    // One emission per published field that is assigned. Both fields are stored before the
    // first emission, so an observer never sees a headline without its link.
    void changed();
    // The answer has been handled, whatever came of it.
    void finished();

private:
    void handleReply(QNetworkReply* reply);
    void publish(const QString& text, const QString& url);

    std::optional<QString> headlineText_;
    std::optional<QString> headlineURL_;
    QUrl requestUrl_;
};

} // namespace orvel
