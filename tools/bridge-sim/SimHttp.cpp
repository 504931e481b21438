#include "SimImpl.h"

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMetaEnum>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QSslKey>
#include <QTemporaryDir>
#include <QTimer>

namespace orvel::sim {

using namespace detail;

namespace {

QString methodName(QHttpServerRequest::Method method)
{
    const char* name = QMetaEnum::fromType<QHttpServerRequest::Method>().valueToKey(static_cast<int>(method));
    return name ? QString::fromLatin1(name).toUpper() : QStringLiteral("OTHER");
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

} // namespace

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

QSslCertificate BridgeSimulator::certificate() const
{
    return d->certificate;
}

} // namespace orvel::sim
