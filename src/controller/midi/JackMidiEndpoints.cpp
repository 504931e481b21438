#include "controller/midi/JackMidiEndpoints.h"

#include "controller/midi/MidiInbox.h"
#include "controller/midi/RtMidiEndpoints.h"
#include "platform/MainQueue.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>

#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>

namespace orvel {

namespace {

const char* const kClientName = "Orvel";
constexpr std::size_t kOutputQueueBytes = 1 << 16;
constexpr double kFirstRetrySeconds = 0.5;
constexpr double kLongestRetrySeconds = 8.0;

// While the server is away every try to reach it makes libjack print a few lines; say it once
// ourselves instead.
std::atomic<bool> quietJack{false};
void jackMessage(const char* text)
{
    if (!quietJack.load())
        std::fprintf(stderr, "%s\n", text);
}

// Other programs' views of one port name: "client:port".
MidiPortInfo portInfo(const QString& fullName, bool isSource)
{
    MidiPortInfo info;
    info.name = fullName;
    info.client = fullName.section(QLatin1Char(':'), 0, 0);
    info.port = fullName.section(QLatin1Char(':'), 1);
    info.isSource = isSource;
    return info;
}

QStringList takeNames(const char** names)
{
    QStringList list;
    if (!names)
        return list;
    for (const char** name = names; *name; ++name)
        list << QString::fromUtf8(*name);
    jack_free(static_cast<void*>(names));
    return list;
}

} // namespace

struct JackMidiEndpoints::Client {
    Client()
        : context(new QObject)
    {
        if (QCoreApplication* app = QCoreApplication::instance())
            context->moveToThread(app->thread());
    }
    ~Client()
    {
        close();
        if (ring)
            jack_ringbuffer_free(ring);
        context->deleteLater(); // may be running one of its own queued calls
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // --- main thread ---

    bool open(QString* error)
    {
        if (jack)
            return true;
        close(); // the client of a lost server, if any
        jack_set_error_function(&jackMessage);
        jack_set_info_function(&jackMessage);
        jack_status_t status{};
        jack = jack_client_open(kClientName, JackNoStartServer, &status);
        if (!jack) {
            if (error)
                *error = QStringLiteral("no JACK server is running (status 0x%1)").arg(int(status), 0, 16);
            return false;
        }
        jack_set_process_callback(jack, &Client::process, this);
        jack_set_port_connect_callback(jack, &Client::portConnected, this);
        jack_set_port_registration_callback(jack, &Client::portRegistered, this);
        jack_on_info_shutdown(jack, &Client::shutDown, this);
        if (!inName.isEmpty())
            inPort = registerPort(inName, JackPortIsInput);
        if (!outName.isEmpty())
            outPort = registerPort(outName, JackPortIsOutput);
        if (jack_activate(jack) != 0) {
            if (error)
                *error = QStringLiteral("the JACK server refused to run the client");
            close();
            return false;
        }
        return true;
    }

    void close()
    {
        if (jack_client_t* gone = std::exchange(lost, nullptr))
            jack_client_close(gone);
        if (!jack)
            return;
        jack_client_close(jack);
        jack = nullptr;
        inPort = nullptr;
        outPort = nullptr;
    }

    jack_port_t* registerPort(const QString& name, unsigned long flags)
    {
        return jack_port_register(jack, name.toUtf8().constData(), JACK_DEFAULT_MIDI_TYPE, flags, 0);
    }

    // Adds or removes one of our ports. The graph is stopped around it so that the process
    // callback never holds a port being unregistered.
    bool changePort(QString& name, std::atomic<jack_port_t*>& port, const QString& newName,
                    unsigned long flags, QString* error)
    {
        if (!jack && newName.isEmpty()) {
            name.clear(); // the server is away: there is nothing to unregister
            port = nullptr;
            return true;
        }
        if (!jack)
            return open(error) && changePort(name, port, newName, flags, error);
        jack_deactivate(jack);
        if (jack_port_t* old = port.exchange(nullptr))
            jack_port_unregister(jack, old);
        name = newName;
        bool ok = true;
        if (!newName.isEmpty()) {
            port = registerPort(newName, flags);
            ok = port != nullptr;
            if (!ok && error)
                *error = QStringLiteral("JACK refused the port \"%1\"").arg(newName);
            if (!ok)
                name.clear();
        }
        if (inPort || outPort)
            jack_activate(jack);
        else
            close(); // nothing of ours left to show
        return ok;
    }

    void post(std::function<void(Client&)> step)
    {
        QMetaObject::invokeMethod(
            context,
            [weak = std::weak_ptr<Client>(self), step = std::move(step)] {
                if (const auto strong = weak.lock())
                    step(*strong);
            },
            Qt::QueuedConnection);
    }

    void tell(MidiSystemEvent::Kind kind, const QString& text = {})
    {
        if (events)
            events(MidiSystemEvent{kind, text});
    }

    void serverLost(const QString& why)
    {
        if (!jack)
            return;
        // libjack's own threads may still be on their way out of the shutdown: closing the client
        // now can deadlock with them and hang the main thread for good. close() lets it go later,
        // at the first attempt to reopen or when the endpoints go, when they are done.
        lost = std::exchange(jack, nullptr);
        inPort = nullptr;
        outPort = nullptr;
        quietJack = true;
        retrySeconds = kFirstRetrySeconds;
        tell(MidiSystemEvent::Kind::ServerLost, why);
        scheduleReopen();
    }

    void scheduleReopen()
    {
        MainQueue::shared().after(retrySeconds, [weak = std::weak_ptr<Client>(self)] {
            const auto strong = weak.lock();
            if (!strong || strong->jack || (strong->inName.isEmpty() && strong->outName.isEmpty()))
                return;
            if (!strong->open(nullptr)) {
                strong->retrySeconds = std::min(strong->retrySeconds * 2, kLongestRetrySeconds);
                strong->scheduleReopen();
                return;
            }
            quietJack = false;
            strong->tell(MidiSystemEvent::Kind::ServerBack);
        });
    }

    // --- JACK's threads ---

    static int process(jack_nframes_t frames, void* arg)
    {
        auto* c = static_cast<Client*>(arg);
        if (jack_port_t* port = c->inPort.load()) {
            void* buffer = jack_port_get_buffer(port, frames);
            const jack_nframes_t count = jack_midi_get_event_count(buffer);
            for (jack_nframes_t i = 0; i < count; ++i) {
                jack_midi_event_t event;
                if (jack_midi_event_get(&event, buffer, i) == 0 && c->inbox.push(event.buffer, event.size))
                    c->post([](Client& client) { client.drain(); });
            }
        }
        if (jack_port_t* port = c->outPort.load()) {
            void* buffer = jack_port_get_buffer(port, frames);
            jack_midi_clear_buffer(buffer);
            c->sendQueued(buffer);
        }
        return 0;
    }

    void sendQueued(void* buffer)
    {
        std::uint32_t length = 0;
        while (jack_ringbuffer_read_space(ring) >= sizeof length) {
            jack_ringbuffer_peek(ring, reinterpret_cast<char*>(&length), sizeof length);
            if (jack_ringbuffer_read_space(ring) < sizeof length + length ||
                jack_midi_max_event_size(buffer) < length)
                return; // the rest goes out in a later cycle
            jack_ringbuffer_read_advance(ring, sizeof length);
            jack_midi_data_t* slot = jack_midi_event_reserve(buffer, 0, length);
            if (slot)
                jack_ringbuffer_read(ring, reinterpret_cast<char*>(slot), length);
            else
                jack_ringbuffer_read_advance(ring, length);
        }
    }

    static void portConnected(jack_port_id_t, jack_port_id_t, int, void* arg)
    {
        auto* c = static_cast<Client*>(arg);
        if (!c->connectionsPending.exchange(true))
            c->post([](Client& client) {
                client.connectionsPending = false;
                client.tell(MidiSystemEvent::Kind::ConnectionsChanged);
            });
    }

    static void portRegistered(jack_port_id_t, int, void* arg)
    {
        auto* c = static_cast<Client*>(arg);
        if (!c->portsPending.exchange(true))
            c->post([](Client& client) {
                client.portsPending = false;
                client.tell(MidiSystemEvent::Kind::PortsChanged);
                // A port that went away took its connections along without a connect event.
                client.tell(MidiSystemEvent::Kind::ConnectionsChanged);
            });
    }

    static void shutDown(jack_status_t, const char* reason, void* arg)
    {
        const QString why = QString::fromUtf8(reason ? reason : "");
        static_cast<Client*>(arg)->post([why](Client& client) { client.serverLost(why); });
    }

    void drain()
    {
        const std::vector<MidiCommand> commands = inbox.drain();
        if (!commands.empty() && handler)
            handler(commands);
    }

    std::weak_ptr<Client> self;
    QObject* context;
    jack_client_t* jack = nullptr;
    jack_client_t* lost = nullptr; // the client of a server that went away, not closed yet
    EventHandler events;
    double retrySeconds = kFirstRetrySeconds;

    QString inName;
    std::atomic<jack_port_t*> inPort{nullptr};
    MidiInbox inbox;
    Handler handler;

    QString outName;
    std::atomic<jack_port_t*> outPort{nullptr};
    jack_ringbuffer_t* ring = nullptr;

    std::atomic<bool> connectionsPending{false};
    std::atomic<bool> portsPending{false};
};

namespace {

class JackDestination final : public MidiDestination {
public:
    explicit JackDestination(std::shared_ptr<JackMidiEndpoints::Client> client)
        : client_(std::move(client))
    {}
    ~JackDestination() override
    {
        client_->changePort(client_->inName, client_->inPort, {}, 0, nullptr);
        client_->handler = nullptr;
    }

private:
    std::shared_ptr<JackMidiEndpoints::Client> client_;
};

class JackSource final : public MidiSource {
public:
    explicit JackSource(std::shared_ptr<JackMidiEndpoints::Client> client)
        : client_(std::move(client))
    {}
    ~JackSource() override { client_->changePort(client_->outName, client_->outPort, {}, 0, nullptr); }

