#pragma once

#include <QByteArray>
#include <QList>

namespace orvel::daw {

// What a Mackie Control host sends a surface it has just met (about 950 messages): the LCD,
// faders, V-Pot rings, meters, timecode digits and every LED off, among them the Record LED
// (note 95) off twice and strip 2's Select (note 25) off six times.
inline QList<QByteArray> dawStartupBurst()
{
    QList<QByteArray> burst{QByteArray::fromHex("f0000066141200") + QByteArray(56, ' ') +
                            QByteArray::fromHex("f7")};
    auto add = [&burst](std::initializer_list<char> bytes) {
        burst << QByteArray(bytes.begin(), qsizetype(bytes.size()));
    };
    for (int round = 0; round < 6; ++round) {
        for (int strip = 0; strip < 9; ++strip)
            add({char(0xE0 + strip), 0, 0});
        for (int pot = 0x30; pot < 0x38; ++pot)
            add({char(0xB0), char(pot), 0});
        for (int meter = 0; meter < 8; ++meter)
            add({char(0xD0), char(meter << 4)});
        for (int digit = 0x40; digit < 0x4C; ++digit)
            add({char(0xB0), char(digit), 0x30});
        for (int led = 0; led < 0x76; ++led) {
            if (led != 0x5F || round < 2)
                add({char(0x90), char(led), 0});
        }
    }
    return burst;
}

} // namespace orvel::daw
