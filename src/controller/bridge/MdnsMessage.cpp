#include "controller/bridge/MdnsMessage.h"

#include <QStringList>

namespace orvel::mdns {

namespace {

constexpr int kMaxNameLength = 255;
constexpr int kMaxPointerJumps = 32;

class Reader {
public:
    explicit Reader(const QByteArray& packet)
        : data_(reinterpret_cast<const quint8*>(packet.constData()))
        , size_(packet.size())
    {}

    qsizetype size() const { return size_; }

    bool u16(qsizetype& at, quint16& value) const
    {
        if (at < 0 || at + 2 > size_)
            return false;
        value = static_cast<quint16>((data_[at] << 8) | data_[at + 1]);
        at += 2;
        return true;
    }

    bool u32(qsizetype& at, quint32& value) const
    {
        quint16 high = 0;
        quint16 low = 0;
        if (!u16(at, high) || !u16(at, low))
            return false;
        value = (quint32(high) << 16) | low;
        return true;
    }

    // Reads a possibly compressed name starting at `at`; `at` moves past the name's bytes in place.
    bool name(qsizetype& at, QString& out) const
    {
        QStringList labels;
        qsizetype pos = at;
        qsizetype resume = -1; // where reading goes on after the first pointer
        int jumps = 0;
        int length = 0;
        while (true) {
            if (pos < 0 || pos >= size_)
                return false;
            const quint8 len = data_[pos];
            if (len == 0) {
                ++pos;
                break;
            }
            if ((len & 0xC0) == 0xC0) {
                if (pos + 2 > size_ || ++jumps > kMaxPointerJumps)
                    return false;
                const qsizetype target = ((len & 0x3F) << 8) | data_[pos + 1];
                if (resume < 0)
                    resume = pos + 2;
                pos = target;
                continue;
            }
            if ((len & 0xC0) != 0)
                return false; // label types other than plain text are not in use
            if (pos + 1 + len > size_)
                return false;
            length += len + 1;
            if (length > kMaxNameLength)
                return false;
            labels << QString::fromUtf8(reinterpret_cast<const char*>(data_ + pos + 1), len);
            pos += 1 + len;
        }
        at = resume >= 0 ? resume : pos;
        out = labels.join(QLatin1Char('.'));
        return true;
    }

