// mDNS datagrams: anyone on the network may send them.
#include "FuzzCheck.h"

#include "controller/bridge/MdnsMessage.h"

using namespace orvel;

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size)
{
    const QByteArray packet = fuzz::bytes(data, size);
    const QString service = QStringLiteral("_hue._tcp.local");

    const auto records = mdns::parseRecords(packet);
    const auto instances = mdns::parseResponse(packet, service);
    FUZZ_CHECK(records.has_value() == instances.has_value());
    if (records) {
        for (const mdns::Record& record : *records) {
            if (record.type == mdns::kTypeA)
                FUZZ_CHECK(record.address.protocol() == QAbstractSocket::IPv4Protocol);
            for (auto it = record.txt.cbegin(); it != record.txt.cend(); ++it)
                FUZZ_CHECK(it.key() == it.key().toLower());
        }
    }
    if (instances) {
        QStringList names;
        for (const mdns::Instance& instance : *instances) {
            FUZZ_CHECK(!instance.name.isEmpty());
            FUZZ_CHECK(!names.contains(instance.name, Qt::CaseInsensitive));
            names << instance.name;
            FUZZ_CHECK(instance.address.isNull() ||
                       instance.address.protocol() == QAbstractSocket::IPv4Protocol ||
                       instance.address.protocol() == QAbstractSocket::IPv6Protocol);
        }
    }

    // Our own question, looped back, is never read as an answer.
    if (size >= 2) {
        const quint16 id = static_cast<quint16>((data[0] << 8) | data[1]);
        const auto question = mdns::parseRecords(mdns::buildQuery(id, QString::fromUtf8(packet.mid(2))));
        FUZZ_CHECK(question && question->empty());
    }
    return 0;
}
