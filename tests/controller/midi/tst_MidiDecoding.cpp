#include "controller/midi/MidiDecoder.h"
#include "controller/midi/MidiInbox.h"
#include "controller/midi/RtMidiEndpoints.h"
#include "platform/Console.h"
#include "support/TestMain.h"

#include <QObject>
#include <QTest>

using namespace orvel;

namespace {

QByteArray hex(const char* text)
{
    return QByteArray::fromHex(text);
}

} // namespace

class TestMidiDecoding : public QObject {
    Q_OBJECT

private slots:
    void decoding_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("decoded"); // type in hex, data1, data2, channel; empty when rejected

        QTest::newRow("note on, channel 1") << hex("905f7f") << "9f 95 127 ch0";
        QTest::newRow("note off") << hex("851940") << "8f 25 64 ch5";
        QTest::newRow("control change") << hex("b32c44") << "bf 44 68 ch3";
        QTest::newRow("program change") << hex("c507") << "cf 7 0 ch5";
        QTest::newRow("channel pressure") << hex("d040") << "df 64 0 ch0";
        QTest::newRow("pitch bend") << hex("e00040") << "ef 0 64 ch0";
        QTest::newRow("song position") << hex("f20102") << "f2 1 2 ch2";
        QTest::newRow("timing clock") << hex("f8") << "f8 0 0 ch8";
        QTest::newRow("system exclusive") << hex("f07e7f0901f7") << "f0 0 0 ch0";

        QTest::newRow("empty") << QByteArray() << "";
        QTest::newRow("running status (starts with a data byte)") << hex("5f7f") << "";
        QTest::newRow("note on one data byte short") << hex("905f") << "";
        QTest::newRow("overlong note on") << hex("905f7f00") << "";
        QTest::newRow("two note ons packed together") << hex("905f7f90197f") << "";
        QTest::newRow("program change with two data bytes") << hex("c00700") << "";
        QTest::newRow("status byte as data byte") << hex("905f80") << "";
        QTest::newRow("system exclusive without its end") << hex("f07e7f09") << "";
        QTest::newRow("system exclusive cut by a status byte") << hex("f07e90f7") << "";
        QTest::newRow("end of exclusive alone") << hex("f7") << "";
        QTest::newRow("undefined f4") << hex("f4") << "";
        QTest::newRow("timing clock with a data byte") << hex("f800") << "";
        QTest::newRow("song position one byte short") << hex("f201") << "";
    }

    void decoding()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, decoded);
        // A heap copy of exactly the right size, so that a sanitizer build catches any read past it.
        const auto command = decodeMidi(std::vector<unsigned char>(bytes.begin(), bytes.end()));
        QCOMPARE(command.has_value(), !decoded.isEmpty());
        if (command) {
            QCOMPARE(QStringLiteral("%1 %2 %3 ch%4")
                         .arg(command->commandType, 0, 16)
                         .arg(command->data1)
                         .arg(command->data2)
                         .arg(command->channel()),
                     decoded);
            QCOMPARE(command->bytes, bytes);
        }
    }

    void neverReadsPastTheGivenLength()
    {
        const unsigned char buffer[] = {0x90, 0x5F, 0x7F, 0xF0, 0x01, 0xF7};
        QVERIFY(!decodeMidi(buffer, 2).has_value());
        QVERIFY(decodeMidi(buffer, 3).has_value());
        QVERIFY(!decodeMidi(buffer + 3, 2).has_value()); // the closing 0xF7 lies beyond the length
        QVERIFY(!decodeMidi(nullptr, 3).has_value());
    }

    void inboxBatchesInArrivalOrderAndReportsMalformed()
    {
        ConsoleCapture console;
        MidiInbox inbox;
        const unsigned char on[] = {0x90, 95, 127};
        const unsigned char shortOn[] = {0x90, 95};
        const unsigned char cc[] = {0xB0, 44, 68};

        QVERIFY(inbox.push(on, sizeof on)); // first of a batch: the caller must ask for a drain
        QVERIFY(!inbox.push(shortOn, sizeof shortOn));
        QVERIFY(!inbox.push(nullptr, 0));
        QVERIFY(!inbox.push(cc, sizeof cc));

        const std::vector<MidiCommand> batch = inbox.drain();
        QCOMPARE(batch.size(), std::size_t(2));
        QCOMPARE(batch[0].commandType, MidiCommand::kNoteOn);
        QCOMPARE(batch[1].commandType, MidiCommand::kControlChange);
        QCOMPARE(console.lines(), QStringList({"ignored malformed MIDI message: 90 5f",
                                               "ignored malformed MIDI message: (empty)"}));
        QVERIFY(inbox.drain().empty());
        QVERIFY(inbox.push(on, sizeof on)); // empty again: the next message starts a new batch
    }

    void wireBytes()
    {
        // Type, data 1, received bytes; what goes on the wire, or "-" when it cannot be sent.
        const struct {
            quint8 type, data1;
            const char *received, *wire;
        } cases[] = {
            {0, 0, "", ""},                 // the empty command puts nothing on the wire
            {0x9F, 25, "9a1900", "9a1900"}, // received bytes go out as they came
            {0x9F, 95, "", "905f7f"},       // made from type and data
            {0xCF, 5, "", "c005"},          // one data byte only
            {0x9F, 200, "", "-"},           // data out of range
            {0x42, 0, "", "-"},             // a type that is no status
            {0x9F, 95, "905f", "-"},        // malformed received bytes
        };
        for (const auto& c : cases) {
            const MidiCommand command{c.type, c.data1, quint8(c.type ? 127 : 0), hex(c.received)};
            QByteArray bytes = "stale";
            QString error;
            const bool sent = RtMidiEndpoints::wireBytes(command, &bytes, &error);
            QCOMPARE(sent ? bytes.toHex() : QByteArray("-"), QByteArray(c.wire));
            QCOMPARE(error.isEmpty(), sent);
        }
    }

    void unusableApiChoiceGivesNoEndpoints()
    {
        for (const QString reason : {"ORVEL_MIDI_API=none", "\"coremidi\""}) {
            qputenv("ORVEL_MIDI_API", reason.contains('=') ? "none" : "coremidi");
            RtMidiEndpoints endpoints;
            qunsetenv("ORVEL_MIDI_API");
            QString error;
            QVERIFY(!endpoints.createDestination("Orvel", {}, &error));
            QVERIFY2(error.contains(reason), qPrintable(error));
            error.clear();
            QVERIFY(!endpoints.createSource("Orvel Input", &error));
            QVERIFY2(error.contains(reason), qPrintable(error));
        }
    }
};

ORVEL_TEST_MAIN(TestMidiDecoding)
#include "tst_MidiDecoding.moc"
