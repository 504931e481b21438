#include "controller/bridge/BridgeLink.h"

#include "hue/HueJson.h"
#include "platform/Console.h"
#include "platform/MainQueue.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QSslError>

#include <algorithm>

namespace orvel {

namespace {

const QStringList kSchemes = {QStringLiteral("https"), QStringLiteral("http")};

QByteArray encodeSegment(const QString& segment)
{
    QByteArray encoded = QUrl::toPercentEncoding(segment);
    // "." and ".." would be taken as steps in the path, not as names.
    if (encoded == "." || encoded == "..")
        encoded.replace('.', "%2E");
    return encoded;
}

// Verification failures that only say the certificate is not from a public authority or does not
// name the address; a bridge's certificate always has them. Its identity is checked on the common
// name instead. Anything else (expired, revoked, broken signature) refuses the connection.
bool onlyUnknownIssuer(const QList<QSslError>& errors)
{
    return std::all_of(errors.cbegin(), errors.cend(), [](const QSslError& e) {
        switch (e.error()) {
        case QSslError::SelfSignedCertificate:
        case QSslError::SelfSignedCertificateInChain:
        case QSslError::UnableToGetIssuerCertificate:
        case QSslError::UnableToGetLocalIssuerCertificate:
        case QSslError::UnableToVerifyFirstCertificate:
        case QSslError::CertificateUntrusted:
        case QSslError::HostNameMismatch:
            return true;
        default:
            return false;
        }
    });
}

QSslCertificate peerCertificate(QNetworkReply* reply, const QList<QSslError>& errors = {})
{
    QSslCertificate certificate = reply->sslConfiguration().peerCertificate();
    if (certificate.isNull()) {
        for (const QSslError& e : errors) {
            if (!e.certificate().isNull())
                return e.certificate();
        }
    }
    return certificate;
}

QString commonName(const QSslCertificate& certificate)
{
    return certificate.subjectInfo(QSslCertificate::CommonName).value(0);
}

// Redirects are not followed: one could lead the user name away from the bridge.
QNetworkRequest bridgeRequest(const QUrl& url, int timeoutMs)
{
    QNetworkRequest request(url);
    request.setTransferTimeout(timeoutMs);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    return request;
}

// Why a request got no HTTP answer at all.
QString transportError(const QNetworkReply* reply, int timeoutMs)
{
    const auto error = reply->error();
    if (error == QNetworkReply::OperationCanceledError || error == QNetworkReply::TimeoutError)
        return QStringLiteral("no answer within %1 s").arg(timeoutMs / 1000.0);
    return reply->errorString();
}

// Failures on the HTTPS attempt that mean the bridge does not speak HTTPS there, as opposed to the
// bridge being away (a time-out) or answering.
bool noHttpsThere(QNetworkReply::NetworkError error)
{
    switch (error) {
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::SslHandshakeFailedError:
    case QNetworkReply::ProtocolFailure:
    case QNetworkReply::UnknownNetworkError:
        return true;
    default:
        return false;
    }
}

} // namespace

std::shared_ptr<BridgeLink> BridgeLink::create(const QString& host, const BridgeClientOptions& options)
{
    return std::shared_ptr<BridgeLink>(new BridgeLink(host, options),
                                       [](BridgeLink* link) { link->deleteLater(); });
}

BridgeLink::BridgeLink(const QString& host, const BridgeClientOptions& options)
    : host_(host.trimmed())
    , options_(options)
    , nam_(new QNetworkAccessManager(this))
    , probeNam_(new QNetworkAccessManager(this))
{
    options_.maxInFlight = std::max(1, options_.maxInFlight);
    options_.maxAttempts = std::max(1, options_.maxAttempts);
    // Bridges are on the local network; a proxy could not reach them and must not see the user name.
    nam_->setProxy(QNetworkProxy::NoProxy);
    probeNam_->setProxy(QNetworkProxy::NoProxy);

    // "192.168.1.20", "hue.local", "127.0.0.1:8080", "[fe80::1]:443" or a bare IPv6 address.
    QString name = host_;
    QString port;
    if (name.startsWith(QLatin1Char('['))) {
        const qsizetype close = name.indexOf(QLatin1Char(']'));
        const QString rest = close < 0 ? QString() : name.mid(close + 1);
        port = rest.startsWith(QLatin1Char(':')) ? rest.mid(1) : QString();
        name = close < 0 || (!rest.isEmpty() && port.isEmpty()) ? QString() : name.mid(1, close - 1);
    } else if (name.count(QLatin1Char(':')) == 1) {
        port = name.section(QLatin1Char(':'), 1);
        name = name.section(QLatin1Char(':'), 0, 0);
    }
    bool portOk = true;
    if (!port.isNull()) {
        port_ = port.toInt(&portOk);
        portOk = portOk && port_ > 0 && port_ < 65536;
    }
    QUrl check;
    check.setHost(name, QUrl::StrictMode);
    if (name.isEmpty() || !portOk || !check.isValid() || check.host().isEmpty()) {
        state_ = State::Invalid;
        problem_ = QStringLiteral("\"%1\" is not a host name or address").arg(host_);
        printLine(QStringLiteral("Hue bridge: ") + problem_);
        return;
    }
    hostName_ = check.host();
}

QUrl BridgeLink::url(const QString& scheme, const QStringList& path) const
{
    QByteArray encoded;
    for (const QString& segment : path)
        encoded += '/' + encodeSegment(segment);
    QUrl url;
    url.setScheme(scheme);
    url.setHost(hostName_);
    if (port_ > 0)
        url.setPort(port_);
    url.setPath(QString::fromLatin1(encoded), QUrl::TolerantMode);
    return url;
}

bool BridgeLink::acceptCertificate(const QSslCertificate& certificate) const
{
    if (certificate.isNull() || bridgeId_.isEmpty())
        return false;
    const QString expected = bridgeId_.toLower();
    const QStringList names = certificate.subjectInfo(QSslCertificate::CommonName);
    return std::any_of(names.cbegin(), names.cend(),
                       [&](const QString& name) { return name.trimmed().toLower() == expected; });
}

void BridgeLink::send(LinkRequest request)
{
    waiting_.push_back(std::make_shared<Job>(Job{std::move(request), 1}));
    pump();
}

void BridgeLink::connectBridge(std::function<void(const QString& error)> done)
{
    switch (state_) {
    case State::Ready:
    case State::Refused:
    case State::Invalid: {
        const QString error = state_ == State::Ready ? QString() : problem_;
        MainQueue::shared().after(
            0, [self = shared_from_this(), done = std::move(done), error] { done(error); });
        return;
    }
    case State::Unknown:
        connectWaiters_.push_back(std::move(done));
        state_ = State::Probing;
        probe(0);
        return;
    case State::Probing:
        connectWaiters_.push_back(std::move(done));
        return;
    }
}

void BridgeLink::pump()
{
    switch (state_) {
    case State::Refused:
    case State::Invalid:
        failWaiting(problem_);
        return;
    case State::Unknown:
        if (!waiting_.empty()) {
            state_ = State::Probing;
            probe(0);
        }
        return;
    case State::Probing:
        return;
    case State::Ready:
        break;
    }

    while (inFlight_ < options_.maxInFlight) {
        const auto next = std::find_if(waiting_.begin(), waiting_.end(), [this](const auto& job) {
            return job->request.lane.isEmpty() || !busyLanes_.contains(job->request.lane);
        });
        if (next == waiting_.end())
            return;
        const std::shared_ptr<Job> job = *next;
        waiting_.erase(next);
        if (!job->request.lane.isEmpty())
            busyLanes_.insert(job->request.lane);
        ++inFlight_;
        start(job);
    }
}

void BridgeLink::start(const std::shared_ptr<Job>& job)
{
    QNetworkRequest request = bridgeRequest(url(scheme_, job->request.path), options_.timeoutMs);
    if (!job->request.body.isEmpty())
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));

    QNetworkReply* reply = nam_->sendCustomRequest(request, job->request.method, job->request.body);
    auto refused = std::make_shared<bool>(false);
    if (scheme_ == QLatin1String("https"))
        watchCertificate(reply, refused);
    connect(reply, &QNetworkReply::finished, this, [self = shared_from_this(), job, reply, refused] {
        if (*refused && self->state_ != State::Refused) {
            self->state_ = State::Refused;
            self->problem_ = QStringLiteral("its certificate no longer names bridge %1").arg(self->bridgeId_);
        }
        self->finished(job, reply);
    });
}

