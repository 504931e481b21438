#include "controller/midi/MidiEndpoints.h"

namespace orvel {

QString MidiCommand::description() const
{
    const QString channelText = QStringLiteral("channel %1").arg(channel() + 1);
    switch (commandType) {
    case 0x8F:
        return QStringLiteral("NoteOff %1 note %2 velocity %3").arg(channelText).arg(note()).arg(velocity());
    case 0x9F:
        return QStringLiteral("NoteOn %1 note %2 velocity %3").arg(channelText).arg(note()).arg(velocity());
    case 0xAF:
        return QStringLiteral("PolyphonicPressure %1 note %2 pressure %3")
            .arg(channelText)
            .arg(data1)
            .arg(data2);
    case 0xBF:
        return QStringLiteral("ControlChange %1 controller %2 value %3")
            .arg(channelText)
            .arg(controllerNumber())
            .arg(controllerValue());
    case 0xCF:
        return QStringLiteral("ProgramChange %1 program %2").arg(channelText).arg(data1);
    case 0xDF:
        return QStringLiteral("ChannelPressure %1 pressure %2").arg(channelText).arg(data1);
    case 0xEF:
        // 14 bits, 8192 in the middle.
        return QStringLiteral("PitchBend %1 value %2").arg(channelText).arg((data2 << 7) | data1);
    case 0xF0:
        return QStringLiteral("SystemExclusive %1 bytes").arg(bytes.size());
    case 0xF1:
        return QStringLiteral("TimeCodeQuarterFrame value %1").arg(data1);
    case 0xF2:
        return QStringLiteral("SongPosition %1").arg((data2 << 7) | data1);
    case 0xF3:
        return QStringLiteral("SongSelect song %1").arg(data1);
    case 0xF6:
        return QStringLiteral("TuneRequest");
    case 0xF8:
        return QStringLiteral("TimingClock");
    case 0xFA:
        return QStringLiteral("Start");
    case 0xFB:
        return QStringLiteral("Continue");
    case 0xFC:
        return QStringLiteral("Stop");
    case 0xFE:
        return QStringLiteral("ActiveSensing");
    case 0xFF:
        return QStringLiteral("SystemReset");
    case 0:
        if (bytes.isEmpty())
            return QStringLiteral("EmptyCommand");
        break;
    default:
        break;
    }
    return QStringLiteral("Command 0x%1 data %2 %3")
        .arg(commandType, 2, 16, QLatin1Char('0'))
        .arg(data1)
        .arg(data2);
}

} // namespace orvel
