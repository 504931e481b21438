#include "controller/midi/MidiDecoder.h"
#include "controller/midi/MidiInbox.h"
#include "controller/midi/RtMidiEndpoints.h"
#include "platform/Console.h"
#include "support/TestMain.h"

using namespace orvel;

namespace {

// Type in hex, data1, data2, channel of what the bytes (in hex) decode to.
QString decoded(const char* text)
{
    const QByteArray bytes = QByteArray::fromHex(text);
    // A heap copy of exactly the right size, so that a sanitizer build catches any read past it.
    const auto command = decodeMidi(std::vector<unsigned char>(bytes.begin(), bytes.end()));
    return !command
               ? u"rejected"_qs
               : QString::asprintf("%x %d %d ch%d%s", command->commandType, command->data1, command->data2,
                                   command->channel(), command->bytes == bytes ? "" : " changed");
}

} // namespace

class TestMidiDecoding : public QObject {
    Q_OBJECT

private slots:
    void decodingNeverReadsPastTheGivenLengthAndTheInboxBatches()
    {
        const struct {
            const char *bytes, *decoded;
        } cases[] = {
            {"905f7f", "9f 95 127 ch0"}, {"851940", "8f 25 64 ch5"}, {"b32c44", "bf 44 68 ch3"},
            {"c507", "cf 7 0 ch5"},      {"d040", "df 64 0 ch0"},    {"e00040", "ef 0 64 ch0"},
            {"f20102", "f2 1 2 ch2"},    {"f8", "f8 0 0 ch8"},       {"f07e7f0901f7", "f0 0 0 ch0"},
        };
        for (const auto& c : cases)
            QCOMPARE(decoded(c.bytes), QString(c.decoded));
        // Empty, running status, short, overlong, two packed, status as data, sysex without its end or
        // cut by a status byte, a lone end of exclusive, undefined f4, clock with data, short song position.
        for (const char* bytes : {"", "5f7f", "905f", "905f7f00", "905f7f90197f", "c00700", "905f80",
                                  "f07e7f09", "f07e90f7", "f7", "f4", "f800", "f201"})
            QCOMPARE(decoded(bytes), "rejected");

        const unsigned char buffer[] = {0x90, 0x5F, 0x7F, 0xF0, 0x01, 0xF7};
        // The closing 0xF7 of the second message lies beyond the length.
        QCOMPARE(QList<bool>({decodeMidi(buffer, 2).has_value(), decodeMidi(buffer, 3).has_value(),
                              decodeMidi(buffer + 3, 2).has_value(), decodeMidi(nullptr, 3).has_value()}),
                 QList<bool>({false, true, false, false}));

        // The inbox batches in arrival order and reports malformed messages.
        ConsoleCapture console;
        MidiInbox inbox;
        const unsigned char on[] = {0x90, 95, 127}, shortOn[] = {0x90, 95}, cc[] = {0xB0, 44, 68};
        // Only the first of a batch asks the caller for a drain.
        QCOMPARE(QList<bool>({inbox.push(on, sizeof on), inbox.push(shortOn, sizeof shortOn),
                              inbox.push(nullptr, 0), inbox.push(cc, sizeof cc), inbox.push(on, sizeof on)}),
                 QList<bool>({true, false, false, false, false}));
        QStringList batch;
        for (const MidiCommand& command : inbox.drain())
            batch << command.bytes.toHex();
        QCOMPARE(batch, QStringList({"905f7f", "b02c44", "905f7f"}));
        QCOMPARE(console.lines(), QStringList({"ignored malformed MIDI message: 90 5f",
                                               "ignored malformed MIDI message: (empty)"}));
        QVERIFY(inbox.drain().empty());
        QVERIFY(inbox.push(on, sizeof on)); // empty again: the next message starts a new batch
    }

    void wireBytesAndNoEndpointsForAnUnusableApi()
    {
        // Type, data 1, received bytes; what goes on the wire, or "-" when it cannot be sent. The empty
        // command puts nothing on the wire, received bytes go out as they came, others are made from
        // type and data (one data byte for a program change); data out of range, a type that is no
        // status and malformed received bytes cannot go.
        const struct {
            quint8 type, data1;
            const char *received, *wire;
        } cases[] = {{0, 0, "", ""},         {0x9F, 25, "9a1900", "9a1900"}, {0x9F, 95, "", "905f7f"},
                     {0xCF, 5, "", "c005"},  {0x9F, 200, "", "-"},           {0x42, 0, "", "-"},
                     {0x9F, 95, "905f", "-"}};
        for (const auto& c : cases) {
            const MidiCommand command{c.type, c.data1, quint8(c.type ? 127 : 0),
                                      QByteArray::fromHex(c.received)};
            QByteArray bytes = "stale";
            QString error;
            const bool sent = RtMidiEndpoints::wireBytes(command, &bytes, &error);
            QCOMPARE(sent ? bytes.toHex() : QByteArray("-"), QByteArray(c.wire));
            QCOMPARE(error.isEmpty(), sent);
        }
        // An unusable API choice gives no endpoints.
        for (const QString reason : {"ORVEL_MIDI_API=none", "\"coremidi\""}) {
            qputenv("ORVEL_MIDI_API", reason.contains('=') ? "none" : "coremidi");
            RtMidiEndpoints endpoints;
            qunsetenv("ORVEL_MIDI_API");
            QString error, sourceError;
            QVERIFY(!endpoints.createDestination("Orvel", {}, &error));
            QVERIFY(!endpoints.createSource("Orvel Input", &sourceError));
            QVERIFY2(error.contains(reason) && sourceError.contains(reason), qPrintable(error + sourceError));
        }
    }
};

ORVEL_TEST_MAIN(TestMidiDecoding)
#include "tst_MidiDecoding.moc"
