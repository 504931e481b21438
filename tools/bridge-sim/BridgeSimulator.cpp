#include "BridgeSimulator.h"

#include "platform/MainQueue.h"

#include <QAbstractHttpServer>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QHostAddress>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMetaEnum>
#include <QPointer>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSslKey>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <deque>
#include <map>
#include <optional>

static void initBridgeSimResources()
{
    Q_INIT_RESOURCE(bridgesim);
}

namespace orvel::sim {

namespace {

constexpr double kLinkWindowSeconds = 30.0;

struct Answer {
    int status = 200;
    QByteArray body;
    QByteArray contentType = "application/json";
};

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

QString methodName(QHttpServerRequest::Method method)
{
    const char* name = QMetaEnum::fromType<QHttpServerRequest::Method>().valueToKey(static_cast<int>(method));
    return name ? QString::fromLatin1(name).toUpper() : QStringLiteral("OTHER");
}

QJsonObject errorItem(int type, const QString& address, const QString& description)
{
    return QJsonObject{{QStringLiteral("error"), QJsonObject{{QStringLiteral("type"), type},
                                                             {QStringLiteral("address"), address},
                                                             {QStringLiteral("description"), description}}}};
}

QJsonObject successItem(const QString& address, const QJsonValue& value)
{
    return QJsonObject{{QStringLiteral("success"), QJsonObject{{address, value}}}};
}

Answer json(const QJsonValue& value)
{
    const QByteArray body = value.isArray() ? QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact)
                                            : QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact);
    return Answer{200, body, "application/json"};
}

Answer errorList(int type, const QString& address, const QString& description)
{
    return json(QJsonArray{errorItem(type, address, description)});
}

Answer html(int status, const QByteArray& title)
{
    return Answer{status,
                  "<html>\r\n<head><title>" + title + "</title></head>\r\n<body>\r\n<center><h1>" + title +
                      "</h1></center>\r\n<hr><center>nginx</center>\r\n</body>\r\n</html>\r\n",
                  "text/html"};
}

// The raw JSON text of a value, as a real bridge quotes it in "invalid value" errors.
QString rawText(const QJsonValue& value)
{
    QByteArray text = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(text.mid(1, text.size() - 2));
}

QJsonObject notAvailableItem(const QString& address, const QString& parameter)
{
    return errorItem(6, address, QStringLiteral("parameter, %1, not available").arg(parameter));
}

QJsonObject invalidValueItem(const QString& address, const QString& parameter, const QJsonValue& value)
{
    return errorItem(7, address,
                     QStringLiteral("invalid value, %1, for parameter, %2").arg(rawText(value), parameter));
}

std::optional<qint64> integral(const QJsonValue& value)
{
    if (!value.isDouble())
        return std::nullopt;
    const double number = value.toDouble();
    if (std::floor(number) != number || std::abs(number) > 1e15)
        return std::nullopt;
    return static_cast<qint64>(number);
}

std::optional<std::pair<double, double>> numberPair(const QJsonValue& value, double low, double high)
{
    const QJsonArray array = value.toArray();
    if (!value.isArray() || array.size() != 2 || !array[0].isDouble() || !array[1].isDouble())
        return std::nullopt;
    const double x = array[0].toDouble();
    const double y = array[1].toDouble();
    if (x < low || x > high || y < low || y > high)
        return std::nullopt;
    return std::make_pair(x, y);
}

double round4(double v)
{
    return std::round(v * 10000.0) / 10000.0;
}

bool isLightId(const QString& id)
{
    bool ok = false;
    const int number = id.toInt(&ok);
    return ok && number > 0 && QString::number(number) == id;
}

QString randomText(int length, const QString& alphabet)
{
    QString text;
    text.reserve(length);
    for (int i = 0; i < length; ++i)
        text += alphabet.at(static_cast<int>(QRandomGenerator::global()->bounded(alphabet.size())));
    return text;
}

QString isoNow()
{
    return QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss"));
}

// Generating a key takes a noticeable moment; tests start many simulators with the same id.
struct Identity {
    QSslCertificate certificate;
    QSslKey key;
};