    bool sendCommands(const std::vector<MidiCommand>& commands, QString* error) override
    {
        return RtMidiEndpoints::sendEach(
            commands, error, [this](const QByteArray& bytes, const MidiCommand& command, QString* failure) {
                if (!client_->jack) {
                    if (failure)
                        *failure = QStringLiteral("could not send %1: the JACK server is away")
                                       .arg(command.description());
                    return false;
                }
                const auto length = static_cast<std::uint32_t>(bytes.size());
                if (jack_ringbuffer_write_space(client_->ring) < sizeof length + length) {
                    if (failure)
                        *failure = QStringLiteral("could not send %1: the MIDI output queue is full")
                                       .arg(command.description());
                    return false;
                }
                jack_ringbuffer_write(client_->ring, reinterpret_cast<const char*>(&length), sizeof length);
                jack_ringbuffer_write(client_->ring, bytes.constData(), length);
                return true;
            });
    }

private:
    std::shared_ptr<JackMidiEndpoints::Client> client_;
};

} // namespace

JackMidiEndpoints::JackMidiEndpoints()
    : client_(std::make_shared<Client>())
{
    client_->self = client_;
}

JackMidiEndpoints::~JackMidiEndpoints() = default;

bool JackMidiEndpoints::serverAvailable()
{
    jack_set_error_function(&jackMessage);
    quietJack = true;
    jack_status_t status{};
    jack_client_t* probe = jack_client_open("Orvel-probe", JackNoStartServer, &status);
    quietJack = false;
    if (!probe)
        return false;
    jack_client_close(probe);
    return true;
}

std::unique_ptr<MidiDestination> JackMidiEndpoints::createDestination(const QString& name, Handler handler,
                                                                      QString* error)
{
    if (!client_->inName.isEmpty()) {
        if (error)
            *error = QStringLiteral("the JACK client has its destination already");
        return nullptr;
    }
    client_->handler = std::move(handler);
    if (!client_->changePort(client_->inName, client_->inPort, name, JackPortIsInput, error)) {
        client_->handler = nullptr;
        return nullptr;
    }
    return std::make_unique<JackDestination>(client_);
}

std::unique_ptr<MidiSource> JackMidiEndpoints::createSource(const QString& name, QString* error)
{
    if (!client_->outName.isEmpty()) {
        if (error)
            *error = QStringLiteral("the JACK client has its source already");
        return nullptr;
    }
    if (!client_->ring)
        client_->ring = jack_ringbuffer_create(kOutputQueueBytes);
    if (!client_->changePort(client_->outName, client_->outPort, name, JackPortIsOutput, error))
        return nullptr;
    return std::make_unique<JackSource>(client_);
}

QString JackMidiEndpoints::clientName() const
{
    return client_->jack ? QString::fromUtf8(jack_get_client_name(client_->jack)) : QString();
}

void JackMidiEndpoints::setEventHandler(EventHandler handler)
{
    client_->events = std::move(handler);
}

QList<MidiPortInfo> JackMidiEndpoints::ports() const
{
    QList<MidiPortInfo> list;
    jack_client_t* jack = client_->jack;
    if (!jack)
        return list;
    for (const QString& name : takeNames(jack_get_ports(jack, nullptr, JACK_DEFAULT_MIDI_TYPE, 0))) {
        jack_port_t* port = jack_port_by_name(jack, name.toUtf8().constData());
        if (!port || jack_port_is_mine(jack, port))
            continue;
        list << portInfo(name, (jack_port_flags(port) & JackPortIsOutput) != 0);
    }
    return list;
}

QStringList JackMidiEndpoints::connections(const QString& ourPort) const
{
    jack_port_t* port = ourPort == client_->inName    ? client_->inPort.load()
                        : ourPort == client_->outName ? client_->outPort.load()
                                                      : nullptr;
    if (!client_->jack || !port)
        return {};
    return takeNames(jack_port_get_all_connections(client_->jack, port));
}

bool JackMidiEndpoints::setConnected(const QString& source, const QString& destination, bool connected,
                                     QString* error)
{
    jack_client_t* jack = client_->jack;
    if (!jack) {
        if (error)
            *error = QStringLiteral("the JACK server is not there");
        return false;
    }
    auto fullName = [&](const QString& name, jack_port_t* ours, const QString& ourName) {
        return ours && name == ourName ? QString::fromUtf8(jack_port_name(ours)) : name;
    };
    const QByteArray from = fullName(source, client_->outPort, client_->outName).toUtf8();
    const QByteArray to = fullName(destination, client_->inPort, client_->inName).toUtf8();
    const int result = connected ? jack_connect(jack, from.constData(), to.constData())
                                 : jack_disconnect(jack, from.constData(), to.constData());
    if (result == 0 || (connected && result == EEXIST))
        return true;
    if (error)
        *error = QStringLiteral("JACK could not %1 %2 and %3")
                     .arg(connected ? QStringLiteral("connect") : QStringLiteral("disconnect"),
                          QString::fromUtf8(from), QString::fromUtf8(to));
    return false;
}

} // namespace orvel
