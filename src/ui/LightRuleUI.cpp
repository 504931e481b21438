#include "ui/LightRuleUI.h"

#include "controller/LightList.h"
#include "rules/LightRule.h"
#include "rules/SharedInt.h"
#include "ui/ViewParts.h"
#include "ui/sliders/SliderGeometry.h"
#include "ui/sliders/ValueSlider.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <algorithm>

namespace orvel {

namespace {

constexpr double kHueUnits = 65535;
constexpr double kEightBit = 255;

// The slider asks for the height of its 44-point touch box, but the rows of one rule sit close
// together, 26 points tighter than that: a slider row is just high enough for the 16-point knob
// with its shadow (1.5 points down, 2 points of blur), and the rows have no spacing between them.
constexpr int kSliderRowHeight = 24;

const char* const kDeleteStyle = R"(
QPushButton#deleteButton {
    background-color: rgb(229, 57, 53);
    color: white;
    border: none;
    border-radius: 5px;
    padding: 4px 12px;
}
QPushButton#deleteButton:pressed { background-color: rgb(183, 28, 28); }
QPushButton#deleteButton:disabled {
    background-color: rgba(229, 57, 53, 110);
    color: rgba(255, 255, 255, 190);
}
)";

ValueSlider* makeSlider(QWidget* parent, const QString& objectName, double upper, QList<QColor> colors,
                        std::function<double()> read, std::function<void(double)> write)
{
    auto* slider = new ValueSlider(parent);
    slider->setObjectName(objectName);
    HorizontalValueSliderStyle style;
    style.track.colors = std::move(colors);
    style.track.height = 15;
    style.track.cornerRadius = 7;
    style.thumbSize = {16, 16};
    style.thumbInteractiveSize = {44, 44};
    style.options = ValueSliderOptions::defaultOptions;
    slider->setSliderStyle(style);
    slider->setBounds(0, upper);
    slider->setStep(1);
    // The integer form: the rule's doubles are read truncated toward zero, and a drag only ever
    // writes whole numbers back.
    slider->setIntegerBinding([read = std::move(read)] { return slider::truncateToInteger(read()); },
                              [write = std::move(write)](qint64 v) { write(double(v)); });
    slider->setFixedHeight(kSliderRowHeight);
    // The slider paints its gradient the same whatever its state; faded, a locked row reads as
    // locked like the rest of the window's disabled controls.
    auto* fade = new QGraphicsOpacityEffect(slider);
    fade->setOpacity(0.45);
    fade->setEnabled(false);
    slider->setGraphicsEffect(fade);
    return slider;
}

// The picker sits in a scrolling list of rules: a wheel turned over it while the user scrolls the
// list must not pick another light (and blink it). The wheel goes on to the list; only opening
// the picker or the keyboard, once it has focus, chooses a light.
class LightPicker : public QComboBox {
public:
    using QComboBox::QComboBox;

protected:
    void wheelEvent(QWheelEvent* event) override { event->ignore(); }
};

void showEnabledState(ValueSlider* slider)
{
    if (auto* effect = slider->graphicsEffect())
        effect->setEnabled(!slider->isEnabled());
}

// A row of the rule led by its label; the caller adds the rest to the row's layout. The label is
// also collected in `labels`, which end up sharing one width.
QHBoxLayout* makeRow(QWidget* row, const QString& objectName, const QString& labelText, int pad,
                     QList<QLabel*>& labels)
{
    row->setObjectName(objectName);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(pad, 0, pad, 0);
    layout->setAlignment(Qt::AlignVCenter);
    auto* label = new QLabel(labelText, row);
    layout->addWidget(label);
    labels.append(label);
    return layout;
}

} // namespace

