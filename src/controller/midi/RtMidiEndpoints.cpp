#include "controller/midi/RtMidiEndpoints.h"

#include "controller/midi/MidiDecoder.h"
#include "controller/midi/MidiInbox.h"
#include "platform/Console.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QStringList>

#include <RtMidi.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <utility>

namespace orvel {

namespace {

const char* const kClientName = "Orvel";

QString apiDisplayName(RtMidi::Api api)
{
    switch (api) {
    case RtMidi::LINUX_ALSA:
        return QStringLiteral("ALSA");
    case RtMidi::UNIX_JACK:
        return QStringLiteral("JACK");
    default:
        return QString::fromStdString(RtMidi::getApiDisplayName(api));
    }
}

// RtMidi reports problems through this callback once it is set (and throws before that, or when
// none is set). Errors of a running endpoint may come from the library's own thread.
class ErrorSink {
public:
    static void callback(RtMidiError::Type type, const std::string& text, void* userData)
    {
        static_cast<ErrorSink*>(userData)->report(type, QString::fromStdString(text));
    }

    // While collecting, errors are kept for the caller; otherwise they are printed on the main
    // thread, since they may arrive on any thread.
    void beginCollecting()
    {
        const std::lock_guard lock(mutex_);
        collecting_ = true;
        texts_.clear();
        failed_ = false;
    }

    // Returns the collected texts; `failed` tells whether any of them was more than a warning.
    QStringList endCollecting(bool* failed)
    {
        const std::lock_guard lock(mutex_);
        collecting_ = false;
        if (failed)
            *failed = failed_;
        return std::exchange(texts_, {});
    }

private:
    void report(RtMidiError::Type type, const QString& text)
    {
        {
            const std::lock_guard lock(mutex_);
            if (collecting_) {
                texts_.append(text.trimmed());
                if (type != RtMidiError::WARNING && type != RtMidiError::DEBUG_WARNING)
                    failed_ = true;
                return;
            }
        }
        if (type == RtMidiError::DEBUG_WARNING)
            return;
        const QString line = QStringLiteral("MIDI: ") + text.trimmed();
        if (QCoreApplication* app = QCoreApplication::instance())
            QMetaObject::invokeMethod(
                app, [line] { printLine(line); }, Qt::QueuedConnection);
    }

    std::mutex mutex_;
    bool collecting_ = false;
    bool failed_ = false;
    QStringList texts_;
};

std::vector<RtMidi::Api> apisFor(RtMidiEndpoints::Api choice)
{
    switch (choice) {
    case RtMidiEndpoints::Api::Alsa:
        return {RtMidi::LINUX_ALSA};
    case RtMidiEndpoints::Api::Jack:
        return {RtMidi::UNIX_JACK};
    case RtMidiEndpoints::Api::None:
        return {};
    case RtMidiEndpoints::Api::Automatic:
        break;
    }
    // Where a JACK server runs (jackd, or PipeWire's) the DAWs' ports are JACK ports, and only
    // JACK tells us when they connect and leave; elsewhere the ALSA sequencer is what there is.
    if (JackMidiEndpoints::serverAvailable())
        return {RtMidi::UNIX_JACK, RtMidi::LINUX_ALSA};
    return {RtMidi::LINUX_ALSA, RtMidi::UNIX_JACK};
}

bool isCompiled(RtMidi::Api api)
{
    std::vector<RtMidi::Api> compiled;
    RtMidi::getCompiledApi(compiled);
    return std::find(compiled.begin(), compiled.end(), api) != compiled.end();
}

// Opens a virtual port on the ALSA sequencer. `configure` runs before the port opens (so that no
// message arrives before the callback is in place). On failure gives nullptr and why, as
// "ALSA: ...".
template <typename Port, typename Configure>
std::unique_ptr<Port> openAlsaPort(const QString& portName, ErrorSink& sink, Configure configure,
                                   QString* failure)
{
    const RtMidi::Api api = RtMidi::LINUX_ALSA;
    const QString apiName = apiDisplayName(api);
    if (!isCompiled(api)) {
        *failure = apiName + QStringLiteral(": not built into this RtMidi library");
        return nullptr;
    }
    QStringList texts;
    bool failed = false;
    std::unique_ptr<Port> port;
    try {
        port = std::make_unique<Port>(api, kClientName);
        port->setErrorCallback(&ErrorSink::callback, &sink);
        configure(*port);
        sink.beginCollecting();
        port->openVirtualPort(portName.toStdString());
        texts = sink.endCollecting(&failed);
    } catch (const RtMidiError& e) {
        texts = sink.endCollecting(nullptr);
        texts.append(QString::fromStdString(e.getMessage()).trimmed());
        failed = true;
    }
    if (!failed)
        return port;
    *failure = apiName + QStringLiteral(": ") +
               (texts.isEmpty() ? QStringLiteral("could not open a port") : texts.join(QLatin1Char(' ')));
    return nullptr;
}

// What the destination shares with the MIDI library's thread and with the drains it has queued.
struct DestinationState {
    explicit DestinationState(MidiEndpoints::Handler h)
        : handler(std::move(h))
        , context(new QObject)
    {
        if (QCoreApplication* app = QCoreApplication::instance())
            context->moveToThread(app->thread());
    }