std::optional<Identity> makeIdentity(const QString& bridgeId, QString* error)
{
    static QHash<QString, Identity> cache;
    const QString cn = bridgeId.toLower();
    if (auto it = cache.constFind(cn); it != cache.constEnd())
        return *it;

    QTemporaryDir dir;
    if (!dir.isValid()) {
        *error = QStringLiteral("cannot create a temporary directory for the certificate");
        return std::nullopt;
    }
    const QString keyPath = dir.filePath(QStringLiteral("key.pem"));
    const QString certPath = dir.filePath(QStringLiteral("cert.pem"));
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                   QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                   QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
                   QStringLiteral("-days"), QStringLiteral("3650"), QStringLiteral("-subj"),
                   QStringLiteral("/C=NL/O=Philips Hue/CN=%1").arg(cn), QStringLiteral("-keyout"), keyPath,
                   QStringLiteral("-out"), certPath});
    if (!openssl.waitForFinished(30000) || openssl.exitStatus() != QProcess::NormalExit ||
        openssl.exitCode() != 0) {
        *error = QStringLiteral("cannot generate a certificate with openssl: %1")
                     .arg(openssl.error() == QProcess::FailedToStart
                              ? QStringLiteral("openssl not found")
                              : QString::fromLocal8Bit(openssl.readAllStandardError()).trimmed());
        return std::nullopt;
    }
    QFile keyFile(keyPath);
    QFile certFile(certPath);
    if (!keyFile.open(QIODevice::ReadOnly) || !certFile.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the generated certificate");
        return std::nullopt;
    }
    Identity identity{QSslCertificate(certFile.readAll(), QSsl::Pem), QSslKey(keyFile.readAll(), QSsl::Ec)};
    if (identity.certificate.isNull() || identity.key.isNull()) {
        *error = QStringLiteral("the generated certificate or key cannot be loaded");
        return std::nullopt;
    }
    cache.insert(cn, identity);
    return identity;
}

// Parameters of PUT /lights/<id>/state and the state field each one needs.
const QHash<QString, QString>& stateParameters()
{
    static const QHash<QString, QString> parameters{
        {QStringLiteral("on"), QStringLiteral("on")},
        {QStringLiteral("bri"), QStringLiteral("bri")},
        {QStringLiteral("hue"), QStringLiteral("hue")},
        {QStringLiteral("sat"), QStringLiteral("sat")},
        {QStringLiteral("xy"), QStringLiteral("xy")},
        {QStringLiteral("ct"), QStringLiteral("ct")},
        {QStringLiteral("alert"), QStringLiteral("alert")},
        {QStringLiteral("effect"), QStringLiteral("effect")},
        {QStringLiteral("transitiontime"), QStringLiteral("on")},
        {QStringLiteral("bri_inc"), QStringLiteral("bri")},
        {QStringLiteral("sat_inc"), QStringLiteral("sat")},
        {QStringLiteral("hue_inc"), QStringLiteral("hue")},
        {QStringLiteral("ct_inc"), QStringLiteral("ct")},
        {QStringLiteral("xy_inc"), QStringLiteral("xy")},
    };
    return parameters;
}

// Answer order: a real bridge does not keep the order of the request either.
const QStringList& parameterOrder()
{
    static const QStringList order{QStringLiteral("on"),      QStringLiteral("bri"),
                                   QStringLiteral("bri_inc"), QStringLiteral("hue"),
                                   QStringLiteral("hue_inc"), QStringLiteral("sat"),
                                   QStringLiteral("sat_inc"), QStringLiteral("xy"),
                                   QStringLiteral("xy_inc"),  QStringLiteral("ct"),
                                   QStringLiteral("ct_inc"),  QStringLiteral("alert"),
                                   QStringLiteral("effect"),  QStringLiteral("transitiontime")};
    return order;
}

bool isColourParameter(const QString& key)
{
    return key != QLatin1String("on") && key != QLatin1String("alert") &&
           key != QLatin1String("transitiontime");
}