LightRuleUI::LightRuleUI(std::shared_ptr<LightRule> rule, LightList* helper, SharedInt* ruleIndex,
                         QWidget* parent)
    : QWidget(parent)
    , rule_(std::move(rule))
    , helper_(helper)
    , ruleIndex_(ruleIndex)
{
    setObjectName(QStringLiteral("lightRuleUI"));
    if (ruleIndex && !ruleIndex->parent())
        ruleIndex->setParent(this);
    const int pad = ui::defaultPadding(this);
    LightRule* r = rule_.get();

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    QList<QLabel*> labels;

    // Light picker and "Delete".
    lightRow_ = new QWidget(this);
    auto* lightLayout = makeRow(lightRow_, QStringLiteral("lightRow"), tr("Light"), pad, labels);
    labels.last()->setObjectName(QStringLiteral("lightLabel"));
    picker_ = new LightPicker(lightRow_);
    picker_->setObjectName(QStringLiteral("lightPicker"));
    picker_->setFocusPolicy(Qt::StrongFocus);
    // Light names are the bridge's and can be long; the picker takes the room the row has and the
    // open list shows names in full.
    picker_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    picker_->setMinimumContentsLength(8);
    picker_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    lightLayout->addWidget(picker_, 1);
    delete_ = new QPushButton(tr("Delete"), lightRow_);
    delete_->setObjectName(QStringLiteral("deleteButton"));
    delete_->setStyleSheet(QString::fromLatin1(kDeleteStyle));
    lightLayout->addWidget(delete_);
    column->addWidget(lightRow_);
    column->addSpacing(ui::defaultSpacing(this) / 2);

    // Colour rows, then brightness with the on/off choice: "<stem>Row" holding "<stem>Slider".
    auto addSliderRow = [&](QWidget*& row, ValueSlider*& slider, const QString& stem,
                            const QString& labelText, double upper, QList<QColor> colors,
                            std::function<double()> read, std::function<void(double)> write) {
        row = new QWidget(this);
        QHBoxLayout* layout = makeRow(row, stem + QStringLiteral("Row"), labelText, pad, labels);
        slider = makeSlider(row, stem + QStringLiteral("Slider"), upper, std::move(colors), std::move(read),
                            std::move(write));
        layout->addWidget(slider, 1);
        column->addWidget(row);
        return layout;
    };
    addSliderRow(
        hueRow_, hueSlider_, QStringLiteral("hue"), tr("Color"), kHueUnits, hueTrackColors(),
        [r] { return r->onHueDegrees(); }, [r](double v) { r->setOnHueDegrees(v); });
    addSliderRow(
        saturationRow_, saturationSlider_, QStringLiteral("saturation"), tr("Saturation"), kEightBit, {},
        [r] { return r->onSaturation(); }, [r](double v) { r->setOnSaturation(v); });
    QHBoxLayout* brightnessLayout = addSliderRow(
        brightnessRow_, brightnessSlider_, QStringLiteral("brightness"), tr("Brightness"), kEightBit,
        brightnessTrackColors(), [r] { return r->onValue(); }, [r](double v) { r->setOnValue(v); });
    onSwitch_ = new QCheckBox(tr("On"), brightnessRow_);
    onSwitch_->setObjectName(QStringLiteral("onSwitch"));
    brightnessLayout->addWidget(onSwitch_);
    column->addWidget(brightnessRow_);

    column->addSpacing(ui::defaultSpacing(this) / 2);
    divider_ = ui::makeDivider(this, QStringLiteral("ruleDivider"));
    column->addWidget(divider_);

    // The sliders of one rule start at the same place whatever their labels' lengths.
    int labelWidth = 0;
    for (const QLabel* label : labels)
        labelWidth = std::max(labelWidth, label->sizeHint().width());
    for (QLabel* label : labels)
        label->setMinimumWidth(labelWidth);

    connect(picker_, &QComboBox::activated, this, [this](int index) {
        if (index < 0 || index >= picker_->count())
            return;
        rule_->setLightID(picker_->itemData(index).toULongLong());
    });
    connect(delete_, &QPushButton::clicked, this, [this] {
        // The row's position is read at the press: rows above may have gone since it was built.
        if (helper_ && ruleIndex_)
            helper_->removeRule(ruleIndex_->val());
    });
    connect(onSwitch_, &QCheckBox::clicked, this, [this](bool checked) { rule_->setOnOn(checked); });

    connect(r, &LightRule::changed, this, &LightRuleUI::refresh);
    if (helper_)
        connect(helper_, &LightList::changed, this, &LightRuleUI::refresh);
    refresh();
}

LightRuleUI::~LightRuleUI() = default;

void LightRuleUI::refresh()
{
    const LightRule& r = *rule_;
    const bool on = r.on();
    const bool alwaysOn = helper_ && helper_->overrideToggle();

    syncPicker();
    lightRow_->setEnabled(!on);

    const bool colour = r.baseHue().has_value();
    hueRow_->setVisible(colour);
    hueRow_->setEnabled(!on && !alwaysOn);
    saturationRow_->setVisible(colour);
    saturationRow_->setEnabled(!on);
    saturationSlider_->setTrackColors(
        saturationTrackColors(r.onHueDegrees() / kHueUnits, r.onValue() / kEightBit));

    brightnessRow_->setVisible(r.baseValue() != -1);
    brightnessRow_->setEnabled(!on);
    onSwitch_->setVisible(r.canControlOn().value_or(false));
    onSwitch_->setChecked(r.onOn());

    divider_->setEnabled(!on);

    for (ValueSlider* slider : {hueSlider_, saturationSlider_, brightnessSlider_}) {
        showEnabledState(slider);
        slider->refresh();
    }
}

void LightRuleUI::syncPicker()
{
    static const QList<LightOption> none;
    const QList<LightOption>& options = helper_ ? helper_->availableLights() : none;

    // The list is replaced only when it differs: refilling it would close it under the user.
    bool same = picker_->count() == options.size();
    for (int i = 0; same && i < options.size(); ++i)
        same = picker_->itemData(i).toULongLong() == options[i].id && picker_->itemText(i) == options[i].name;
    if (!same) {
        const QSignalBlocker blocker(picker_);
        picker_->clear();
        for (const LightOption& option : options)
            picker_->addItem(option.name, QVariant::fromValue(option.id));
    }

    // A light that is not among the options (none chosen, or no longer listed) shows no choice.
    const quint64 chosen = rule_->lightID();
    int index = -1;
    for (int i = 0; i < options.size(); ++i) {
        if (options[i].id == chosen) {
            index = i;
            break;
        }
    }
    if (picker_->currentIndex() != index) {
        const QSignalBlocker blocker(picker_);
        picker_->setCurrentIndex(index);
    }
}

} // namespace orvel