    ~DestinationState()
    {
        // May run inside a drain delivered to `context`: let the event loop delete it.
        context->deleteLater();
    }

    DestinationState(const DestinationState&) = delete;
    DestinationState& operator=(const DestinationState&) = delete;

    MidiInbox inbox;
    MidiEndpoints::Handler handler;
    QObject* context; // lives on the main thread; queued drains are delivered to it
    std::weak_ptr<DestinationState> self;
    ErrorSink errors;
};

// Runs on the MIDI library's thread: store, and wake the main thread only for the first message
// of a batch. Nothing else of the program is touched here.
void receive(double /*timeStamp*/, std::vector<unsigned char>* message, void* userData)
{
    auto* state = static_cast<DestinationState*>(userData);
    if (!message || !state->inbox.push(message->data(), message->size()))
        return;
    QMetaObject::invokeMethod(
        state->context,
        [weak = state->self] {
            const std::shared_ptr<DestinationState> strong = weak.lock();
            if (!strong)
                return; // the destination is gone; so is what it collected
            const std::vector<MidiCommand> commands = strong->inbox.drain();
            if (!commands.empty() && strong->handler)
                strong->handler(commands);
        },
        Qt::QueuedConnection);
}

class RtMidiDestination final : public MidiDestination {
public:
    RtMidiDestination(std::shared_ptr<DestinationState> state, std::unique_ptr<RtMidiIn> in)
        : state_(std::move(state))
        , in_(std::move(in))
    {}

    ~RtMidiDestination() override
    {
        // Closing stops the library's thread, so no callback can still be using the state.
        in_.reset();
    }

private:
    std::shared_ptr<DestinationState> state_; // declared first: outlives in_
    std::unique_ptr<RtMidiIn> in_;
};

class RtMidiSource final : public MidiSource {
public:
    RtMidiSource(std::unique_ptr<ErrorSink> errors, std::unique_ptr<RtMidiOut> out)
        : errors_(std::move(errors))
        , out_(std::move(out))
    {}

    ~RtMidiSource() override { out_.reset(); }