void BridgeLink::watchCertificate(QNetworkReply* reply, const std::shared_ptr<bool>& refused)
{
    connect(reply, &QNetworkReply::sslErrors, this, [this, reply, refused](const QList<QSslError>& errors) {
        if (onlyUnknownIssuer(errors) && acceptCertificate(peerCertificate(reply, errors)))
            reply->ignoreSslErrors(errors);
        else
            *refused = true; // the handshake fails, before anything of the request is sent
    });
    // A certificate the system trusts raises no errors, but it must still be the bridge's.
    connect(reply, &QNetworkReply::encrypted, this, [this, reply, refused] {
        if (!acceptCertificate(peerCertificate(reply))) {
            *refused = true;
            reply->abort();
        }
    });
}

void BridgeLink::finished(const std::shared_ptr<Job>& job, QNetworkReply* reply)
{
    reply->deleteLater();
    LinkReply answer;
    answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QString what = job->request.what;

    if (answer.status == 429 || answer.status == 503) {
        if (job->attempt < options_.maxAttempts) {
            // The lane stays taken, so nothing behind this request overtakes it.
            --inFlight_;
            const double wait = options_.backoffSeconds * job->attempt;
            ++job->attempt;
            ++backingOff_;
            MainQueue::shared().after(wait, [self = shared_from_this(), job] {
                --self->backingOff_;
                self->busyLanes_.remove(job->request.lane);
                self->waiting_.push_front(job);
                self->pump();
            });
            pump();
            return;
        }
        answer.error = QStringLiteral("the bridge stayed busy (HTTP %1) through %2 attempts")
                           .arg(answer.status)
                           .arg(job->attempt);
    } else if (answer.status >= 200 && answer.status < 300) {
        answer.ok = true;
        answer.body = reply->readAll();
    } else if (answer.status > 0) {
        answer.error = QStringLiteral("the bridge answered HTTP %1").arg(answer.status);
    } else if (state_ == State::Refused) {
        answer.error = QStringLiteral("refused the connection: ") + problem_;
    } else {
        answer.error = transportError(reply, options_.timeoutMs);
        // The bridge may have gone or changed; find out afresh before the next request.
        if (state_ == State::Ready)
            state_ = State::Unknown;
    }
    if (!answer.ok)
        printLine(QStringLiteral("Hue bridge at %1: %2 failed: %3").arg(host_, what, answer.error));
    complete(job, answer, true);
}

