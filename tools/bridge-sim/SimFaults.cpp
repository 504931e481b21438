#include "SimImpl.h"

#include <QTimer>

namespace orvel::sim {

using namespace detail;

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

} // namespace orvel::sim
