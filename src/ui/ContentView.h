#pragma once

#include "app/LoadedNews.h"
#include "controller/LightList.h"

#include <QList>
#include <QPointer>
#include <QWidget>

class QPushButton;
class QScrollArea;
class QVBoxLayout;

namespace orvel {

class BottomButtons;
class LightRuleUI;
class MidiSettingsWindow;
class TopStack;

// The settings window's content: the top bar, the scrolling list of rule rows, "Add Light" and the
// bottom bar. The shell builds it once and hosts it in the window; it never owns the controller or
// the news model, which must outlive it.
//
// Rows are kept by position: after a change of the controller, the row at a position is replaced
// only when the rule at that position is another one, so editing a rule never destroys the widget
// being edited, and a row's position (its ruleIndex) is always its place in the list.
class ContentView : public QWidget {
    Q_OBJECT
public:
    ContentView(LightList* helper, LoadedNews* loadedNews, QWidget* parent = nullptr);
    ~ContentView() override;

    LightList* helper() const { return helper_; }
    LoadedNews* loadedNews() const { return loadedNews_; }

    TopStack* topStack() const { return top_; }
    QScrollArea* ruleList() const { return ruleList_; }
    const QList<LightRuleUI*>& rows() const { return rows_; }
    QWidget* addLightRow() const { return addLightRow_; }
    QPushButton* addLightButton() const { return addLight_; }
    BottomButtons* bottomButtons() const { return bottom_; }

    // Reads the controller again and brings the rows and "Add Light" up to date.
    void refresh();

    // Shows the MIDI Settings window (made on first use) and brings it forward.
    void showMidiSettings();
    MidiSettingsWindow* midiSettings() const;

private:
    void syncRows();
    LightRuleUI* makeRow(const std::shared_ptr<LightRule>& rule, int position);
    void retire(LightRuleUI* row);

    QPointer<LightList> helper_;
    QPointer<LoadedNews> loadedNews_;
    TopStack* top_;
    QScrollArea* ruleList_;
    QWidget* rowsHost_;
    QVBoxLayout* rowsLayout_;
    QList<LightRuleUI*> rows_;
    QWidget* addLightRow_;
    QPushButton* addLight_;
    BottomButtons* bottom_;
    QPointer<MidiSettingsWindow> midiSettings_;
};

} // namespace orvel