// The value to store for a state parameter, or nothing when the value is invalid (type 7).
// Increments come back unchanged; they are applied to the current state later.
std::optional<QJsonValue> checkedValue(const QString& key, const QJsonValue& value, int ctMin, int ctMax)
{
    const auto number = integral(value);
    const auto inRange = [&](qint64 low, qint64 high) { return number && *number >= low && *number <= high; };
    const auto toInt = [](qint64 v) { return QJsonValue(static_cast<int>(v)); };
    if (key == QLatin1String("on"))
        return value.isBool() ? std::optional(value) : std::nullopt;
    if (key == QLatin1String("bri") || key == QLatin1String("sat")) {
        // 255 is accepted but kept as 254.
        const qint64 low = key == QLatin1String("bri") ? 1 : 0;
        return inRange(low, 255) ? std::optional(toInt(std::min<qint64>(*number, 254))) : std::nullopt;
    }
    if (key == QLatin1String("hue") || key == QLatin1String("transitiontime"))
        return inRange(0, 65535) ? std::optional(toInt(*number)) : std::nullopt;
    if (key == QLatin1String("ct"))
        return inRange(153, 500) ? std::optional(toInt(std::clamp<qint64>(*number, ctMin, ctMax)))
                                 : std::nullopt;
    if (key == QLatin1String("xy")) {
        const auto xy = numberPair(value, 0.0, 1.0);
        return xy ? std::optional(QJsonValue(QJsonArray{round4(xy->first), round4(xy->second)}))
                  : std::nullopt;
    }
    if (key == QLatin1String("alert")) {
        static const QStringList alerts{QStringLiteral("none"), QStringLiteral("select"),
                                        QStringLiteral("lselect")};
        return alerts.contains(value.toString()) ? std::optional(value) : std::nullopt;
    }
    if (key == QLatin1String("effect")) {
        const QString effect = value.toString();
        return effect == QLatin1String("none") || effect == QLatin1String("colorloop") ? std::optional(value)
                                                                                       : std::nullopt;
    }
    if (key == QLatin1String("bri_inc") || key == QLatin1String("sat_inc"))
        return inRange(-254, 254) ? std::optional(value) : std::nullopt;
    if (key == QLatin1String("hue_inc") || key == QLatin1String("ct_inc"))
        return inRange(-65534, 65534) ? std::optional(value) : std::nullopt;
    if (key == QLatin1String("xy_inc"))
        return numberPair(value, -0.5, 0.5) ? std::optional(value) : std::nullopt;
    return std::nullopt;
}

} // namespace

struct BridgeSimulator::Impl {
    BridgeSimulator* q = nullptr;
    SimOptions options;
    std::unique_ptr<Server> server;
    quint16 port = 0;
    double startTime = 0;
    std::optional<double> linkPressedAt;
    std::map<int, QJsonObject> lights; // numeric id -> light object
    QJsonObject whitelist;
    QList<RecordedRequest> requests;
    std::deque<double> recentAccepted;
    bool silent = false;
    QHash<QString, Answer> rawAnswers;
    QSslCertificate certificate;
    FaultOptions faults;
    QRandomGenerator faultRandom;
    QMap<QString, int> injected;
    std::optional<int> takenAway; // the light the "unreachable" fault made unreachable

    double now() const { return MainQueue::shared().now(); }

    bool linkOpen() const { return linkPressedAt && now() - *linkPressedAt < kLinkWindowSeconds; }

    QJsonObject* findLight(const QString& id)
    {
        if (!isLightId(id))
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
        const QString utc = isoNow();
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
        const QString date = isoNow();
        whitelist.insert(username, QJsonObject{{QStringLiteral("last use date"), date},
                                               {QStringLiteral("create date"), date},
                                               {QStringLiteral("name"), deviceType}});
    }

    bool loadLights(const QString& file, QString* error);
    bool parseLights(const QByteArray& text, const QString& source, QString* error);
    Answer pair(const QByteArray& body);
    Answer api(const QString& method, const QStringList& segments, const QByteArray& body);
    Answer setState(const QString& id, const QByteArray& body);
    Answer rename(const QString& id, const QByteArray& body);
    // The light a PUT addresses and its JSON body, or the error answer when either is missing.
    std::optional<Answer> openLightEdit(const QString& id, const QByteArray& body, const QString& base,
                                        QJsonObject*& light, QJsonObject& request);
    Answer control(const QString& method, const QString& path);
    bool handle(const QHttpServerRequest& request, QTcpSocket* socket);
    // The answer to a request outside /sim/, counted against the rate limit.
    Answer answerFor(const RecordedRequest& record);
    void send(const QHttpServerRequest& request, QTcpSocket* socket, const Answer& answer);
    // The fault this request meets, if any, counted.
    QString pickFault();
    void toggleTakenAway();
    void setReachable(int id, bool reachable);
    void sendFaulty(const QString& fault, const QHttpServerRequest& request, QTcpSocket* socket,
                    const Answer& answer);
};

