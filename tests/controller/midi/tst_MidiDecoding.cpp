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

std::optional<MidiCommand> decodeExact(const QByteArray& bytes)
{
    // A heap copy of exactly the right size, so that a sanitizer build catches any read past it.
    const std::vector<unsigned char> message(bytes.begin(), bytes.end());
    return decodeMidi(message);
}

} // namespace

class TestMidiDecoding : public QObject {
    Q_OBJECT

private slots:
    void decodesWellFormedMessages_data();
    void decodesWellFormedMessages();
    void rejectsWhatIsNotOneCompleteMessage_data();
    void rejectsWhatIsNotOneCompleteMessage();
    void neverReadsPastTheGivenLength();
    void describesCommands_data();
    void describesCommands();
    void inboxBatchesInArrivalOrderAndReportsMalformed();
    void wireBytes_data();
    void wireBytes();
    void midiTurnedOffGivesNoEndpoints();
    void unknownApiChoiceGivesNoEndpoints();
};

void TestMidiDecoding::decodesWellFormedMessages_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("commandType");
    QTest::addColumn<int>("data1");
    QTest::addColumn<int>("data2");
    QTest::addColumn<int>("channel");

    QTest::newRow("note on, channel 1") << hex("905f7f") << 0x9F << 95 << 127 << 0;
    QTest::newRow("note on velocity 0 stays a note on") << hex("9f1900") << 0x9F << 25 << 0 << 15;
    QTest::newRow("note off") << hex("851940") << 0x8F << 25 << 64 << 5;
    QTest::newRow("control change") << hex("b32c44") << 0xBF << 44 << 68 << 3;
    QTest::newRow("program change") << hex("c507") << 0xCF << 7 << 0 << 5;
    QTest::newRow("channel pressure") << hex("d040") << 0xDF << 64 << 0 << 0;
    QTest::newRow("pitch bend") << hex("e00040") << 0xEF << 0 << 64 << 0;
    QTest::newRow("time code quarter frame") << hex("f112") << 0xF1 << 0x12 << 0 << 1;
    QTest::newRow("song position") << hex("f20102") << 0xF2 << 1 << 2 << 2;
    QTest::newRow("timing clock") << hex("f8") << 0xF8 << 0 << 0 << 8;
    QTest::newRow("active sensing") << hex("fe") << 0xFE << 0 << 0 << 14;
    QTest::newRow("system exclusive") << hex("f07e7f0901f7") << 0xF0 << 0 << 0 << 0;
}

void TestMidiDecoding::decodesWellFormedMessages()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, commandType);
    QFETCH(int, data1);
    QFETCH(int, data2);
    QFETCH(int, channel);

    const auto command = decodeExact(bytes);
    QVERIFY(command.has_value());
    QCOMPARE(command->commandType, commandType);
    QCOMPARE(command->data1, data1);
    QCOMPARE(command->data2, data2);
    QCOMPARE(command->channel(), channel);
    QCOMPARE(command->bytes, bytes);
}

void TestMidiDecoding::rejectsWhatIsNotOneCompleteMessage_data()
{
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("empty") << QByteArray();
    QTest::newRow("running status (starts with a data byte)") << hex("5f7f");
    QTest::newRow("status byte only") << hex("90");
    QTest::newRow("note on one data byte short") << hex("905f");
    QTest::newRow("program change missing its data") << hex("c0");
    QTest::newRow("overlong note on") << hex("905f7f00");
    QTest::newRow("two note ons packed together") << hex("905f7f90197f");
    QTest::newRow("note on with running status continuation") << hex("905f7f197f");
    QTest::newRow("program change with two data bytes") << hex("c00700");
    QTest::newRow("status byte as first data byte") << hex("90907f");
    QTest::newRow("status byte as second data byte") << hex("905f80");
    QTest::newRow("system exclusive without its end") << hex("f07e7f09");
    QTest::newRow("system exclusive cut by a status byte") << hex("f07e90f7");
    QTest::newRow("end of exclusive alone") << hex("f7");
    QTest::newRow("undefined f4") << hex("f4");
    QTest::newRow("undefined f9") << hex("f9");
    QTest::newRow("timing clock with a data byte") << hex("f800");
    QTest::newRow("song position one byte short") << hex("f201");
    QTest::newRow("garbage") << hex("ffffffff");
}

void TestMidiDecoding::rejectsWhatIsNotOneCompleteMessage()
{
    QFETCH(QByteArray, bytes);
    QVERIFY(!decodeExact(bytes).has_value());
}

