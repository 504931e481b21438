#pragma once

#include <QNetworkAccessManager>
#include <QNetworkRequest>

namespace orvel::test {

// Answers every request with `body`, without touching any network: the request is turned into a
// data: address, which the manager answers from memory.
class CannedNetwork : public QNetworkAccessManager {
public:
    explicit CannedNetwork(QByteArray body)
        : body_(std::move(body))
    {}

protected:
    QNetworkReply* createRequest(Operation operation, const QNetworkRequest&, QIODevice* data) override
    {
        const QUrl canned(u"data:text/plain;base64,"_qs + QString::fromLatin1(body_.toBase64()));
        return QNetworkAccessManager::createRequest(operation, QNetworkRequest(canned), data);
    }

private:
    QByteArray body_;
};

} // namespace orvel::test
