#pragma once

#include <QNetworkAccessManager>
#include <QNetworkReply>

#include <cstring>

namespace orvel::test {

// A reply that answers at once, from memory, with status 200 and a fixed body.
class CannedReply : public QNetworkReply {
public:
    CannedReply(const QNetworkRequest& request, QByteArray body, QObject* parent)
        : QNetworkReply(parent)
        , body_(std::move(body))
    {
        setRequest(request);
        setUrl(request.url());
        setOperation(QNetworkAccessManager::GetOperation);
        setAttribute(QNetworkRequest::HttpStatusCodeAttribute, 200);
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
        QMetaObject::invokeMethod(
            this,
            [this] {
                emit readyRead();
                setFinished(true);
                emit finished();
            },
            Qt::QueuedConnection);
    }

    void abort() override {}
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return body_.size() - offset_ + QIODevice::bytesAvailable(); }

protected:
    qint64 readData(char* data, qint64 maxSize) override
    {
        const qint64 n = std::min<qint64>(maxSize, body_.size() - offset_);
        if (n <= 0)
            return -1;
        std::memcpy(data, body_.constData() + offset_, static_cast<size_t>(n));
        offset_ += n;
        return n;
    }

private:
    QByteArray body_;
    qint64 offset_ = 0;
};

// Answers every request with `body`, without touching any network.
class CannedNetwork : public QNetworkAccessManager {
public:
    explicit CannedNetwork(QByteArray body, QObject* parent = nullptr)
        : QNetworkAccessManager(parent)
        , body_(std::move(body))
    {}

protected:
    QNetworkReply* createRequest(Operation, const QNetworkRequest& request, QIODevice*) override
    {
        return new CannedReply(request, body_, this);
    }

private:
    QByteArray body_;
};

} // namespace orvel::test