void TestMidiDecoding::neverReadsPastTheGivenLength()
{
    const unsigned char buffer[] = {0x90, 0x5F, 0x7F, 0xF0, 0x01, 0xF7};
    QVERIFY(!decodeMidi(buffer, 2).has_value());
    QVERIFY(decodeMidi(buffer, 3).has_value());
    QVERIFY(!decodeMidi(buffer + 3, 2).has_value()); // the closing 0xF7 lies beyond the length
    QVERIFY(!decodeMidi(nullptr, 3).has_value());
}

void TestMidiDecoding::describesCommands_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("description");

    QTest::newRow("note on") << hex("905f7f") << "NoteOn channel 1 note 95 velocity 127";
    QTest::newRow("note off") << hex("8f1900") << "NoteOff channel 16 note 25 velocity 0";
    QTest::newRow("control change") << hex("b32c44") << "ControlChange channel 4 controller 44 value 68";
    QTest::newRow("pitch bend centre") << hex("e00040") << "PitchBend channel 1 value 8192";
}

void TestMidiDecoding::describesCommands()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, description);
    const auto command = decodeExact(bytes);
    QVERIFY(command.has_value());
    QCOMPARE(command->description(), description);
}

void TestMidiDecoding::inboxBatchesInArrivalOrderAndReportsMalformed()
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

void TestMidiDecoding::wireBytes_data()
{
    QTest::addColumn<int>("commandType");
    QTest::addColumn<int>("data1");
    QTest::addColumn<int>("data2");
    QTest::addColumn<QByteArray>("received");
    QTest::addColumn<bool>("sendable");
    QTest::addColumn<QByteArray>("wire");

    QTest::newRow("empty command puts nothing on the wire")
        << 0 << 0 << 0 << QByteArray() << true << QByteArray();
    QTest::newRow("received bytes go out as they came")
        << 0x9F << 25 << 0 << hex("9a1900") << true << hex("9a1900");
    QTest::newRow("made note on, channel 1") << 0x9F << 95 << 127 << QByteArray() << true << hex("905f7f");
    QTest::newRow("made program change") << 0xCF << 5 << 0 << QByteArray() << true << hex("c005");
    QTest::newRow("data out of range") << 0x9F << 200 << 1 << QByteArray() << false << QByteArray();
    QTest::newRow("type that is no status") << 0x42 << 0 << 0 << QByteArray() << false << QByteArray();
    QTest::newRow("malformed received bytes") << 0x9F << 95 << 0 << hex("905f") << false << QByteArray();
}

void TestMidiDecoding::wireBytes()
{
    QFETCH(int, commandType);
    QFETCH(int, data1);
    QFETCH(int, data2);
    QFETCH(QByteArray, received);
    QFETCH(bool, sendable);
    QFETCH(QByteArray, wire);

    MidiCommand command;
    command.commandType = quint8(commandType);
    command.data1 = quint8(data1);
    command.data2 = quint8(data2);
    command.bytes = received;
    QByteArray bytes = "stale";
    QString error;
    QCOMPARE(RtMidiEndpoints::wireBytes(command, &bytes, &error), sendable);
    QCOMPARE(error.isEmpty(), sendable);
    if (sendable)
        QCOMPARE(bytes, wire);
}

void TestMidiDecoding::midiTurnedOffGivesNoEndpoints()
{
    qputenv("ORVEL_MIDI_API", "none");
    RtMidiEndpoints endpoints;
    qunsetenv("ORVEL_MIDI_API");

    bool called = false;
    QString error;
    QVERIFY(!endpoints.createDestination(
        "Orvel", [&called](const auto&) { called = true; }, &error));
    QVERIFY2(error.contains("\"Orvel\"") && error.contains("ORVEL_MIDI_API=none"), qPrintable(error));
    error.clear();
    QVERIFY(!endpoints.createSource("Orvel Input", &error));
    QVERIFY2(error.contains("\"Orvel Input\""), qPrintable(error));
    QVERIFY(!called);
}

void TestMidiDecoding::unknownApiChoiceGivesNoEndpoints()
{
    qputenv("ORVEL_MIDI_API", "coremidi");
    RtMidiEndpoints endpoints;
    qunsetenv("ORVEL_MIDI_API");

    QString error;
    QVERIFY(!endpoints.createDestination("Orvel", {}, &error));
    QVERIFY2(error.contains("\"coremidi\""), qPrintable(error));
}

ORVEL_TEST_MAIN(TestMidiDecoding)
#include "tst_MidiDecoding.moc"
