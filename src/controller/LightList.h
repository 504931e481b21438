#pragma once

#include "controller/midi/MidiActivity.h"
#include "controller/midi/MidiEndpoints.h"
#include "controller/midi/MidiSources.h"
#include "controller/midi/MidiTriggers.h"
#include "hue/HueBridge.h"
#include "platform/MainQueue.h"
#include "rules/LightOption.h"
#include "rules/LightRule.h"
#include "rules/Queue.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariantMap>

#include <memory>
#include <vector>

namespace orvel {

// The one controller: finds and pairs with a bridge, reads its lights, keeps the light rules,
// listens on the "Orvel" MIDI destination and switches the rules on and off.
// Observable: changed() is emitted on every assignment of a published property.
class LightList : public QObject, public HueDiscoveryDelegate {
    Q_OBJECT
public:
    // Construction reads "global_toggle" and, when it is on, starts a flash test.
    LightList(std::shared_ptr<HueBridgeServices> bridges, std::shared_ptr<MidiEndpoints> midi,
              QObject* parent = nullptr);
    ~LightList() override;

    // A bridge host to use as if discovery had reported it (command line --bridge). Call before setUp().
    void setGivenBridgeHost(const QString& host);

    // Starts bridge discovery and creates the MIDI endpoints. Called once.
    void setUp();

    // Published.
    bool blinkingAll() const { return blinkingAll_; }
    const QList<LightOption>& availableLights() const { return availableLights_; }
    const QList<std::shared_ptr<LightRule>>& lightRules() const { return lightRules_; }
    const QString& statusText() const { return statusText_; }
    bool globalToggle() const { return globalToggle_; }
    void setGlobalToggle(bool value); // stores it; a true value runs a flash test
    bool overrideToggle() const { return overrideToggle_; }
    void setOverrideToggle(bool value); // rulesOn() or rulesOff()
    bool on() const { return on_; }

    // Unpublished.
    QObject* contentView() const { return contentView_; }
    void setContentView(QObject* view) { contentView_ = view; }
    const std::shared_ptr<HueBridgeClient>& lightsInterface() const { return lightsInterface_; }
    const QString& username() const { return username_; }
    const std::shared_ptr<RepeatingTimer>& timer() const { return timer_; }
    const Queue<quint64>& midiCCHistory() const { return midiCCHistory_; }

    // Discovery delegate.
    void foundHueAt(const QString& host, const QString& discoveryLog) override;

    void startPairing(const QString& host, const QVariantMap& userInfo);
    void connectHueTimerWithTimer(RepeatingTimer& timer);
    void connectHueFirstTimerWithTimer(RepeatingTimer& timer);
    void connectHue(const QString& host);
    bool attemptRegistration();
    void hueConnected();
    void refreshLights();

    void handleMIDI(const std::vector<MidiCommand>& commands);
    // The built-in vocabulary's switches; setting them stores them and applies them at once.
    const MidiTriggerSettings& triggerSettings() const { return triggerSettings_; }
    void setTriggerSettings(const MidiTriggerSettings& settings);
    // Full names of the ports connected to our "Orvel" or "Orvel Input" right now.
    QStringList midiConnections(const QString& ourPort) const;
    // The endpoints' view of the MIDI system (ports, connections), for the MIDI settings.
    MidiEndpoints& midiSystem() const { return *midi_; }

    // Triggers taught by example; they act after the built-in vocabulary, which keeps precedence.
    // A list longer than anyone reads is a mistake (a controller swept while learning): it stops
    // at kMaxLearned.
    static constexpr std::size_t kMaxLearned = 128;
    const std::vector<MidiTrigger>& learnedTriggers() const { return learned_; }
    void setLearnedTriggers(std::vector<MidiTrigger> learned); // stores them
    // The next note, controller or program change that reaches "Orvel" becomes a trigger for
    // `action` (On or Off). Ends with that message, cancelLearning() or after 10 seconds.
    void startLearning(TriggerAction action);
    void cancelLearning();
    std::optional<TriggerAction> learning() const { return learning_; }

    // Sources connected to "Orvel" whenever they are there (created by setUp()).
    MidiSources* midiSources() const { return sources_.get(); }

    // What arrives, kept only while recording is on (the MIDI Settings window is open).
    void setActivityRecording(bool on);
    const MidiActivity& activity() const { return activity_; }
    void rulesOn();
    void rulesOff();

    // The most rules a start builds from the stored count; "Add Light" stops there too.
    static constexpr qsizetype kMaxRules = 255;
    bool canAddRule() const { return lightRules_.size() < kMaxRules; }
    void addRule();
    void removeRule(qint64 index);
    void blinkAll();

Q_SIGNALS:
    void changed();
    // The MIDI system changed around our ports (connections, ports, the server), or the trigger
    // settings, the learned triggers or the state of learning did.
    void midiChanged();
    // New entries in activity(); at most ten times a second.
    void midiActivity();

private:
    void setStatusText(const QString& text);
    void setOn(bool value);
    void setBlinkingAll(bool value);
    void setUpMidi();
    void handleMidiSystemEvent(const MidiSystemEvent& event);
    void switchFromMidi(bool on);
    void handleHuiValue(quint64 value);
    void answerSurface(const MidiCommand& command);
    void dawGone(const QString& why);
    bool learnFrom(const MidiCommand& command);
    void rebuildTriggers();
    void switchAll(bool on);
    void startTimer(double interval, const QVariantMap& userInfo, void (LightList::*target)(RepeatingTimer&));
    void buildRules();

    std::shared_ptr<HueBridgeServices> bridges_;
    std::shared_ptr<MidiEndpoints> midi_;

    bool blinkingAll_ = false;
    QList<LightOption> availableLights_;
    QList<std::shared_ptr<LightRule>> lightRules_;
    QString statusText_ = QStringLiteral("Connecting...");
    bool globalToggle_ = true;
    bool overrideToggle_ = false;
    bool on_ = false;

    QPointer<QObject> contentView_;
    std::shared_ptr<HueBridgeClient> lightsInterface_;
    std::unique_ptr<HueDiscovery> hue_discover;
    QString username_;
    std::shared_ptr<RepeatingTimer> timer_;
    std::unique_ptr<MidiDestination> midiListener_;
    std::unique_ptr<MidiSource> midiSender_;
    Queue<quint64> midiCCHistory_;
    MidiTriggerSettings triggerSettings_;
    std::vector<MidiTrigger> triggers_; // what MIDI means, built from triggerSettings_
    // The lights were last switched on by MIDI: only then may the DAW's leaving switch them off.
    bool onByMidi_ = false;
    // A host asks as several device types at once; Orvel answers as one main unit per wake-up.
    double surfaceAnsweredAt_ = -1e9;
    int surfaceAnsweredType_ = -1;
    QStringList destinationPeers_; // ports connected to "Orvel" at the last look
    std::vector<MidiTrigger> learned_;
    std::optional<TriggerAction> learning_;
    quint64 learnCycle_ = 0; // a time-out ends only the learning it was started for
    std::unique_ptr<MidiSources> sources_;
    MidiActivity activity_;
    bool recordingActivity_ = false;
    bool activityAnnounced_ = false; // an announcement is scheduled
    QString givenBridgeHost_;

    // The bridge being connected: the latest one reported until one is connected, then that one.
    QString connectionHost_;
    // The rules are built once per connection; later authenticated reads only refresh the lights.
    bool rulesBuilt_ = false;
    // Light-list refreshes finish 0.1 s later; only the newest may fill availableLights.
    quint64 refreshGeneration_ = 0;
};

} // namespace orvel
