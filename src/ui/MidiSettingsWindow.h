#pragma once

#include <QDialog>
#include <QPointer>

class QCheckBox;
class QComboBox;
class QLabel;

namespace orvel {

class LightList;

// "MIDI Settings": which built-in messages switch the lights and on which channel, who is
// connected to "Orvel" and "Orvel Input" right now, and how to connect a DAW. Not modal; the
// controller must outlive it. Escape closes it.
class MidiSettingsWindow : public QDialog {
    Q_OBJECT
public:
    explicit MidiSettingsWindow(LightList* helper, QWidget* parent = nullptr);

    // Reads the controller again.
    void refresh();

private:
    void apply();

    QPointer<LightList> helper_;
    QCheckBox* recordNote_;
    QCheckBox* selectNote_;
    QCheckBox* huiSequences_;
    QCheckBox* lightWhileArmed_;
    QCheckBox* offWhenDawLeaves_;
    QComboBox* channel_;
    QLabel* sendingTo_;
    QLabel* listeningTo_;
};

} // namespace orvel
