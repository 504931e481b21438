// orvel-daw-peer: a scripted DAW, for trying Orvel without one and for end-to-end tests. It drives
// a control surface the way Ardour's Mackie Control surface does over JACK: it registers "mackie
// control out" and "mackie control in", connects them to the given client's ports, stays silent
// until both are connected, greets with the four device queries and waits for a device's answer
// before it talks. Then it sends its start-up burst, and afterwards what the lines on standard
// input ask for:
//   arm | record | stop | timecode N | send HEX | close | quit
// It prints "connected", "talking", "done CMD" as things happen.
//   orvel-daw-peer ORVEL_CLIENT

#include "DawBurst.h"

#include <QCoreApplication>
#include <QHash>
#include <QSocketNotifier>
#include <QStringList>
#include <QTextStream>
#include <QThread>
#include <QTimer>

#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

jack_client_t* client = nullptr;
jack_port_t* outPort = nullptr;
jack_port_t* inPort = nullptr;
jack_ringbuffer_t* ring = nullptr;
std::atomic<bool> answered{false}; // by a device, to the greeting

void say(const QString& line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

int process(jack_nframes_t frames, void*)
{
    void* in = jack_port_get_buffer(inPort, frames);
    for (jack_nframes_t i = 0; i < jack_midi_get_event_count(in); ++i) {
        jack_midi_event_t event;
        // A Mackie Control device's serial number and version.
        if (jack_midi_event_get(&event, in, i) == 0 && event.size == 18 &&
            std::memcmp(event.buffer, "\xf0\x00\x00\x66\x14\x01", 6) == 0)
            answered = true;
    }
    void* out = jack_port_get_buffer(outPort, frames);
    jack_midi_clear_buffer(out);
    quint16 length = 0;
    // A few hundred events a cycle at most, as a real host spreads its burst.
    for (int sent = 0; sent < 256 && jack_ringbuffer_read_space(ring) >= sizeof length; ++sent) {
        jack_ringbuffer_peek(ring, reinterpret_cast<char*>(&length), sizeof length);
        if (jack_ringbuffer_read_space(ring) < sizeof length + length)
            break;
        jack_ringbuffer_read_advance(ring, sizeof length);
        if (jack_midi_data_t* slot = jack_midi_event_reserve(out, 0, length))
            jack_ringbuffer_read(ring, reinterpret_cast<char*>(slot), length);
        else
            jack_ringbuffer_read_advance(ring, length);
    }
    return 0;
}

void send(const QByteArray& bytes)
{
    const auto length = quint16(bytes.size());
    while (jack_ringbuffer_write_space(ring) < sizeof length + length)
        QThread::msleep(5); // the process thread empties it every cycle
    jack_ringbuffer_write(ring, reinterpret_cast<const char*>(&length), sizeof length);
    jack_ringbuffer_write(ring, bytes.constData(), length);
}

// Messages in hex apart by spaces; "+MS" waits that long.
void send(const QString& script)
{
    for (const QString& token : script.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (token.startsWith(QLatin1Char('+')))
            QThread::msleep(token.mid(1).toULong());
        else
            send(QByteArray::fromHex(token.toLatin1()));
    }
}

// What the commands send: the Record, Play and Stop LEDs as the transport goes (record twice, as
// Ardour does), and the reset a closing session sends to its surface.
const QHash<QString, QString> kScripts{
    {QStringLiteral("arm"), QStringLiteral("90007f 905f00 905f01")},
    {QStringLiteral("record"), QStringLiteral("905f7f 905e7f 905d00 +100 905f7f 905e7f 905d00")},
    {QStringLiteral("stop"), QStringLiteral("905f00 905e00 905d7f")},
    {QStringLiteral("close"), QStringLiteral("f0000066140800f7 +21 ").repeated(25)}};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    client = jack_client_open("daw", JackNoStartServer, nullptr);
    if (!client) {
        say(QStringLiteral("no JACK server"));
        return 1;
    }
    ring = jack_ringbuffer_create(1 << 18);
    outPort = jack_port_register(client, "mackie control out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    inPort = jack_port_register(client, "mackie control in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    jack_set_process_callback(client, &process, nullptr);
    jack_activate(client);
    const QString orvel = app.arguments().value(1);
    jack_connect(client, jack_port_name(outPort), (orvel + QStringLiteral(":Orvel")).toUtf8().constData());
    jack_connect(client, (orvel + QStringLiteral(":Orvel Input")).toUtf8().constData(),
                 jack_port_name(inPort));

    enum class State { Waiting, Greeted, Talking } state = State::Waiting;
    QTimer poll; // the peer's own loop; the program under test never polls
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (state == State::Waiting && jack_port_connected(outPort) > 0 && jack_port_connected(inPort) > 0) {
            say(QStringLiteral("connected"));
            send(QStringLiteral("f00000661400f7 f00000661500f7 f00000661000f7 f00000661100f7"));
            state = State::Greeted;
        }
        if (state == State::Greeted && answered) {
            state = State::Talking;
            for (const QByteArray& message : orvel::daw::dawStartupBurst())
                send(message);
            say(QStringLiteral("talking"));
        }
    });
    poll.start(10);

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QTextStream in(stdin);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        const QString line = in.readLine().trimmed();
        if (line.isNull() || line == QStringLiteral("quit"))
            return app.quit();
        const QString command = line.section(QLatin1Char(' '), 0, 0);
        if (command == QStringLiteral("timecode")) {
            for (int i = 0; i < line.section(QLatin1Char(' '), 1).toInt(); ++i)
                send(QByteArray{"\xb0"} + char(0x40 + i % 10) + char(0x30 + i % 10));
        } else {
            send(command == QStringLiteral("send") ? line.section(QLatin1Char(' '), 1)
                                                   : kScripts.value(command));
        }
        say(QStringLiteral("done ") + command);
    });

    const int result = app.exec();
    QThread::msleep(200); // let the last cycles carry what is queued
    jack_client_close(client);
    jack_ringbuffer_free(ring);
    return result;
}
