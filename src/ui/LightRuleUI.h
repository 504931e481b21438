#pragma once

#include "controller/LightList.h"
#include "rules/LightRule.h"
#include "rules/SharedInt.h"

#include <QPointer>
#include <QWidget>

#include <memory>

class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QPushButton;

namespace orvel {

class ValueSlider;

// The editor of one light rule: the light picker with "Delete", the colour rows (while the rule
// knows a hue), the brightness row with the "On" switch (while the light has a brightness; the
// switch only once the light has been found), and a divider.
//
// The row shows the rule and the controller as they are at each of their change announcements.
// It keeps its widgets across those updates, so a slider under the mouse survives the rule's
// announcement at every step of its own drag.
class LightRuleUI : public QWidget {
    Q_OBJECT
public:
    // `ruleIndex` holds the row's position in the controller's rule list; the row takes it over
    // when it has no parent.
    LightRuleUI(std::shared_ptr<LightRule> rule, LightList* helper, SharedInt* ruleIndex,
                QWidget* parent = nullptr);
    ~LightRuleUI() override;

    const std::shared_ptr<LightRule>& rule() const { return rule_; }
    SharedInt* ruleIndex() const { return ruleIndex_; }

    QComboBox* lightPicker() const { return picker_; }
    QPushButton* deleteButton() const { return delete_; }
    QWidget* lightRow() const { return lightRow_; }
    QWidget* hueRow() const { return hueRow_; }
    QWidget* saturationRow() const { return saturationRow_; }
    QWidget* brightnessRow() const { return brightnessRow_; }
    ValueSlider* hueSlider() const { return hueSlider_; }
    ValueSlider* saturationSlider() const { return saturationSlider_; }
    ValueSlider* brightnessSlider() const { return brightnessSlider_; }
    QCheckBox* onSwitch() const { return onSwitch_; }

    // Reads the rule and the controller again and shows what they hold now.
    void refresh();

private:
    void syncPicker();

    std::shared_ptr<LightRule> rule_;
    QPointer<LightList> helper_;
    QPointer<SharedInt> ruleIndex_;

    QWidget* lightRow_;
    QComboBox* picker_;
    QPushButton* delete_;
    QWidget* hueRow_;
    ValueSlider* hueSlider_;
    QWidget* saturationRow_;
    ValueSlider* saturationSlider_;
    QWidget* brightnessRow_;
    ValueSlider* brightnessSlider_;
    QCheckBox* onSwitch_;
    QFrame* divider_;
};

} // namespace orvel