const QStringList& FaultOptions::faultKinds()
{
    static const QStringList kinds{QStringLiteral("rate-limit"), QStringLiteral("garbage"),
                                   QStringLiteral("slow"), QStringLiteral("reset"),
                                   QStringLiteral("unreachable")};
    return kinds;
}

bool FaultOptions::parseKinds(const QString& list, QString* error)
{
    QStringList parsed;
    for (const QString& item : list.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QString kind = item.trimmed().toLower();
        if (!faultKinds().contains(kind)) {
            if (error)
                *error = QStringLiteral("unknown fault \"%1\"; known: %2")
                             .arg(item.trimmed(), faultKinds().join(QStringLiteral(", ")));
            return false;
        }
        if (!parsed.contains(kind))
            parsed << kind;
    }
    kinds = parsed;
    return true;
}

QString BridgeSimulator::Impl::pickFault()
{
    if (faults.kinds.isEmpty() || faultRandom.generateDouble() >= faults.probability)
        return {};
    const QString kind = faults.kinds.at(static_cast<int>(faultRandom.bounded(faults.kinds.size())));
    if (kind == QLatin1String("unreachable"))
        toggleTakenAway();
    else
        ++injected[kind];
    return kind;
}

void BridgeSimulator::Impl::setReachable(int id, bool reachable)
{
    auto it = lights.find(id);
    if (it == lights.end())
        return;
    QJsonObject state = it->second.value(QStringLiteral("state")).toObject();
    state.insert(QStringLiteral("reachable"), reachable);
    it->second.insert(QStringLiteral("state"), state);
}

// One light at a time is away: it comes back at the next such fault.
void BridgeSimulator::Impl::toggleTakenAway()
{
    if (takenAway) {
        setReachable(*std::exchange(takenAway, std::nullopt), true);
        return;
    }
    if (lights.empty())
        return;
    auto it = lights.begin();
    std::advance(it, faultRandom.bounded(static_cast<int>(lights.size())));
    if (!it->second.value(QStringLiteral("state")).toObject().value(QStringLiteral("reachable")).toBool())
        return; // already away for its own reasons
    takenAway = it->first;
    setReachable(it->first, false);
    ++injected[QStringLiteral("unreachable")];
}

void BridgeSimulator::Impl::sendFaulty(const QString& fault, const QHttpServerRequest& request,
                                       QTcpSocket* socket, const Answer& answer)
{
    if (fault == QLatin1String("slow")) {
        // Real time, not the main queue's clock: a client's time-out is real time too. The socket
        // owns the request; the timer goes with the socket.
        QTimer::singleShot(faults.slowMs, socket,
                           [this, request = &request, socket, answer] { send(*request, socket, answer); });
        return;
    }
    if (fault == QLatin1String("reset")) {
        // The head and half the body, then a reset instead of the rest.
        const QByteArray head = "HTTP/1.1 " + QByteArray::number(answer.status) +
                                " OK\r\nServer: nginx\r\nContent-Type: " + answer.contentType +
                                "\r\nContent-Length: " + QByteArray::number(answer.body.size()) + "\r\n\r\n";
        socket->write(head + answer.body.left(answer.body.size() / 2));
        socket->flush();
        socket->abort();
        return;
    }
    send(request, socket, answer);
}

bool BridgeSimulator::Impl::loadLights(const QString& file, QString* error)
{
    const QString path = file.isEmpty() ? QStringLiteral(":/bridge-sim/sample-lights.json") : file;
    QFile input(path);
    if (!input.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read lights file %1: %2").arg(path, input.errorString());
        return false;
    }
    return parseLights(input.readAll(), QStringLiteral("lights file %1").arg(path), error);
}

