#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QMetaType>
#include <QObject>
#include <QSslCertificate>
#include <QString>
#include <QUrl>

#include <memory>

namespace orvel::sim {

// One request as the simulated bridge received it. Requests to the simulator's own /sim/ paths
// are not recorded.
struct RecordedRequest {
    QString method;
    QString path;
    QByteArray body;
    double time = 0;  // seconds since the simulator started, on orvel::MainQueue::shared()'s clock
    int status = 200; // HTTP status of the answer (429/503 when rate limited, 0 when silent)
    QString fault;    // the fault injected into this answer ("garbage", ...); empty when none
};

// Ways a misbehaving bridge or network fails, injected at random into answers outside /sim/:
//   rate-limit   refused as busy: HTML 429 or 503, nothing done
//   garbage      done, but the answer is HTTP 200 with a body that is not JSON
//   slow         done, but the answer comes only after slowMs (past a client's time-out)
//   reset        done, but the connection is reset halfway through the answer
//   unreachable  a random light turns unreachable, or an unreachable one comes back
struct FaultOptions {
    QStringList kinds;        // from faultKinds(); empty = no faults
    double probability = 0.2; // chance that one request meets one of the kinds
    int slowMs = 5000;
    quint32 seed = 1; // same seed, same faults for the same requests

    static const QStringList& faultKinds();
    // "rate-limit,garbage" into kinds; false with a message naming the unknown kind.
    bool parseKinds(const QString& list, QString* error);
};

struct SimOptions {
    QString host = QStringLiteral("127.0.0.1");
    quint16 port = 0;           // 0 = any free port
    QString lightsFile;         // JSON in the bridge's own /lights format; empty = built-in sample
    QByteArray lightsJson;      // the same format given directly; used instead of lightsFile when set
    QString fixedUser;          // if non-empty, this user name is already paired (whitelisted)
    bool pressLink = false;     // start with the link button pressed (30 s window)
    bool https = false;         // serve HTTPS with a generated certificate (CN = bridge id, lower case)
    int rateLimitPerSecond = 0; // 0 = none; past N requests within one second answer 429 (https) /
                                // 503 (http) with an HTML body
    int latencyMs = 0;          // delay every answer by this much
    QString bridgeId = QStringLiteral("001788FFFE0A0B0C"); // upper case as in /config
    QString name = QStringLiteral("Orvel Sim");
    // Real bridges are not known to refuse colour or brightness sent together with on:false.
    // When set, such parameters get error 201 as if the light were already off.
    bool colourWithOffIsError = false;
    FaultOptions faults;
};

// A Hue bridge (v1 REST API) on a loopback socket, faithful to what real bridges send on the wire:
// errors as HTTP 200 JSON lists, per-parameter results, per-type light state, a 30-second pairing
// window, optional rate limiting and HTTPS.
class BridgeSimulator : public QObject {
    Q_OBJECT
public:
    explicit BridgeSimulator(QObject* parent = nullptr);
    ~BridgeSimulator() override;

    bool start(const SimOptions& options, QString* error = nullptr);
    quint16 port() const;
    QString hostAndPort() const; // "127.0.0.1:PORT" — what the client is given as host
    QUrl baseUrl() const;        // http(s)://127.0.0.1:PORT
    QString bridgeId() const;

    // Opens a 30 s pairing window, timed on orvel::MainQueue::shared()'s clock.
    void pressLinkButton();
    bool linkWindowOpen() const;
    void addUser(const QString& username);
    void removeUser(const QString& username); // as when the user is deleted in the Hue app
    QStringList users() const;

    QList<RecordedRequest> requests() const;
    void clearRequests();

    QJsonObject light(const QString& id) const; // current full light object; empty if unknown
    QStringList lightIds() const;               // in numeric order
    // A light paired to the bridge (with the next free id, which is returned) or removed from it.
    QString addLight(const QJsonObject& light);
    void removeLight(const QString& id);
    void setLightReachable(const QString& id, bool reachable);
    // Changes stored state fields directly (as a wall switch or another app would).
    void setLightState(const QString& id, const QJsonObject& fields);

    void setSilent(bool silent); // accept connections but never answer (time-out tests)
    // Overrides the answer for a path (malformed-answer tests); empty body and status 0 clear it.
    void setRawAnswer(const QString& path, int status, const QByteArray& body, const QByteArray& contentType);
    QSslCertificate certificate() const; // the served certificate when https

    // Changes the faults injected from now on. Switching off "unreachable" brings back the lights it
    // took away.
    void setFaults(const FaultOptions& faults);
    // How many faults of each kind were injected since start.
    QMap<QString, int> faultsInjected() const;

Q_SIGNALS:
    void requestReceived(const orvel::sim::RecordedRequest& request);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace orvel::sim

Q_DECLARE_METATYPE(orvel::sim::RecordedRequest)