    const quint8* bytes(qsizetype at) const { return data_ + at; }

private:
    const quint8* data_;
    qsizetype size_;
};

bool readRecord(const Reader& reader, qsizetype& at, Record& record)
{
    quint16 recordClass = 0;
    quint32 ttl = 0;
    quint16 rdLength = 0;
    if (!reader.name(at, record.name) || !reader.u16(at, record.type) || !reader.u16(at, recordClass) ||
        !reader.u32(at, ttl) || !reader.u16(at, rdLength))
        return false;
    const qsizetype start = at;
    const qsizetype end = at + rdLength;
    if (end > reader.size())
        return false;

    qsizetype pos = start;
    switch (record.type) {
    case kTypePtr:
        if (!reader.name(pos, record.target) || pos > end)
            return false;
        break;
    case kTypeSrv: {
        quint16 priority = 0;
        quint16 weight = 0;
        if (!reader.u16(pos, priority) || !reader.u16(pos, weight) || !reader.u16(pos, record.port) ||
            !reader.name(pos, record.target) || pos > end)
            return false;
        break;
    }
    case kTypeTxt:
        while (pos < end) {
            const quint8 len = *reader.bytes(pos);
            if (pos + 1 + len > end)
                return false;
            const QString entry =
                QString::fromUtf8(reinterpret_cast<const char*>(reader.bytes(pos + 1)), len);
            pos += 1 + len;
            if (entry.isEmpty())
                continue;
            const qsizetype eq = entry.indexOf(QLatin1Char('='));
            const QString key = (eq < 0 ? entry : entry.left(eq)).toLower();
            if (!record.txt.contains(key)) // the first occurrence counts
                record.txt.insert(key, eq < 0 ? QString() : entry.mid(eq + 1));
        }
        break;
    case kTypeA: {
        quint32 ipv4 = 0;
        if (rdLength != 4 || !reader.u32(pos, ipv4))
            return false;
        record.address = QHostAddress(ipv4);
        break;
    }
    case kTypeAaaa:
        if (rdLength != 16)
            return false;
        record.address = QHostAddress(reader.bytes(start));
        break;
    default:
        break;
    }
    at = end;
    return true;
}

} // namespace

QByteArray buildQuery(quint16 id, const QString& service)
{
    QByteArray packet;
    const auto put16 = [&packet](quint16 value) {
        packet.append(char(value >> 8));
        packet.append(char(value & 0xFF));
    };
    put16(id);
    put16(0); // a standard query
    put16(1); // one question
    put16(0);
    put16(0);
    put16(0);
    const QStringList labels = service.split(QLatin1Char('.'), Qt::SkipEmptyParts);
    for (const QString& label : labels) {
        const QByteArray bytes = label.toUtf8().left(63);
        packet.append(char(bytes.size()));
        packet.append(bytes);
    }
    packet.append('\0');
    put16(kTypePtr);
    put16(1); // class IN
    return packet;
}

std::optional<std::vector<Record>> parseRecords(const QByteArray& packet)
{
    const Reader reader(packet);
    qsizetype at = 0;
    quint16 id = 0;
    quint16 flags = 0;
    quint16 counts[4] = {};
    if (!reader.u16(at, id) || !reader.u16(at, flags))
        return std::nullopt;
    for (quint16& count : counts) {
        if (!reader.u16(at, count))
            return std::nullopt;
    }
    if (!(flags & 0x8000))
        return std::vector<Record>{}; // a question (perhaps our own, looped back), not an answer

    for (int i = 0; i < counts[0]; ++i) {
        QString name;
        quint16 type = 0;
        quint16 questionClass = 0;
        if (!reader.name(at, name) || !reader.u16(at, type) || !reader.u16(at, questionClass))
            return std::nullopt;
    }
    std::vector<Record> records;
    const int total = counts[1] + counts[2] + counts[3];
    for (int i = 0; i < total; ++i) {
        Record record;
        if (!readRecord(reader, at, record))
            return std::nullopt;
        records.push_back(std::move(record));
    }
    return records;
}

std::optional<std::vector<Instance>> parseResponse(const QByteArray& packet, const QString& service)
{
    const auto records = parseRecords(packet);
    if (!records)
        return std::nullopt;

    const QString suffix = QLatin1Char('.') + service;
    QStringList names;
    for (const Record& record : *records) {
        QString name;
        if (record.type == kTypePtr && record.name.compare(service, Qt::CaseInsensitive) == 0)
            name = record.target;
        else if ((record.type == kTypeSrv || record.type == kTypeTxt) &&
                 record.name.endsWith(suffix, Qt::CaseInsensitive))
            name = record.name;
        if (!name.isEmpty() && !names.contains(name, Qt::CaseInsensitive))
            names << name;
    }

    std::vector<Instance> instances;
    for (const QString& name : names) {
        Instance instance;
        instance.name = name;
        for (const Record& record : *records) {
            if (record.name.compare(name, Qt::CaseInsensitive) != 0)
                continue;
            if (record.type == kTypeSrv && instance.host.isEmpty()) {
                instance.host = record.target;
                instance.port = record.port;
            } else if (record.type == kTypeTxt && instance.bridgeId.isEmpty()) {
                instance.bridgeId = record.txt.value(QStringLiteral("bridgeid"));
            }
        }
        const QString addressOwner = instance.host.isEmpty() ? name : instance.host;
        for (const Record& record : *records) {
            if (record.name.compare(addressOwner, Qt::CaseInsensitive) != 0)
                continue;
            if (record.type == kTypeA) {
                instance.address = record.address;
                break; // IPv4 preferred
            }
            if (record.type == kTypeAaaa && instance.address.isNull())
                instance.address = record.address;
        }
        instances.push_back(std::move(instance));
    }
    return instances;
}

} // namespace orvel::mdns
