#pragma once

#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QUrl>

namespace orvel::test {

// Answers every request with `body`, without touching any network: the request is turned into a
// data: address, which the manager answers from memory.
class CannedNetwork : public QNetworkAccessManager {
public:
    explicit CannedNetwork(QByteArray body, QObject* parent = nullptr)
        : QNetworkAccessManager(parent)
        , body_(std::move(body))
    {}

protected:
    QNetworkReply* createRequest(Operation operation, const QNetworkRequest&, QIODevice* data) override
    {
        const QUrl canned(QStringLiteral("data:text/plain;base64,") + QString::fromLatin1(body_.toBase64()));
        return QNetworkAccessManager::createRequest(operation, QNetworkRequest(canned), data);
    }

private:
    QByteArray body_;
};

} // namespace orvel::test
