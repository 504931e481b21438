#include "SimImpl.h"

#include <QJsonArray>
#include <QJsonDocument>

static void initBridgeSimResources()
{
    Q_INIT_RESOURCE(bridgesim);
}

namespace orvel::sim {

using namespace detail;

// The bridge's REST interface, independent of HTTP: the routes of /api, pairing and the request log.

Answer BridgeSimulator::Impl::api(const QString& method, const QStringList& segments, const QByteArray& body)
{
    const auto notAvailable = [&](const QString& resource) {
        return errorList(4, resource,
                         QStringLiteral("method, %1, not available for resource, %2").arg(method, resource));
    };
    if (segments.size() == 1) {
        if (method == QLatin1String("POST"))
            return pair(body);
        return notAvailable(QStringLiteral("/"));
    }
    const QString& user = segments.at(1);
    const QStringList rest = segments.mid(2);
    const QString resource = QLatin1Char('/') + rest.join(QLatin1Char('/'));
    const bool isConfig = rest == QStringList{QStringLiteral("config")};
    if (segments.size() == 2 && user == QLatin1String("config") && method == QLatin1String("GET"))
        return json(publicConfig());
    if (!whitelist.contains(user)) {
        if (isConfig && method == QLatin1String("GET"))
            return json(publicConfig());
        return errorList(1, resource, QStringLiteral("unauthorized user"));
    }

    if (method == QLatin1String("GET")) {
        if (rest.isEmpty()) {
            return json(QJsonObject{{QStringLiteral("lights"), lightsObject()},
                                    {QStringLiteral("groups"), QJsonObject()},
                                    {QStringLiteral("config"), fullConfig()},
                                    {QStringLiteral("schedules"), QJsonObject()},
                                    {QStringLiteral("scenes"), QJsonObject()},
                                    {QStringLiteral("sensors"), QJsonObject()},
                                    {QStringLiteral("rules"), QJsonObject()}});
        }
        if (isConfig)
            return json(fullConfig());
        if (rest == QStringList{QStringLiteral("lights")})
            return json(lightsObject());
        if (rest.size() == 2 && rest.at(0) == QLatin1String("lights")) {
            if (const QJsonObject* light = findLight(rest.at(1)))
                return json(*light);
        }
        static const QStringList empty{QStringLiteral("groups"), QStringLiteral("schedules"),
                                       QStringLiteral("scenes"), QStringLiteral("sensors"),
                                       QStringLiteral("rules"),  QStringLiteral("resourcelinks")};
        if (rest.size() == 1 && empty.contains(rest.at(0)))
            return json(QJsonObject());
        return errorList(3, resource, QStringLiteral("resource, %1, not available").arg(resource));
    }
    if (method == QLatin1String("PUT") && rest.size() == 3 && rest.at(0) == QLatin1String("lights") &&
        rest.at(2) == QLatin1String("state"))
        return setState(rest.at(1), body);
    if (method == QLatin1String("PUT") && rest.size() == 2 && rest.at(0) == QLatin1String("lights"))
        return rename(rest.at(1), body);
    return notAvailable(resource);
}

Answer BridgeSimulator::Impl::pair(const QByteArray& body)
{
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (!document.isObject())
        return errorList(2, QString(), QStringLiteral("body contains invalid json"));
    const QJsonObject request = document.object();
    const QJsonValue deviceType = request.value(QStringLiteral("devicetype"));
    if (!deviceType.isString())
        return errorList(5, QStringLiteral("/"), QStringLiteral("invalid/missing parameters in body"));
    if (deviceType.toString().size() > 40)
        return errorList(
            7, QStringLiteral("/devicetype"),
            QStringLiteral("invalid value, %1, for parameter, devicetype").arg(deviceType.toString()));
    const QJsonValue clientKey = request.value(QStringLiteral("generateclientkey"));
    if (!clientKey.isUndefined() && !clientKey.isBool())
        return json(QJsonArray{invalidValueItem(QStringLiteral("/generateclientkey"),
                                                QStringLiteral("generateclientkey"), clientKey)});
    if (!linkOpen())
        return errorList(101, QString(), QStringLiteral("link button not pressed"));

    QString username;
    do {
        username =
            randomText(40, QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-"));
    } while (whitelist.contains(username));
    addUser(username, deviceType.toString());
    QJsonObject success{{QStringLiteral("username"), username}};
    if (clientKey.toBool())
        success.insert(QStringLiteral("clientkey"), randomText(32, QStringLiteral("0123456789ABCDEF")));
    return json(QJsonArray{QJsonObject{{QStringLiteral("success"), success}}});
}

BridgeSimulator::BridgeSimulator(QObject* parent)
    : QObject(parent)
    , d(std::make_unique<Impl>())
{
    initBridgeSimResources();
    qRegisterMetaType<orvel::sim::RecordedRequest>();
    d->q = this;
}

BridgeSimulator::~BridgeSimulator() = default;

QString BridgeSimulator::bridgeId() const
{
    return d->options.bridgeId;
}

void BridgeSimulator::pressLinkButton()
{
    d->linkPressedAt = d->now();
}

bool BridgeSimulator::linkWindowOpen() const
{
    return d->linkOpen();
}

void BridgeSimulator::addUser(const QString& username)
{
    d->addUser(username, QStringLiteral("orvel#sim"));
}

void BridgeSimulator::removeUser(const QString& username)
{
    d->whitelist.remove(username);
}

QStringList BridgeSimulator::users() const
{
    return d->whitelist.keys();
}

QList<RecordedRequest> BridgeSimulator::requests() const
{
    return d->requests;
}

void BridgeSimulator::clearRequests()
{
    d->requests.clear();
}

} // namespace orvel::sim
