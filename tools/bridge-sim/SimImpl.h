#pragma once

// What the simulator's parts share: its state (one Impl behind BridgeSimulator) and the HTTP server.

#include "BridgeSimulator.h"
#include "SimWire.h"

#include "platform/MainQueue.h"

#include <QAbstractHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QRandomGenerator>
#include <QSslCertificate>
#include <QTcpSocket>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>

namespace orvel::sim {

namespace detail {

// QAbstractHttpServer hands every parsed request to one function; the bridge parses paths itself
// because its URL space (/api/<user>/...) does not fit route patterns well.
class Server final : public QAbstractHttpServer {
public:
    std::function<bool(const QHttpServerRequest&, QTcpSocket*)> handler;

    static QHttpServerResponder responderFor(const QHttpServerRequest& request, QTcpSocket* socket)
    {
        return makeResponder(request, socket);
    }

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override
    {
        return handler(request, socket);
    }
    void missingHandler(const QHttpServerRequest&, QTcpSocket*) override {}
};

} // namespace detail

struct BridgeSimulator::Impl {
    BridgeSimulator* q = nullptr;
    SimOptions options;
    std::unique_ptr<detail::Server> server;
    quint16 port = 0;
    double startTime = 0;
    std::optional<double> linkPressedAt;
    std::map<int, QJsonObject> lights; // numeric id -> light object
    QJsonObject whitelist;
    QList<RecordedRequest> requests;
    std::deque<double> recentAccepted;
    bool silent = false;
    QHash<QString, detail::Answer> rawAnswers;
    QSslCertificate certificate;
    FaultOptions faults;
    QRandomGenerator faultRandom;
    QMap<QString, int> injected;
    std::optional<int> takenAway; // the light the "unreachable" fault made unreachable

    double now() const { return MainQueue::shared().now(); }

    bool linkOpen() const { return linkPressedAt && now() - *linkPressedAt < detail::kLinkWindowSeconds; }

    QJsonObject* findLight(const QString& id)
    {
        if (!detail::isLightId(id))
            return nullptr;
        auto it = lights.find(id.toInt());
        return it == lights.end() ? nullptr : &it->second;
    }

    QJsonObject lightsObject() const
    {
        QJsonObject object;
        for (const auto& [id, light] : lights)
            object.insert(QString::number(id), light);
        return object;
    }

    QString mac() const
    {
        const QString id = options.bridgeId.toLower();
        const QString hex = id.left(6) + id.mid(10);
        QStringList parts;
        for (int i = 0; i < 12; i += 2)
            parts << hex.mid(i, 2);
        return parts.join(QLatin1Char(':'));
    }

    QJsonObject publicConfig() const
    {
        return QJsonObject{
            {QStringLiteral("name"), options.name},
            {QStringLiteral("datastoreversion"), QStringLiteral("149")},
            {QStringLiteral("swversion"), QStringLiteral("1962154010")},
            {QStringLiteral("apiversion"), QStringLiteral("1.62.0")},
            {QStringLiteral("mac"), mac()},
            {QStringLiteral("bridgeid"), options.bridgeId},
            {QStringLiteral("factorynew"), false},
            {QStringLiteral("replacesbridgeid"), QJsonValue::Null},
            {QStringLiteral("modelid"), QStringLiteral("BSB002")},
            {QStringLiteral("starterkitid"), QString()},
        };
    }

    QJsonObject fullConfig() const
    {
        QJsonObject config = publicConfig();
        const QString utc = detail::isoNow();
        config.insert(QStringLiteral("zigbeechannel"), 25);
        config.insert(QStringLiteral("dhcp"), true);
        config.insert(QStringLiteral("ipaddress"), options.host);
        config.insert(QStringLiteral("netmask"), QStringLiteral("255.255.255.0"));
        config.insert(QStringLiteral("gateway"), QStringLiteral("192.168.1.1"));
        config.insert(QStringLiteral("proxyaddress"), QStringLiteral("none"));
        config.insert(QStringLiteral("proxyport"), 0);
        config.insert(QStringLiteral("UTC"), utc);
        config.insert(QStringLiteral("localtime"), utc);
        config.insert(QStringLiteral("timezone"), QStringLiteral("Europe/Amsterdam"));
        config.insert(QStringLiteral("whitelist"), whitelist);
        config.insert(QStringLiteral("linkbutton"), linkOpen());
        config.insert(QStringLiteral("portalservices"), false);
        config.insert(QStringLiteral("portalconnection"), QStringLiteral("disconnected"));
        config.insert(QStringLiteral("swupdate2"),
                      QJsonObject{{QStringLiteral("checkforupdate"), false},
                                  {QStringLiteral("lastchange"), utc},
                                  {QStringLiteral("bridge"),
                                   QJsonObject{{QStringLiteral("state"), QStringLiteral("noupdates")},
                                               {QStringLiteral("lastinstall"), utc}}},
                                  {QStringLiteral("state"), QStringLiteral("noupdates")},
                                  {QStringLiteral("autoinstall"),
                                   QJsonObject{{QStringLiteral("updatetime"), QStringLiteral("T14:00:00")},
                                               {QStringLiteral("on"), true}}}});
        config.insert(QStringLiteral("internetservices"),
                      QJsonObject{{QStringLiteral("internet"), QStringLiteral("disconnected")},
                                  {QStringLiteral("remoteaccess"), QStringLiteral("disconnected")},
                                  {QStringLiteral("time"), QStringLiteral("disconnected")},
                                  {QStringLiteral("swupdate"), QStringLiteral("disconnected")}});
        config.insert(QStringLiteral("backup"),
                      QJsonObject{{QStringLiteral("status"), QStringLiteral("idle")},
                                  {QStringLiteral("errorcode"), 0}});
        return config;
    }

    void addUser(const QString& username, const QString& deviceType)
    {
        const QString date = detail::isoNow();
        whitelist.insert(username, QJsonObject{{QStringLiteral("last use date"), date},
                                               {QStringLiteral("create date"), date},
                                               {QStringLiteral("name"), deviceType}});
    }

    bool loadLights(const QString& file, QString* error);
    bool parseLights(const QByteArray& text, const QString& source, QString* error);
    detail::Answer pair(const QByteArray& body);
    detail::Answer api(const QString& method, const QStringList& segments, const QByteArray& body);
    detail::Answer setState(const QString& id, const QByteArray& body);
    detail::Answer rename(const QString& id, const QByteArray& body);
    // The light a PUT addresses and its JSON body, or the error answer when either is missing.
    std::optional<detail::Answer> openLightEdit(const QString& id, const QByteArray& body,
                                                const QString& base, QJsonObject*& light,
                                                QJsonObject& request);
    detail::Answer control(const QString& method, const QString& path);
    bool handle(const QHttpServerRequest& request, QTcpSocket* socket);
    // The answer to a request outside /sim/, counted against the rate limit.
    detail::Answer answerFor(const RecordedRequest& record);
    void send(const QHttpServerRequest& request, QTcpSocket* socket, const detail::Answer& answer);
    // The fault this request meets, if any, counted.
    QString pickFault();
    void toggleTakenAway();
    void setReachable(int id, bool reachable);
    void sendFaulty(const QString& fault, const QHttpServerRequest& request, QTcpSocket* socket,
                    const detail::Answer& answer);
};

} // namespace orvel::sim
