#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QMap>
#include <QString>

#include <optional>
#include <vector>

// The little of DNS-SD over multicast DNS that finding bridges needs: one question for a service
// type, and the PTR, SRV, TXT and A records of the answers. Packets come from anyone on the
// network, so every length and offset is checked before it is used.
namespace orvel::mdns {

inline constexpr quint16 kTypeA = 1;
inline constexpr quint16 kTypePtr = 12;
inline constexpr quint16 kTypeTxt = 16;
inline constexpr quint16 kTypeAaaa = 28;
inline constexpr quint16 kTypeSrv = 33;

// A PTR question for `service` ("_hue._tcp.local").
QByteArray buildQuery(quint16 id, const QString& service);

// One resource record as read from a packet; names are dotted, without the final dot.
struct Record {
    QString name;
    quint16 type = 0;
    QString target;             // PTR: the instance name; SRV: the host name
    quint16 port = 0;           // SRV
    QMap<QString, QString> txt; // TXT: keys in lower case
    QHostAddress address;       // A, AAAA
};

// All records of the answer, authority and additional sections; nullopt when the packet is
// malformed anywhere (a partly read packet is not trusted).
std::optional<std::vector<Record>> parseRecords(const QByteArray& packet);

// One instance of the service, put together from its records.
struct Instance {
    QString name;         // "Philips Hue - 0A0B0C._hue._tcp.local"
    QString host;         // SRV target, empty when the packet had no SRV record
    quint16 port = 0;     // SRV port, 0 when none
    QHostAddress address; // from an A record of the SRV target (or of the instance), null when none
    QString bridgeId;     // TXT "bridgeid", as sent
};

// The instances of `service` a response packet announces; nullopt when it is malformed.
std::optional<std::vector<Instance>> parseResponse(const QByteArray& packet, const QString& service);

} // namespace orvel::mdns
