#pragma once

#include <QByteArray>
#include <QList>

namespace orvel::test {

// What a Mackie Control host sends a surface it has just met (about 950 messages): the LCD,
// faders, V-Pot rings, meters, timecode digits and every LED off, among them the Record LED
// (note 95) off twice and strip 2's Select (note 25) off six times.
inline QList<QByteArray> dawStartupBurst()
{
    QList<QByteArray> burst;
    auto add = [&burst](std::initializer_list<int> bytes) {
        QByteArray message;
        for (int b : bytes)
            message.append(char(b));
        burst << message;
    };
    burst << QByteArray::fromHex("f0000066141200") + QByteArray(56, ' ') + QByteArray::fromHex("f7");
    for (int round = 0; round < 6; ++round) {
        for (int strip = 0; strip < 9; ++strip)
            add({0xE0 + strip, 0, 0});
        for (int pot = 0x30; pot < 0x38; ++pot)
            add({0xB0, pot, 0});
        for (int meter = 0; meter < 8; ++meter)
            add({0xD0, meter << 4});
        for (int digit = 0x40; digit < 0x4C; ++digit)
            add({0xB0, digit, 0x30});
        for (int led = 0; led < 0x76; ++led) {
            if (led != 0x5F || round < 2)
                add({0x90, led, 0});
        }
    }
    return burst;
}

} // namespace orvel::test