void BridgeLink::complete(const std::shared_ptr<Job>& job, const LinkReply& reply, bool inFlight)
{
    if (!job->request.lane.isEmpty())
        busyLanes_.remove(job->request.lane);
    if (inFlight)
        --inFlight_;
    if (job->request.done)
        job->request.done(reply);
    pump();
}

void BridgeLink::failWaiting(const QString& error)
{
    if (waiting_.empty())
        return;
    std::deque<std::shared_ptr<Job>> failed;
    failed.swap(waiting_);
    for (const auto& job : failed)
        printLine(QStringLiteral("Hue bridge at %1: %2 not sent: %3").arg(host_, job->request.what, error));
    // Completions always come later than the call that asked, as for an answer from the network.
    MainQueue::shared().after(0, [self = shared_from_this(), failed = std::move(failed), error] {
        LinkReply reply;
        reply.error = error;
        for (const auto& job : failed) {
            if (job->request.done)
                job->request.done(reply);
        }
    });
}

void BridgeLink::probe(int schemeIndex)
{
    const QString& scheme = kSchemes.at(schemeIndex);
    QNetworkReply* reply = probeNam_->get(
        bridgeRequest(url(scheme, {QStringLiteral("api"), QStringLiteral("config")}), options_.timeoutMs));

    auto seen = std::make_shared<QSslCertificate>();
    // This request carries nothing secret and its answer names the bridge id the certificate must
    // carry; the certificate is judged against it once the answer is in. The connection lives in
    // its own manager and is never reused for requests with the user name.
    connect(reply, &QNetworkReply::sslErrors, this, [reply, seen](const QList<QSslError>& errors) {
        *seen = peerCertificate(reply, errors);
        reply->ignoreSslErrors(errors);
    });
    connect(reply, &QNetworkReply::encrypted, this, [reply, seen] {
        if (seen->isNull())
            *seen = peerCertificate(reply);
    });
    connect(reply, &QNetworkReply::finished, this, [self = shared_from_this(), schemeIndex, reply, seen] {
        self->probeFinished(schemeIndex, reply, *seen);
    });
}

