#include "ui/TopStack.h"

#include "controller/LightList.h"
#include "ui/ViewParts.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

namespace orvel {

TopStack::TopStack(LightList* helper, QWidget* parent)
    : QWidget(parent)
    , helper_(helper)
{
    setObjectName(QStringLiteral("topStack"));

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);

    // The status comes from the bridge (its name, its address): shown as plain text, never markup.
    status_ = ui::makePlainLabel(QString(), this, QStringLiteral("statusText"));
    status_->setAlignment(Qt::AlignCenter);
    status_->setWordWrap(true);
    const int pad = ui::defaultPadding(this);
    status_->setContentsMargins(pad, pad, pad, pad);
    column->addWidget(status_);

    auto* switches = new QHBoxLayout;
    switches->setContentsMargins(pad, 0, pad, 0);
    switches->addStretch(1);
    systemEnabled_ = new QCheckBox(tr("System Enabled"), this);
    systemEnabled_->setObjectName(QStringLiteral("systemEnabledSwitch"));
    // Room on both sides sets the master switch apart from the two controls that depend on it.
    switches->addSpacing(pad);
    switches->addWidget(systemEnabled_);
    switches->addSpacing(pad);
    alwaysOn_ = new QCheckBox(tr("Always On"), this);
    alwaysOn_->setObjectName(QStringLiteral("alwaysOnSwitch"));
    switches->addWidget(alwaysOn_);
    flashTest_ = new QPushButton(tr("Flash Test"), this);
    flashTest_->setObjectName(QStringLiteral("flashTestButton"));
    switches->addWidget(flashTest_);
    // A tool button: the row has room for a small one only.
    midiSettings_ = new QToolButton(this);
    midiSettings_->setText(tr("MIDI…"));
    midiSettings_->setObjectName(QStringLiteral("midiSettingsButton"));
    midiSettings_->setToolTip(tr("MIDI Settings"));
    switches->addWidget(midiSettings_);
    switches->addStretch(1);
    column->addLayout(switches);

    column->addWidget(ui::makeDivider(this, QStringLiteral("topDivider")));

    // clicked() comes only from the user, so showing the controller's value never writes it back.
    connect(systemEnabled_, &QCheckBox::clicked, this, [this](bool checked) {
        if (helper_)
            helper_->setGlobalToggle(checked);
    });
    connect(alwaysOn_, &QCheckBox::clicked, this, [this](bool checked) {
        if (helper_)
            helper_->setOverrideToggle(checked);
    });
    connect(midiSettings_, &QToolButton::clicked, this, &TopStack::midiSettingsRequested);
    connect(flashTest_, &QPushButton::clicked, this, [this] {
        if (helper_)
            helper_->blinkAll();
    });
    if (helper_)
        connect(helper_, &LightList::changed, this, &TopStack::refresh);
    refresh();
}

void TopStack::refresh()
{
    if (!helper_)
        return;
    const LightList& h = *helper_;
    status_->setText(h.statusText());

    systemEnabled_->setChecked(h.globalToggle());
    systemEnabled_->setEnabled(!h.overrideToggle());

    alwaysOn_->setChecked(h.overrideToggle());
    alwaysOn_->setEnabled(h.globalToggle() && h.lightsInterface() && !h.blinkingAll());

    flashTest_->setEnabled(h.globalToggle() && !h.overrideToggle() && h.lightsInterface() &&
                           !h.blinkingAll());
}

} // namespace orvel
