#include "controller/bridge/HttpHueDiscovery.h"

#include "controller/bridge/MdnsMessage.h"
#include "hue/HueJson.h"
#include "platform/MainQueue.h"

#include <QJsonArray>
#include <QNetworkAccessManager>
#include <QNetworkDatagram>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>
#include <QRandomGenerator>
#include <QSet>
#include <QUdpSocket>

namespace orvel {

namespace {

const QString kService = QStringLiteral("_hue._tcp.local");

// A bridge sits on the local network. An address elsewhere, from the cloud list or an mDNS record,
// is not one to hand the user name to later.
bool isLocalAddress(const QHostAddress& address)
{
    if (address.isLoopback() || address.isLinkLocal() || address.isUniqueLocalUnicast() ||
        address.isSiteLocal())
        return true;
    static const QList<QPair<QHostAddress, int>> privateNets = {
        QHostAddress::parseSubnet(QStringLiteral("10.0.0.0/8")),
        QHostAddress::parseSubnet(QStringLiteral("172.16.0.0/12")),
        QHostAddress::parseSubnet(QStringLiteral("192.168.0.0/16")),
    };
    return std::any_of(privateNets.cbegin(), privateNets.cend(),
                       [&](const auto& net) { return address.isInSubnet(net); });
}

// "192.168.1.20" for the usual ports (the client tries 443, then 80), "192.168.1.20:8080" otherwise.
QString hostText(QHostAddress address, int port)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (isV4)
        address = QHostAddress(v4);
    QString text = address.toString();
    if (port <= 0 || port > 65535 || port == 443 || port == 80)
        return text;
    return address.protocol() == QAbstractSocket::IPv6Protocol ? QStringLiteral("[%1]:%2").arg(text).arg(port)
                                                               : QStringLiteral("%1:%2").arg(text).arg(port);
}

} // namespace

// One search: its sockets, its candidates and its log. Steps and answers that come after the end
// find it finished (or gone) and do nothing.
class HttpHueDiscovery::Run : public QObject, public std::enable_shared_from_this<Run> {
public:
    Run(HueDiscoveryDelegate* delegate, const DiscoveryOptions& options,
        std::function<void(const QString&)> done)
        : delegate_(delegate)
        , options_(options)
        , done_(std::move(done))
    {}

    void start(int seconds)
    {
        std::weak_ptr<Run> weak = shared_from_this();
        MainQueue::shared().after(std::max(0, seconds), [weak] {
            if (auto run = weak.lock())
                run->finish();
        });
        if (options_.useMdns)
            startMdns();
        if (options_.useCloud)
            startCloud();
        for (const QString& host : options_.hosts) {
            if (!host.trimmed().isEmpty())
                consider(host.trimmed(), QStringLiteral("given host"));
        }
    }

    bool isFinished() const { return finished_; }

private:
    void log(const QString& line) { log_ << line; }

    void finish()
    {
        if (finished_)
            return;
        finished_ = true;
        if (socket_)
            socket_->close();
        log(QStringLiteral("finished: %1 bridge(s) found").arg(reportedIds_.size()));
        if (done_)
            done_(log_.join(QLatin1Char('\n')));
    }

    void consider(const QString& host, const QString& how)
    {
        if (finished_)
            return;
        const QString key = host.toLower();
        if (candidates_.contains(key)) {
            log(QStringLiteral("%1: %2 again").arg(how, host));
            return;
        }
        candidates_.insert(key);
        log(QStringLiteral("%1: checking %2").arg(how, host));

        auto link = BridgeLink::create(host, options_.check);
        checks_.push_back(link);
        std::weak_ptr<Run> weakRun = shared_from_this();
        std::weak_ptr<BridgeLink> weakLink = link;
        link->connectBridge([weakRun, weakLink, host](const QString& error) {
            const auto run = weakRun.lock();
            const auto link = weakLink.lock();
            if (run && link && !run->finished_)
                run->checked(host, *link, error);
        });
    }

    void checked(const QString& host, const BridgeLink& link, const QString& error)
    {
        if (!error.isEmpty()) {
            log(QStringLiteral("%1: no bridge: %2").arg(host, error));
            return;
        }
        const QString& id = link.bridgeId();
        log(QStringLiteral("%1: bridge %2 \"%3\" over %4")
                .arg(host, id, link.publicConfig().value(QStringLiteral("name")).toString(), link.scheme()));
        if (reportedIds_.contains(id.toLower())) {
            log(QStringLiteral("%1: bridge %2 was already reported").arg(host, id));
            return;
        }
        reportedIds_.insert(id.toLower());
        log(QStringLiteral("found %1").arg(host));
        if (delegate_)
            delegate_->foundHueAt(host, log_.join(QLatin1Char('\n')));
    }

    // An address that mDNS or the cloud lookup named; `how` is also the prefix of its log lines.
    void considerAddress(const QHostAddress& address, int port, const QString& how)
    {
        if (!isLocalAddress(address)) {
            log(QStringLiteral("%1: %2 is not a local address; skipped").arg(how, address.toString()));
            return;
        }
        consider(hostText(address, port), how);
    }

    // -- mDNS -------------------------------------------------------------------------------------

