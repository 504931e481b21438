#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QSet>
#include <QSslCertificate>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <deque>
#include <functional>
#include <memory>

class QNetworkAccessManager;
class QNetworkReply;

namespace orvel {

// How a bridge client talks to its bridge.
struct BridgeClientOptions {
    int timeoutMs = 4000;         // a request with no progress for this long is given up
    int maxInFlight = 4;          // requests to one bridge at the same time
    int maxAttempts = 4;          // tries of one request answered with HTTP 429 or 503
    double backoffSeconds = 0.25; // wait before try n+1 is n times this
};

// The answer to one request to a bridge.
struct LinkReply {
    bool ok = false; // an HTTP 2xx answer arrived; `body` holds it
    int status = 0;  // HTTP status, 0 when no answer arrived
    QByteArray body;
    QString error; // why it is not ok; the link has already printed it
};

struct LinkRequest {
    QByteArray method = QByteArrayLiteral("GET");
    QStringList path; // segments after the host, each encoded on its own: {"api", user, "lights"}
    QByteArray body;  // JSON, for PUT and POST
    QString lane;     // requests of one lane go one after another, in the order sent
    QString what;     // how messages name the request ("write of light 1"); never holds the user name
    std::function<void(const LinkReply&)> done;
};

// The connection to one bridge: finds out how to reach it, then carries requests in order per lane,
// a few at a time, with retries when the bridge says it is busy. Completions run on the main thread.
//
// Before anything else the link reads the bridge's public configuration (GET /api/config, over
// HTTPS when the bridge speaks it, else plain HTTP) to learn the bridge id. From then on an HTTPS
// connection is only used when the certificate's common name is that bridge id, so the user name
// never goes to a server that merely sits at the bridge's address.
class BridgeLink : public QObject, public std::enable_shared_from_this<BridgeLink> {
    Q_OBJECT
public:
    // The link is released with deleteLater, so that the last owner may let go of it from inside
    // one of its own completions.
    static std::shared_ptr<BridgeLink> create(const QString& host, const BridgeClientOptions& options);

    const QString& host() const { return host_; }
    // Empty until the bridge answered the first request.
    const QString& bridgeId() const { return bridgeId_; }
    const QJsonObject& publicConfig() const { return publicConfig_; }
    const QString& scheme() const { return scheme_; }

    void send(LinkRequest request);

    // Makes sure the bridge has been reached and identified; `done` gets an error text or "".
    void connectBridge(std::function<void(const QString& error)> done);

    // Requests not answered yet: sent, waiting for their turn, or waiting to be retried.
    int pendingRequests() const { return inFlight_ + static_cast<int>(waiting_.size()) + backingOff_; }
    // Of those, the ones sent and not answered yet.
    int requestsOnTheWire() const { return inFlight_; }

private:
    BridgeLink(const QString& host, const BridgeClientOptions& options);

    enum class State { Unknown, Probing, Ready, Refused, Invalid };
    struct Job {
        LinkRequest request;
        int attempt = 1;
    };

    void pump();
    void start(const std::shared_ptr<Job>& job);
    void finished(const std::shared_ptr<Job>& job, QNetworkReply* reply);
    void complete(const std::shared_ptr<Job>& job, const LinkReply& reply, bool inFlight);
    void failWaiting(const QString& error);

    void probe(int schemeIndex);
    void probeFinished(int schemeIndex, QNetworkReply* reply, const QSslCertificate& seen);
    void probeDone(const QString& error);
    void refuse(const QString& problem);
    void wakeConnectWaiters(const QString& error);

    QUrl url(const QString& scheme, const QStringList& path) const;
    bool acceptCertificate(const QSslCertificate& certificate) const;
    void watchCertificate(QNetworkReply* reply, const std::shared_ptr<bool>& refused);

    QString host_;
    QString hostName_;
    int port_ = -1;
    BridgeClientOptions options_;
    QNetworkAccessManager* nam_ = nullptr;      // only connections whose certificate was checked
    QNetworkAccessManager* probeNam_ = nullptr; // the public /api/config before the id is known

    State state_ = State::Unknown;
    QString scheme_;
    QString bridgeId_;
    QJsonObject publicConfig_;
    QString problem_;         // why the link is Refused or Invalid
    bool spokeHttps_ = false; // once the bridge was verified over HTTPS, plain HTTP is never tried

    std::deque<std::shared_ptr<Job>> waiting_;
    QSet<QString> busyLanes_;
    int inFlight_ = 0;
    int backingOff_ = 0;
    std::vector<std::function<void(const QString&)>> connectWaiters_;
};

} // namespace orvel
