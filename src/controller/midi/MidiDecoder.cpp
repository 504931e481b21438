#include "controller/midi/MidiDecoder.h"

namespace orvel {

namespace {

constexpr bool isData(unsigned char byte)
{
    return byte < 0x80;
}

// Data bytes each system common and real-time kind carries; -1 marks a kind we do not accept
// (undefined, or only meaningful inside system exclusive).
int systemDataLength(unsigned char status)
{
    switch (status) {
    case 0xF1: // time code quarter frame
    case 0xF3: // song select
        return 1;
    case 0xF2: // song position
        return 2;
    case 0xF6: // tune request
    case 0xF8: // timing clock
    case 0xFA: // start
    case 0xFB: // continue
    case 0xFC: // stop
    case 0xFE: // active sensing
    case 0xFF: // system reset
        return 0;
    default: // 0xF4, 0xF5, 0xF9, 0xFD undefined; 0xF7 alone; 0xF0 handled apart
        return -1;
    }
}

MidiCommand makeCommand(quint8 commandType, const unsigned char* data, std::size_t size)
{
    MidiCommand command;
    command.commandType = commandType;
    if (size > 1)
        command.data1 = data[1];
    if (size > 2)
        command.data2 = data[2];
    command.bytes = QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    return command;
}

} // namespace

std::optional<MidiCommand> decodeMidi(const unsigned char* data, std::size_t size)
{
    if (data == nullptr || size == 0)
        return std::nullopt;
    const unsigned char status = data[0];
    if (isData(status)) // running status: the status byte lives in an earlier message we never saw
        return std::nullopt;

    if (status == 0xF0) {
        if (size < 2 || data[size - 1] != 0xF7)
            return std::nullopt;
        for (std::size_t i = 1; i + 1 < size; ++i) {
            if (!isData(data[i]))
                return std::nullopt;
        }
        MidiCommand command;
        command.commandType = status;
        command.bytes = QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
        return command;
    }

    int dataLength = 0;
    quint8 commandType = status;
    if (status < 0xF0) {
        const unsigned char kind = status & 0xF0;
        dataLength = (kind == 0xC0 || kind == 0xD0) ? 1 : 2;
        commandType = static_cast<quint8>(status | 0x0F);
    } else {
        dataLength = systemDataLength(status);
        if (dataLength < 0)
            return std::nullopt;
    }

    if (size != static_cast<std::size_t>(dataLength) + 1)
        return std::nullopt;
    for (std::size_t i = 1; i < size; ++i) {
        if (!isData(data[i]))
            return std::nullopt;
    }
    return makeCommand(commandType, data, size);
}

std::optional<MidiCommand> decodeMidi(const std::vector<unsigned char>& message)
{
    return decodeMidi(message.data(), message.size());
}

QString midiBytesText(const unsigned char* data, std::size_t size)
{
    if (data == nullptr || size == 0)
        return QStringLiteral("(empty)");
    const QByteArray raw(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    return QString::fromLatin1(raw.toHex(' '));
}

} // namespace orvel