bool BridgeSimulator::Impl::parseLights(const QByteArray& text, const QString& source, QString* error)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(text, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        *error = QStringLiteral("%1 is not valid JSON: %2 at offset %3")
                     .arg(source, parseError.errorString())
                     .arg(parseError.offset);
        return false;
    }
    QJsonObject object = document.object();
    // A whole datastore (GET /api/<user>) is accepted too.
    if (object.value(QStringLiteral("lights")).isObject() && object.contains(QStringLiteral("config")))
        object = object.value(QStringLiteral("lights")).toObject();
    if (!document.isObject()) {
        *error = QStringLiteral("%1 must hold an object keyed by light id").arg(source);
        return false;
    }
    lights.clear();
    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        const QJsonObject light = it.value().toObject();
        const QString where = QStringLiteral("%1, light \"%2\"").arg(source, it.key());
        if (!isLightId(it.key())) {
            *error = QStringLiteral("%1: a light id must be a positive whole number").arg(where);
            return false;
        }
        if (!it.value().isObject() || !light.value(QStringLiteral("state")).isObject() ||
            !light.value(QStringLiteral("name")).isString() ||
            !light.value(QStringLiteral("type")).isString()) {
            *error = QStringLiteral("%1: needs a \"name\", a \"type\" and a \"state\" object").arg(where);
            return false;
        }
        if (!light.value(QStringLiteral("state")).toObject().value(QStringLiteral("on")).isBool()) {
            *error = QStringLiteral("%1: \"state\" needs \"on\" (true or false)").arg(where);
            return false;
        }
        QJsonObject state = light.value(QStringLiteral("state")).toObject();
        // Every real light reports these two, whatever its type.
        if (!state.contains(QStringLiteral("reachable")))
            state.insert(QStringLiteral("reachable"), true);
        if (!state.contains(QStringLiteral("mode")))
            state.insert(QStringLiteral("mode"), QStringLiteral("homeautomation"));
        QJsonObject stored = light;
        stored.insert(QStringLiteral("state"), state);
        lights[it.key().toInt()] = stored;
    }
    return true;
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

std::optional<Answer> BridgeSimulator::Impl::openLightEdit(const QString& id, const QByteArray& body,
                                                           const QString& base, QJsonObject*& light,
                                                           QJsonObject& request)
{
    light = findLight(id);
    if (!light)
        return errorList(3, base, QStringLiteral("resource, %1, not available").arg(base));
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (!document.isObject())
        return errorList(2, base, QStringLiteral("body contains invalid json"));
    request = document.object();
    return std::nullopt;
}

