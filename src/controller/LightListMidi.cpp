// The controller's MIDI side: the endpoints, what arriving messages mean, the control-surface
// handshake and what the MIDI system says about the ports around ours.

#include "controller/LightList.h"

#include "app/Log.h"
#include "platform/Console.h"
#include "platform/Preferences.h"

#include <QPointer>
#include <QStringList>
#include <QTime>

#include <algorithm>

namespace orvel {

namespace {

const QString kDestinationName = QStringLiteral("Orvel");
const QString kSourceName = QStringLiteral("Orvel Input");

// A host that asks as several device types asks within one burst; a later query is a new wake-up.
constexpr double kSurfaceBurstSeconds = 1.0;
constexpr double kLearnSeconds = 10.0;
constexpr double kActivityInterval = 0.1;
const QString kLearnedKey = QStringLiteral("midi_learned");

QString historyText(const QList<quint64>& history)
{
    QStringList parts;
    for (quint64 value : history)
        parts << QString::number(value);
    return QLatin1Char('[') + parts.join(QStringLiteral(", ")) + QLatin1Char(']');
}

bool matches(const QList<quint64>& history, std::initializer_list<quint64> pattern)
{
    return history.size() == static_cast<qsizetype>(pattern.size()) &&
           std::equal(pattern.begin(), pattern.end(), history.begin());
}

} // namespace

void LightList::setUpMidi()
{
    writeLog(QStringLiteral("setting up midi..."));

    QPointer<LightList> self(this);
    midi_->setEventHandler([self](const MidiSystemEvent& event) {
        if (self)
            self->handleMidiSystemEvent(event);
    });

    QString error;
    midiListener_ = midi_->createDestination(
        kDestinationName,
        [self](const std::vector<MidiCommand>& commands) {
            if (self)
                self->handleMIDI(commands);
        },
        &error);
    if (!midiListener_) {
        // Without the destination no MIDI reaches the lights; the rest (switches, flash test)
        // still works, so keep running and say why in the log.
        writeLog(QStringLiteral("could not create the MIDI destination \"Orvel\": ") + error);
    }

    error.clear();
    midiSender_ = midi_->createSource(kSourceName, &error);
    if (!midiSender_) {
        printLine(QStringLiteral("error setting up fake midi: ") + error);
    } else {
        const std::vector<MidiCommand> hello{MidiCommand{}};
        if (!midiSender_->sendCommands(hello, &error))
            printLine(QStringLiteral("problem sending message to fake midi"));
    }
    destinationPeers_ = midi_->connections(kDestinationName);
    sources_ = std::make_unique<MidiSources>(*midi_);
    sources_->reconcile();

    printLine(QStringLiteral("midi set up"));
}

void LightList::setTriggerSettings(const MidiTriggerSettings& settings)
{
    if (settings == triggerSettings_)
        return;
    triggerSettings_ = settings;
    rebuildTriggers();
    triggerSettings_.store();
    Q_EMIT midiChanged();
}

void LightList::rebuildTriggers()
{
    triggers_ = builtInTriggers(triggerSettings_);
    triggers_.insert(triggers_.end(), learned_.begin(), learned_.end());
}

void LightList::setLearnedTriggers(std::vector<MidiTrigger> learned)
{
    if (learned.size() > kMaxLearned) {
        printLine(QStringLiteral("keeping the first %1 learned MIDI triggers of %2")
                      .arg(kMaxLearned)
                      .arg(learned.size()));
        learned.resize(kMaxLearned);
    }
    learned_ = std::move(learned);
    for (MidiTrigger& trigger : learned_)
        trigger.meaning = learnedMeaning(trigger); // the user may have widened it
    rebuildTriggers();
    Preferences::standard().setJson(kLearnedKey, learnedToJson(learned_));
    Q_EMIT midiChanged();
}

void LightList::startLearning(TriggerAction action)
{
    if (learned_.size() >= kMaxLearned) {
        printLine(QStringLiteral("there are %1 learned MIDI triggers already; remove one to learn another")
                      .arg(kMaxLearned));
        return;
    }
    learning_ = action;
    const quint64 cycle = ++learnCycle_;
    QPointer<LightList> self(this);
    MainQueue::shared().after(kLearnSeconds, [self, cycle] {
        if (self && self->learning_ && self->learnCycle_ == cycle)
            self->cancelLearning();
    });
    Q_EMIT midiChanged();
}

void LightList::cancelLearning()
{
    if (!learning_)
        return;
    learning_.reset();
    Q_EMIT midiChanged();
}

bool LightList::learnFrom(const MidiCommand& command)
{
    const std::optional<MidiTrigger> trigger = learnTrigger(command, *learning_);
    if (!trigger)
        return false; // clock, sysex and the like: keep waiting for a real one
    learning_.reset();
    printLine(QStringLiteral("learned ") + trigger->meaning.section(QStringLiteral(": "), 1));
    std::vector<MidiTrigger> learned = learned_;
    learned.push_back(*trigger);
    setLearnedTriggers(std::move(learned));
    return true;
}

void LightList::setActivityRecording(bool on)
{
    recordingActivity_ = on;
    if (!on)
        activity_.clear();
}

QStringList LightList::midiConnections(const QString& ourPort) const
{
    return midi_->connections(ourPort);
}

void LightList::handleMIDI(const std::vector<MidiCommand>& commands)
{
    for (const MidiCommand& command : commands) {
        if (learning_ && learnFrom(command))
            continue;
        const MidiTrigger* trigger = matchTrigger(triggers_, command);
        if (recordingActivity_) {
            activity_.record(command, messageMeaning(trigger, command), QTime::currentTime());
            if (!activityAnnounced_) {
                activityAnnounced_ = true;
                QPointer<LightList> self(this);
                MainQueue::shared().after(kActivityInterval, [self] {
                    if (!self)
                        return;
                    self->activityAnnounced_ = false;
                    Q_EMIT self->midiActivity();
                });
            }
        }
        if (!trigger)
            continue;
        if (trigger->printDescription)
            printLine(command.description());
        switch (trigger->action) {
        case TriggerAction::On:
            switchFromMidi(true);
            break;
        case TriggerAction::Off:
            switchFromMidi(false);
            break;
        case TriggerAction::DawGone:
            dawGone(QStringLiteral("the control surface host reset its surface"));
            break;
        case TriggerAction::HuiHistory:
            handleHuiValue(command.controllerValue());
            break;
        case TriggerAction::DeviceQuery:
        case TriggerAction::HostReply:
            answerSurface(command);
            break;
        }
    }
}

void LightList::switchFromMidi(bool on)
{
    on ? rulesOn() : rulesOff();
    onByMidi_ = on;
}

void LightList::handleHuiValue(quint64 value)
{
    if (value == 6 || value == 7 || value == 70 || value == 71)
        return;
    midiCCHistory_.enqueue(value);
    if (midiCCHistory_.elements.size() >= 4)
        midiCCHistory_.dequeue();
    const auto& history = midiCCHistory_.elements;
    printLine(historyText(history));
    printLine(QStringLiteral("44/") + QString::number(value));
    // Checked top row first, as a table: rows with the same action stay apart.
    // NOLINTBEGIN(bugprone-branch-clone)
    if (matches(history, {68, 67, 69}))
        switchFromMidi(true);
    else if (history.size() == 3 && history[1] == 67 && history[2] == 5)
        switchFromMidi(false);
    else if (matches(history, {3, 69, 69}))
        switchFromMidi(true);
    else if (matches(history, {69, 3, 68}))
        switchFromMidi(true);
    else if (matches(history, {67, 4, 5}))
        switchFromMidi(false);
    // NOLINTEND(bugprone-branch-clone)
}

void LightList::answerSurface(const MidiCommand& command)
{
    const std::optional<QByteArray> answer = surfaceAnswer(command);
    if (!answer || !midiSender_)
        return;
    const int type = mackieDeviceType(command);
    const double now = MainQueue::shared().now();
    const bool query = command.bytes.at(5) == 0;
    if (query && type != surfaceAnsweredType_ && now - surfaceAnsweredAt_ < kSurfaceBurstSeconds)
        return; // already answered this wake-up as the other main unit
    if (query) {
        surfaceAnsweredAt_ = now;
        surfaceAnsweredType_ = type;
    }
    MidiCommand reply;
    reply.commandType = 0xF0;
    reply.bytes = *answer;
    QString error;
    if (midiSender_->sendCommands({reply}, &error))
        printLine(QStringLiteral("answered the control surface host on \"Orvel Input\": ") +
                  QString::fromLatin1(answer->toHex(' ')));
    else
        printLine(QStringLiteral("could not answer the control surface host: ") + error);
}

void LightList::dawGone(const QString& why)
{
    if (!triggerSettings_.offWhenDawLeaves || !onByMidi_ || !on_)
        return;
    writeLog(why + QStringLiteral(" while MIDI had the lights on: putting them back"));
    rulesOff();
}

void LightList::handleMidiSystemEvent(const MidiSystemEvent& event)
{
    using Kind = MidiSystemEvent::Kind;
    switch (event.kind) {
    case Kind::ServerLost:
        if (sources_)
            sources_->forgetConnectionsMade();
        writeLog(QStringLiteral(
                     "the MIDI server went away (%1); \"Orvel\" and \"Orvel Input\" reopen when it is back")
                     .arg(event.text));
        printLine(QStringLiteral("MIDI server lost: ") + event.text);
        break;
    case Kind::ServerBack:
        writeLog(QStringLiteral("the MIDI server is back; \"Orvel\" and \"Orvel Input\" are open again"));
        printLine(QStringLiteral("MIDI server back"));
        if (sources_)
            sources_->reconcile();
        break;
    case Kind::PortsChanged:
        if (sources_)
            sources_->reconcile();
        break;
    case Kind::ConnectionsChanged:
        break;
    }
    const QStringList now =
        event.kind == Kind::ServerLost ? QStringList() : midi_->connections(kDestinationName);
    QStringList gone;
    for (const QString& peer : std::as_const(destinationPeers_)) {
        if (!now.contains(peer))
            gone << peer;
    }
    destinationPeers_ = now;
    if (!gone.isEmpty())
        dawGone(gone.join(QStringLiteral(", ")) + QStringLiteral(" left \"Orvel\""));
    Q_EMIT midiChanged();
}

} // namespace orvel
