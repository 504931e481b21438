#pragma once

#include "controller/LightList.h"

#include <QPointer>
#include <QWidget>

class QCheckBox;
class QLabel;
class QPushButton;
class QToolButton;

namespace orvel {

// The top of the settings window: the controller's status line, the "System Enabled" and
// "Always On" switches, the "Flash Test" button, a button for the MIDI settings and a divider. It keeps
// nothing of the controller's state: every change announced by the controller is read back from it.
class TopStack : public QWidget {
    Q_OBJECT
public:
    explicit TopStack(LightList* helper, QWidget* parent = nullptr);

    QLabel* statusLabel() const { return status_; }
    QCheckBox* systemEnabledSwitch() const { return systemEnabled_; }
    QCheckBox* alwaysOnSwitch() const { return alwaysOn_; }
    QPushButton* flashTestButton() const { return flashTest_; }
    QToolButton* midiSettingsButton() const { return midiSettings_; }

    // Reads the controller again and shows what it holds now.
    void refresh();

Q_SIGNALS:
    void midiSettingsRequested();

private:
    QPointer<LightList> helper_;
    QLabel* status_;
    QCheckBox* systemEnabled_;
    QCheckBox* alwaysOn_;
    QPushButton* flashTest_;
    QToolButton* midiSettings_;
};

} // namespace orvel