    bool sendCommands(const std::vector<MidiCommand>& commands, QString* error) override
    {
        return RtMidiEndpoints::sendEach(
            commands, error, [this](const QByteArray& bytes, const MidiCommand& command, QString* failure) {
                QStringList texts;
                bool failed = false;
                try {
                    errors_->beginCollecting();
                    out_->sendMessage(reinterpret_cast<const unsigned char*>(bytes.constData()),
                                      static_cast<std::size_t>(bytes.size()));
                    texts = errors_->endCollecting(&failed);
                } catch (const RtMidiError& e) {
                    texts = errors_->endCollecting(nullptr);
                    texts.append(QString::fromStdString(e.getMessage()).trimmed());
                }
                // A warning while sending means the message did not go out either.
                if (texts.isEmpty())
                    return true;
                if (failure)
                    *failure = QStringLiteral("could not send %1: %2")
                                   .arg(command.description(), texts.join(QLatin1Char(' ')));
                return false;
            });
    }

private:
    std::unique_ptr<ErrorSink> errors_; // declared first: outlives out_
    std::unique_ptr<RtMidiOut> out_;
};

RtMidiEndpoints::Api apiFromEnvironment(QString* configError)
{
    const QString value = qEnvironmentVariable("ORVEL_MIDI_API").trimmed().toLower();
    if (value.isEmpty() || value == QLatin1String("auto"))
        return RtMidiEndpoints::Api::Automatic;
    if (value == QLatin1String("alsa"))
        return RtMidiEndpoints::Api::Alsa;
    if (value == QLatin1String("jack"))
        return RtMidiEndpoints::Api::Jack;
    if (value == QLatin1String("none"))
        return RtMidiEndpoints::Api::None;
    *configError = QStringLiteral("ORVEL_MIDI_API has the unknown value \"%1\" (expected alsa, jack or none)")
                       .arg(qEnvironmentVariable("ORVEL_MIDI_API"));
    return RtMidiEndpoints::Api::None;
}

// False with `error` filled when no port may be opened: MIDI turned off, or an unusable
// ORVEL_MIDI_API value.
bool midiAllowed(RtMidiEndpoints::Api api, const QString& configError, const QString& portName,
                 QString* error)
{
    if (configError.isEmpty() && api != RtMidiEndpoints::Api::None)
        return true;
    if (error)
        *error = !configError.isEmpty()
                     ? configError
                     : QStringLiteral("could not open the MIDI port \"%1\" (MIDI is turned off by "
                                      "ORVEL_MIDI_API=none)")
                           .arg(portName);
    return false;
}

} // namespace

RtMidiEndpoints::RtMidiEndpoints()
    : api_(Api::Automatic)
{
    api_ = apiFromEnvironment(&configError_);
}

RtMidiEndpoints::RtMidiEndpoints(Api api)
    : api_(api)
{}

std::unique_ptr<MidiDestination> RtMidiEndpoints::createDestination(const QString& name, Handler handler,
                                                                    QString* error)
{
    return openEndpoint<MidiDestination>(
        name, QStringLiteral("destination"), error,
        [&](QString* failure) -> std::unique_ptr<MidiDestination> {
            auto state = std::make_shared<DestinationState>(handler);
            state->self = state;
            auto in = openAlsaPort<RtMidiIn>(
                name, state->errors,
                [&state](RtMidiIn& port) {
                    // A callback rather than polling: RtMidi's own queue is bounded and would drop
                    // a burst.
                    port.setCallback(&receive, state.get());
                    // Timing clock and active sensing never act; a running sequencer sends clock
                    // many times a second, so leave them out at the source. System exclusive stays:
                    // control surface hosts greet and reset their surfaces with it.
                    port.ignoreTypes(false, true, true);
                },
                failure);
            if (!in)
                return nullptr;
            return std::make_unique<RtMidiDestination>(std::move(state), std::move(in));
        },
        [&](QString* failure) { return jack_.createDestination(name, handler, failure); });
}

std::unique_ptr<MidiSource> RtMidiEndpoints::createSource(const QString& name, QString* error)
{
    return openEndpoint<MidiSource>(
        name, QStringLiteral("source"), error,
        [&](QString* failure) -> std::unique_ptr<MidiSource> {
            auto errors = std::make_unique<ErrorSink>();
            auto out = openAlsaPort<RtMidiOut>(
                name, *errors, [](RtMidiOut&) {}, failure);
            if (!out)
                return nullptr;
            return std::make_unique<RtMidiSource>(std::move(errors), std::move(out));
        },
        [&](QString* failure) { return jack_.createSource(name, failure); });
}

template <typename Endpoint, typename OpenAlsa, typename OpenJack>
std::unique_ptr<Endpoint> RtMidiEndpoints::openEndpoint(const QString& name, const QString& kind,
                                                        QString* error, OpenAlsa openAlsa, OpenJack openJack)
{
    if (!midiAllowed(api_, configError_, name, error))
        return nullptr;
    // The second endpoint goes where the first went, so that a peer finds both side by side.
    if (chosen_.empty()) {
        for (const RtMidi::Api api : apisFor(api_))
            chosen_.push_back(api);
    }
    QStringList failures;
    for (const int choice : chosen_) {
        const auto api = static_cast<RtMidi::Api>(choice);
        QString failure;
        std::unique_ptr<Endpoint> endpoint =
            api == RtMidi::UNIX_JACK ? openJack(&failure) : openAlsa(&failure);
        if (endpoint) {
            chosen_ = {api};
            usingJack_ = api == RtMidi::UNIX_JACK;
            printLine(usingJack_ ? QStringLiteral("MIDI %1 \"%2\" open through JACK as \"%3:%2\"")
                                       .arg(kind, name, jack_.clientName())
                                 : QStringLiteral("MIDI %1 \"%2\" open through ALSA").arg(kind, name));
            return endpoint;
        }
        failures << (api == RtMidi::UNIX_JACK ? QStringLiteral("JACK: ") + failure : failure);
    }
    if (error)
        *error = QStringLiteral("could not open the MIDI port \"%1\" (%2)")
                     .arg(name, failures.isEmpty() ? QStringLiteral("no MIDI system to try")
                                                   : failures.join(QStringLiteral("; ")));
    return nullptr;
}

void RtMidiEndpoints::setEventHandler(EventHandler handler)
{
    jack_.setEventHandler(std::move(handler));
}

QList<MidiPortInfo> RtMidiEndpoints::ports() const
{
    return usingJack_ ? jack_.ports() : QList<MidiPortInfo>{};
}

QStringList RtMidiEndpoints::connections(const QString& ourPort) const
{
    return usingJack_ ? jack_.connections(ourPort) : QStringList{};
}

bool RtMidiEndpoints::setConnected(const QString& source, const QString& destination, bool connected,
                                   QString* error)
{
    if (usingJack_)
        return jack_.setConnected(source, destination, connected, error);
    return MidiEndpoints::setConnected(source, destination, connected, error);
}

bool RtMidiEndpoints::wireBytes(const MidiCommand& command, QByteArray* bytes, QString* error)
{
    bytes->clear();
    if (!command.bytes.isEmpty()) {
        const auto* data = reinterpret_cast<const unsigned char*>(command.bytes.constData());
        const auto size = static_cast<std::size_t>(command.bytes.size());
        if (!decodeMidi(data, size)) {
            if (error)
                *error =
                    QStringLiteral("refused to send the malformed MIDI message ") + midiBytesText(data, size);
            return false;
        }
        *bytes = command.bytes;
        return true;
    }
    if (command.commandType == 0)
        return true; // the empty command: nothing to send

    // A command made by the program: build it on channel 1 and let the decoder judge it.
    QByteArray built;
    const quint8 type = command.commandType;
    built.append(static_cast<char>(type < 0xF0 ? (type & 0xF0) : type));
    built.append(static_cast<char>(command.data1));
    built.append(static_cast<char>(command.data2));
    for (qsizetype length = 1; length <= built.size(); ++length) {
        if (decodeMidi(reinterpret_cast<const unsigned char*>(built.constData()),
                       static_cast<std::size_t>(length))) {
            *bytes = built.left(length);
            return true;
        }
    }
    if (error)
        *error = QStringLiteral("cannot put %1 on the wire").arg(command.description());
    return false;
}

} // namespace orvel