    void startMdns()
    {
        socket_ = new QUdpSocket(this);
        const bool v6 = options_.mdnsAddress.protocol() == QAbstractSocket::IPv6Protocol;
        // From a port other than 5353 the question is a "legacy unicast" one, which responders
        // answer straight to the asking socket; no group membership is needed to hear them.
        if (!socket_->bind(v6 ? QHostAddress::AnyIPv6 : QHostAddress::AnyIPv4, 0)) {
            log(QStringLiteral("mDNS: cannot open a socket: ") + socket_->errorString());
            return;
        }
        if (options_.mdnsAddress.isMulticast())
            socket_->setSocketOption(QAbstractSocket::MulticastTtlOption, 255);
        QObject::connect(socket_, &QUdpSocket::readyRead, this, [this] { readMdns(); });
        queryId_ = static_cast<quint16>(QRandomGenerator::global()->bounded(1, 0x10000));
        sendMdnsQuery();
        std::weak_ptr<Run> weak = shared_from_this();
        MainQueue::shared().after(options_.mdnsRepeatSeconds, [weak] {
            if (auto run = weak.lock(); run && !run->finished_)
                run->sendMdnsQuery();
        });
    }

    void sendMdnsQuery()
    {
        const QString to =
            QStringLiteral("%1:%2").arg(options_.mdnsAddress.toString()).arg(options_.mdnsPort);
        const qint64 sent = socket_->writeDatagram(mdns::buildQuery(queryId_, kService), options_.mdnsAddress,
                                                   options_.mdnsPort);
        if (sent < 0)
            log(QStringLiteral("mDNS: cannot ask %1: %2").arg(to, socket_->errorString()));
        else
            log(QStringLiteral("mDNS: asked %1 for %2").arg(to, kService));
    }

    void readMdns()
    {
        while (socket_->hasPendingDatagrams()) {
            const QNetworkDatagram datagram = socket_->receiveDatagram(9000);
            if (finished_)
                continue;
            const QString from = datagram.senderAddress().toString();
            const auto instances = mdns::parseResponse(datagram.data(), kService);
            if (!instances) {
                log(QStringLiteral("mDNS: ignored a malformed answer from ") + from);
                continue;
            }
            for (const mdns::Instance& instance : *instances) {
                const QHostAddress address =
                    instance.address.isNull() ? datagram.senderAddress() : instance.address;
                log(QStringLiteral("mDNS: \"%1\" (bridge id %2) at %3 port %4")
                        .arg(instance.name,
                             instance.bridgeId.isEmpty() ? QStringLiteral("?") : instance.bridgeId,
                             address.toString())
                        .arg(instance.port));
                considerAddress(address, instance.port, QStringLiteral("mDNS"));
            }
        }
    }

    // -- cloud lookup -----------------------------------------------------------------------------

    void startCloud()
    {
        const QString scheme = options_.cloudUrl.scheme();
        if (scheme != QLatin1String("https") && scheme != QLatin1String("http")) {
            log(QStringLiteral("cloud: not an http(s) address: ") + options_.cloudUrl.toString());
            return;
        }
        nam_ = new QNetworkAccessManager(this);
        QNetworkRequest request(options_.cloudUrl);
        request.setTransferTimeout(options_.timeoutMs);
        QNetworkReply* reply = nam_->get(request);
        log(QStringLiteral("cloud: asked ") + options_.cloudUrl.toString());
        std::weak_ptr<Run> weak = shared_from_this();
        QObject::connect(reply, &QNetworkReply::finished, this, [weak, reply] {
            reply->deleteLater();
            if (auto run = weak.lock(); run && !run->finished_)
                run->cloudAnswered(reply);
        });
    }

    void cloudAnswered(QNetworkReply* reply)
    {
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (status == 429) {
            log(QStringLiteral("cloud: rate-limited (HTTP 429); the lookup allows few requests per address"));
            return;
        }
        if (status == 0) {
            log(QStringLiteral("cloud: no answer: ") + reply->errorString());
            return;
        }
        if (status != 200) {
            log(QStringLiteral("cloud: answered HTTP %1").arg(status));
            return;
        }
        QString problem;
        int skipped = 0;
        const auto bridges = hue::parseCloudBridges(reply->readAll(), &problem, &skipped);
        if (!bridges) {
            log(QStringLiteral("cloud: the answer is not a list of bridges") +
                (problem.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(problem)));
            return;
        }
        log(QStringLiteral("cloud: %1 bridge(s) listed").arg(bridges->size() + std::size_t(skipped)));
        for (int i = 0; i < skipped; ++i)
            log(QStringLiteral("cloud: skipped an entry without a usable address"));
        for (const hue::CloudBridge& bridge : *bridges) {
            log(QStringLiteral("cloud: bridge %1 at %2%3")
                    .arg(bridge.id, bridge.address.toString(),
                         bridge.port > 0 ? QStringLiteral(" port %1").arg(bridge.port) : QString()));
            considerAddress(bridge.address, bridge.port, QStringLiteral("cloud"));
        }
    }

    HueDiscoveryDelegate* delegate_;
    DiscoveryOptions options_;
    std::function<void(const QString&)> done_;
    QStringList log_;
    bool finished_ = false;

    QSet<QString> candidates_;
    QSet<QString> reportedIds_;
    std::vector<std::shared_ptr<BridgeLink>> checks_;
    QUdpSocket* socket_ = nullptr;
    QNetworkAccessManager* nam_ = nullptr;
    quint16 queryId_ = 0;
};

HttpHueDiscovery::HttpHueDiscovery(HueDiscoveryDelegate* delegate, DiscoveryOptions options)
    : delegate_(delegate)
    , options_(std::move(options))
{}

HttpHueDiscovery::~HttpHueDiscovery() = default;

void HttpHueDiscovery::discoverForDuration(int seconds, std::function<void(const QString& log)> done)
{
    std::erase_if(runs_, [](const auto& run) { return run->isFinished(); });
    // Released with deleteLater: the last reference may go from inside one of its own signals.
    auto run =
        std::shared_ptr<Run>(new Run(delegate_, options_, std::move(done)), [](Run* r) { r->deleteLater(); });
    runs_.push_back(run);
    run->start(seconds);
}

} // namespace orvel
