#pragma once

#include <QObject>
#include <QString>
#include <QUrl>

#include <optional>

class QNetworkAccessManager;
class QNetworkReply;

namespace orvel {

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