Answer BridgeSimulator::Impl::setState(const QString& id, const QByteArray& body)
{
    const QString base = QStringLiteral("/lights/%1/state").arg(id);
    QJsonObject* light = nullptr;
    QJsonObject request;
    if (auto refused = openLightEdit(id, body, base, light, request))
        return *refused;
    QJsonObject state = light->value(QStringLiteral("state")).toObject();
    const QJsonValue on = request.value(QStringLiteral("on"));
    const bool turnsOn = on.isBool() && on.toBool();
    const bool turnsOff = on.isBool() && !on.toBool();
    const bool isOff = !state.value(QStringLiteral("on")).toBool();
    const bool colourRefused = (isOff && !turnsOn) || (turnsOff && options.colourWithOffIsError);

    QJsonArray results;
    QStringList keys = parameterOrder();
    for (const QString& key : request.keys())
        if (!keys.contains(key))
            keys << key;

    QString colourMode;
    const QJsonObject ctRange = light->value(QStringLiteral("capabilities"))
                                    .toObject()
                                    .value(QStringLiteral("control"))
                                    .toObject()
                                    .value(QStringLiteral("ct"))
                                    .toObject();
    const int ctMin = ctRange.value(QStringLiteral("min")).toInt(153);
    const int ctMax = ctRange.value(QStringLiteral("max")).toInt(500);

    for (const QString& key : std::as_const(keys)) {
        if (!request.contains(key))
            continue;
        const QJsonValue value = request.value(key);
        const QString address = base + QLatin1Char('/') + key;
        const auto field = stateParameters().constFind(key);
        if (field == stateParameters().constEnd() || !state.contains(*field)) {
            results.append(notAvailableItem(address, key));
            continue;
        }
        // Values are checked first: a bad value is reported as such even when the light is off.
        const std::optional<QJsonValue> checked = checkedValue(key, value, ctMin, ctMax);
        if (!checked) {
            results.append(invalidValueItem(address, key, value));
            continue;
        }
        QJsonValue stored = *checked;
        const bool increment = key.endsWith(QLatin1String("_inc"));
        const QString target = increment ? key.chopped(4) : key;

        if (isColourParameter(key) && colourRefused) {
            results.append(errorItem(
                201, address,
                QStringLiteral("parameter, %1, is not modifiable. Device is set to off.").arg(target)));
            continue;
        }

        // An increment is ignored when the absolute value comes in the same body.
        if (increment) {
            if (request.contains(target))
                continue;
            const qint64 step = integral(value).value_or(0);
            const QJsonValue current = state.value(target);
            if (target == QLatin1String("bri"))
                stored = static_cast<int>(std::clamp<qint64>(current.toInt() + step, 1, 254));
            else if (target == QLatin1String("sat"))
                stored = static_cast<int>(std::clamp<qint64>(current.toInt() + step, 0, 254));
            else if (target == QLatin1String("hue"))
                stored = static_cast<int>(((current.toInt() + step) % 65536 + 65536) % 65536);
            else if (target == QLatin1String("ct"))
                stored = static_cast<int>(std::clamp<qint64>(current.toInt() + step, ctMin, ctMax));
            else {
                const QJsonArray now = current.toArray();
                const QJsonArray delta = value.toArray();
                stored =
                    QJsonArray{round4(std::clamp(now.at(0).toDouble() + delta.at(0).toDouble(), 0.0, 1.0)),
                               round4(std::clamp(now.at(1).toDouble() + delta.at(1).toDouble(), 0.0, 1.0))};
            }
            state.insert(target, stored);
            results.append(successItem(base + QLatin1Char('/') + target, stored));
        } else {
            if (key != QLatin1String("transitiontime"))
                state.insert(key, stored);
            results.append(successItem(address, stored));
        }
        // xy wins over ct, which wins over hue and saturation.
        if (target == QLatin1String("xy"))
            colourMode = QStringLiteral("xy");
        else if (target == QLatin1String("ct") && colourMode != QLatin1String("xy"))
            colourMode = QStringLiteral("ct");
        else if ((target == QLatin1String("hue") || target == QLatin1String("sat")) && colourMode.isEmpty())
            colourMode = QStringLiteral("hs");
    }
    if (!colourMode.isEmpty() && state.contains(QStringLiteral("colormode")))
        state.insert(QStringLiteral("colormode"), colourMode);
    light->insert(QStringLiteral("state"), state);
    return json(results);
}

Answer BridgeSimulator::Impl::rename(const QString& id, const QByteArray& body)
{
    const QString base = QStringLiteral("/lights/%1").arg(id);
    QJsonObject* light = nullptr;
    QJsonObject request;
    if (auto refused = openLightEdit(id, body, base, light, request))
        return *refused;
    QJsonArray results;
    for (auto it = request.constBegin(); it != request.constEnd(); ++it) {
        const QString address = base + QLatin1Char('/') + it.key();
        if (it.key() != QLatin1String("name")) {
            results.append(notAvailableItem(address, it.key()));
        } else if (!it.value().isString() || it.value().toString().isEmpty() ||
                   it.value().toString().size() > 32) {
            results.append(invalidValueItem(address, it.key(), it.value()));
        } else {
            light->insert(QStringLiteral("name"), it.value());
            results.append(successItem(address, it.value()));
        }
    }
    return json(results);
}

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

Answer BridgeSimulator::Impl::control(const QString& method, const QString& path)
{
    if (method == QLatin1String("POST") && path == QLatin1String("/sim/linkbutton")) {
        q->pressLinkButton();
        return json(QJsonArray{successItem(QStringLiteral("/config/linkbutton"), true)});
    }
    if (method == QLatin1String("GET") && path == QLatin1String("/sim/requests")) {
        QJsonArray list;
        for (const RecordedRequest& request : std::as_const(requests))
            list.append(QJsonObject{{QStringLiteral("method"), request.method},
                                    {QStringLiteral("path"), request.path},
                                    {QStringLiteral("body"), QString::fromUtf8(request.body)},
                                    {QStringLiteral("time"), request.time}});
        return json(list);
    }
    return html(404, "404 Not Found");
}