void BridgeLink::probeFinished(int schemeIndex, QNetworkReply* reply, const QSslCertificate& seen)
{
    reply->deleteLater();
    const QString& scheme = kSchemes.at(schemeIndex);
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();

    if (status == 0) {
        if (scheme == QLatin1String("https") && !spokeHttps_ && noHttpsThere(reply->error())) {
            probe(schemeIndex + 1);
            return;
        }
        probeDone(transportError(reply, options_.timeoutMs));
        return;
    }
    if (status != 200) {
        probeDone(QStringLiteral("the bridge answered HTTP %1").arg(status));
        return;
    }

    QString problem;
    const auto document = hue::parseAnswer(reply->readAll(), &problem);
    const QJsonObject config = document && document->isObject() ? document->object() : QJsonObject();
    const QString bridgeId = hue::bridgeIdFromConfig(config);
    if (bridgeId.isEmpty()) {
        probeDone(document ? QStringLiteral("it does not answer like a Hue bridge (no bridge id)")
                           : QStringLiteral("it does not answer like a Hue bridge (%1)").arg(problem));
        return;
    }

    // The user name was granted by one bridge; another one at the same address never gets it.
    if (!bridgeId_.isEmpty() && bridgeId_.compare(bridgeId, Qt::CaseInsensitive) != 0) {
        refuse(QStringLiteral("bridge %1 answers there now, not %2").arg(bridgeId, bridgeId_));
        return;
    }
    bridgeId_ = bridgeId;
    if (scheme == QLatin1String("https")) {
        const QSslCertificate certificate = seen.isNull() ? peerCertificate(reply) : seen;
        if (!acceptCertificate(certificate)) {
            refuse(QStringLiteral("its certificate names \"%1\", not its bridge id %2")
                       .arg(commonName(certificate), bridgeId_));
            return;
        }
        spokeHttps_ = true;
    }
    state_ = State::Ready;
    scheme_ = scheme;
    publicConfig_ = config;
    wakeConnectWaiters(QString());
    pump();
}

void BridgeLink::refuse(const QString& problem)
{
    state_ = State::Refused;
    problem_ = problem;
    printLine(QStringLiteral("Hue bridge at %1: not talking to it: %2").arg(host_, problem_));
    failWaiting(problem_);
    wakeConnectWaiters(problem_);
}

void BridgeLink::probeDone(const QString& error)
{
    state_ = State::Unknown;
    printLine(QStringLiteral("Hue bridge at %1: cannot reach it: %2").arg(host_, error));
    failWaiting(error);
    wakeConnectWaiters(error);
}

void BridgeLink::wakeConnectWaiters(const QString& error)
{
    for (auto& waiter : std::exchange(connectWaiters_, {}))
        waiter(error);
}

} // namespace orvel
