#pragma once

#include <QDialog>
#include <QPointer>

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QScrollArea;
class QTreeWidget;
class QVBoxLayout;

namespace orvel {

class LightList;

// "MIDI Settings", in three tabs:
// - Triggers: which built-in messages switch the lights and on which channel, and the triggers
//   taught by example ("Learn On", "Learn Off"; Escape cancels a lesson);
// - Connections: who is connected to "Orvel" and "Orvel Input" right now, the MIDI outputs to
//   connect whenever they appear, and how to connect a DAW;
// - What arrives: the last messages and what they meant, recorded only while the window is shown.
// Not modal; the controller must outlive it. Escape closes it when no lesson runs.
class MidiSettingsWindow : public QDialog {
    Q_OBJECT
public:
    explicit MidiSettingsWindow(LightList* helper, QWidget* parent = nullptr);

    // Reads the controller again.
    void refresh();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QWidget* makeTriggersTab();
    QWidget* makeConnectionsTab();
    QWidget* makeActivityTab();
    void apply();
    void refreshLearned();
    void refreshSources();
    void refreshActivity();

    QPointer<LightList> helper_;
    QCheckBox* recordNote_;
    QCheckBox* selectNote_;
    QCheckBox* huiSequences_;
    QCheckBox* lightWhileArmed_;
    QCheckBox* offWhenDawLeaves_;
    QComboBox* channel_;
    QVBoxLayout* learnedRows_;
    QScrollArea* learnedList_;
    QPushButton* learnOn_;
    QPushButton* learnOff_;
    QLabel* learnStatus_;
    QLabel* sendingTo_;
    QLabel* listeningTo_;
    QVBoxLayout* sourceRows_;
    QTreeWidget* activity_;
};

} // namespace orvel