bool BridgeSimulator::Impl::handle(const QHttpServerRequest& request, QTcpSocket* socket)
{
    const QString method = methodName(request.method());
    const QString path = request.url().path();
    if (path.startsWith(QLatin1String("/sim/"))) {
        send(request, socket, control(method, path));
        return true;
    }

    RecordedRequest record{method, path, request.body(), now() - startTime, 0, {}};
    std::optional<Answer> answer;
    if (!silent) {
        record.fault = pickFault();
        if (record.fault == QLatin1String("rate-limit"))
            answer = faultRandom.bounded(2) ? html(429, "429 Too Many Requests")
                                            : html(503, "503 Service Temporarily Unavailable");
        else
            answer = answerFor(record);
        if (record.fault == QLatin1String("garbage")) {
            static const QByteArray garbage[] = {"{\"1\":{\"state\":{\"on\":tr",
                                                 "[{\"success\":", "\x01\xff\xfe<?", "}{][",
                                                 "{\"lights\" 12}"};
            answer = Answer{200, garbage[faultRandom.bounded(5)], "application/json"};
        }
        record.status = record.fault == QLatin1String("reset") ? 0 : answer->status;
    }
    requests.append(record);
    Q_EMIT q->requestReceived(record);
    if (!answer)
        return true; // silent: the connection stays open and unanswered until the client gives up

    if (!record.fault.isEmpty() && record.fault != QLatin1String("unreachable")) {
        sendFaulty(record.fault, request, socket, *answer);
        return true;
    }
    if (options.latencyMs <= 0) {
        send(request, socket, *answer);
        return true;
    }
    // The socket owns the request, and the server owns the socket: while the socket lives, so do both.
    MainQueue::shared().after(
        options.latencyMs / 1000.0,
        [this, request = &request, socket = QPointer<QTcpSocket>(socket), answer = *answer] {
            if (socket)
                send(*request, socket, answer);
        });
    return true;
}

Answer BridgeSimulator::Impl::answerFor(const RecordedRequest& record)
{
    while (!recentAccepted.empty() && record.time - recentAccepted.front() >= 1.0)
        recentAccepted.pop_front();
    if (options.rateLimitPerSecond > 0 &&
        static_cast<int>(recentAccepted.size()) >= options.rateLimitPerSecond)
        return options.https ? html(429, "429 Too Many Requests")
                             : html(503, "503 Service Temporarily Unavailable");
    recentAccepted.push_back(record.time);
    if (auto raw = rawAnswers.constFind(record.path); raw != rawAnswers.constEnd())
        return *raw;
    const QStringList segments = record.path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (segments.value(0) == QLatin1String("api"))
        return api(record.method, segments, record.body);
    return html(404, "404 Not Found");
}

void BridgeSimulator::Impl::send(const QHttpServerRequest& request, QTcpSocket* socket, const Answer& answer)
{
    QHttpServerResponder responder = Server::responderFor(request, socket);
    responder.write(answer.body,
                    {{"Content-Type", answer.contentType},
                     {"Server", "nginx"},
                     {"Cache-Control", "no-store, no-cache, must-revalidate, post-check=0, pre-check=0"},
                     {"Pragma", "no-cache"},
                     {"Expires", "Mon, 1 Aug 2011 09:00:00 GMT"},
                     {"Access-Control-Allow-Origin", "*"},
                     {"Access-Control-Allow-Credentials", "true"},
                     {"Access-Control-Allow-Methods", "POST, GET, OPTIONS, PUT, DELETE, HEAD"},
                     {"Access-Control-Allow-Headers", "Content-Type"},
                     {"Access-Control-Max-Age", "3600"}},
                    static_cast<QHttpServerResponder::StatusCode>(answer.status));
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

bool BridgeSimulator::start(const SimOptions& options, QString* error)
{
    QString message;
    const auto fail = [&](const QString& text) {
        if (error)
            *error = text;
        return false;
    };
    if (d->server)
        return fail(QStringLiteral("the simulator is already running"));
    static const QRegularExpression hex16(QStringLiteral("^[0-9A-Fa-f]{16}$"));
    if (!hex16.match(options.bridgeId).hasMatch())
        return fail(QStringLiteral("bridge id %1 is not 16 hex digits").arg(options.bridgeId));
    const QHostAddress address(options.host);
    if (address.isNull())
        return fail(QStringLiteral("%1 is not an IP address").arg(options.host));

    d->options = options;
    d->options.bridgeId = options.bridgeId.toUpper();
    setFaults(options.faults);
    const bool loaded =
        options.lightsJson.isEmpty()
            ? d->loadLights(options.lightsFile, &message)
            : d->parseLights(options.lightsJson, QStringLiteral("the lights given"), &message);
    if (!loaded)
        return fail(message);

    auto server = std::make_unique<Server>();
    server->handler = [this](const QHttpServerRequest& request, QTcpSocket* socket) {
        return d->handle(request, socket);
    };
    if (options.https) {
        const auto identity = makeIdentity(d->options.bridgeId, &message);
        if (!identity)
            return fail(message);
        server->sslSetup(identity->certificate, identity->key);
        d->certificate = identity->certificate;
    }
    const quint16 port = server->listen(address, options.port);
    if (port == 0)
        return fail(QStringLiteral("cannot listen on %1:%2").arg(options.host).arg(options.port));

    d->server = std::move(server);
    d->port = port;
    d->startTime = d->now();
    if (!options.fixedUser.isEmpty())
        d->addUser(options.fixedUser, QStringLiteral("orvel#sim"));
    if (options.pressLink)
        pressLinkButton();
    return true;
}

quint16 BridgeSimulator::port() const
{
    return d->port;
}

QString BridgeSimulator::hostAndPort() const
{
    return QStringLiteral("%1:%2").arg(d->options.host).arg(d->port);
}

QUrl BridgeSimulator::baseUrl() const
{
    return QUrl(QStringLiteral("%1://%2").arg(
        d->options.https ? QStringLiteral("https") : QStringLiteral("http"), hostAndPort()));
}

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

QJsonObject BridgeSimulator::light(const QString& id) const
{
    const QJsonObject* light = d->findLight(id);
    return light ? *light : QJsonObject();
}

QStringList BridgeSimulator::lightIds() const
{
    QStringList ids;
    for (const auto& entry : d->lights)
        ids << QString::number(entry.first);
    return ids;
}

QString BridgeSimulator::addLight(const QJsonObject& light)
{
    const int id = d->lights.empty() ? 1 : d->lights.rbegin()->first + 1;
    QJsonObject stored = light;
    QJsonObject state = stored.value(QStringLiteral("state")).toObject();
    if (!state.contains(QStringLiteral("reachable")))
        state.insert(QStringLiteral("reachable"), true);
    stored.insert(QStringLiteral("state"), state);
    d->lights[id] = stored;
    return QString::number(id);
}

void BridgeSimulator::removeLight(const QString& id)
{
    if (isLightId(id))
        d->lights.erase(id.toInt());
}

void BridgeSimulator::setLightReachable(const QString& id, bool reachable)
{
    setLightState(id, QJsonObject{{QStringLiteral("reachable"), reachable}});
}

void BridgeSimulator::setLightState(const QString& id, const QJsonObject& fields)
{
    QJsonObject* light = d->findLight(id);
    if (!light)
        return;
    QJsonObject state = light->value(QStringLiteral("state")).toObject();
    for (auto it = fields.constBegin(); it != fields.constEnd(); ++it)
        state.insert(it.key(), it.value());
    light->insert(QStringLiteral("state"), state);
}

void BridgeSimulator::setSilent(bool silent)
{
    d->silent = silent;
}

void BridgeSimulator::setRawAnswer(const QString& path, int status, const QByteArray& body,
                                   const QByteArray& contentType)
{
    if (status == 0 && body.isEmpty())
        d->rawAnswers.remove(path);
    else
        d->rawAnswers.insert(path, Answer{status == 0 ? 200 : status, body, contentType});
}

void BridgeSimulator::setFaults(const FaultOptions& faults)
{
    d->faults = faults;
    d->faults.probability = std::clamp(faults.probability, 0.0, 1.0);
    d->faultRandom.seed(faults.seed);
    if (d->takenAway && !faults.kinds.contains(QStringLiteral("unreachable")))
        d->setReachable(*std::exchange(d->takenAway, std::nullopt), true);
}

QMap<QString, int> BridgeSimulator::faultsInjected() const
{
    return d->injected;
}

QSslCertificate BridgeSimulator::certificate() const
{
    return d->certificate;
}

} // namespace orvel::sim
