#include "ui/ContentView.h"

#include "app/LoadedNews.h"
#include "controller/LightList.h"
#include "rules/SharedInt.h"
#include "ui/BottomButtons.h"
#include "ui/LightRuleUI.h"
#include "ui/MidiSettingsWindow.h"
#include "ui/TopStack.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

namespace orvel {

namespace {
// The rule list grows with its rows up to this height and scrolls beyond it.
constexpr int kRuleListMaxHeight = 600;
} // namespace

ContentView::ContentView(LightList* helper, LoadedNews* loadedNews, QWidget* parent)
    : QWidget(parent)
    , helper_(helper)
    , loadedNews_(loadedNews)
{
    setObjectName(QStringLiteral("contentView"));

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);

    top_ = new TopStack(helper, this);
    connect(top_, &TopStack::midiSettingsRequested, this, &ContentView::showMidiSettings);
    column->addWidget(top_);

    ruleList_ = new QScrollArea(this);
    ruleList_->setObjectName(QStringLiteral("ruleList"));
    ruleList_->setFrameShape(QFrame::NoFrame);
    ruleList_->setWidgetResizable(true);
    ruleList_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    ruleList_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    ruleList_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    ruleList_->setMinimumSize(0, 0);
    ruleList_->setMaximumHeight(kRuleListMaxHeight);
    rowsHost_ = new QWidget;
    rowsHost_->setObjectName(QStringLiteral("ruleRows"));
    rowsLayout_ = new QVBoxLayout(rowsHost_);
    rowsLayout_->setContentsMargins(0, rowsLayout_->spacing() / 2, 0, 0);
    rowsLayout_->addStretch(1);
    ruleList_->setWidget(rowsHost_);
    column->addWidget(ruleList_, 1);

    addLightRow_ = new QWidget(this);
    addLightRow_->setObjectName(QStringLiteral("addLightRow"));
    auto* addLayout = new QHBoxLayout(addLightRow_);
    addLayout->setContentsMargins(0, 0, 0, 0);
    addLight_ = new QPushButton(tr("Add Light"), addLightRow_);
    addLight_->setObjectName(QStringLiteral("addLightButton"));
    addLayout->addStretch(1);
    addLayout->addWidget(addLight_);
    addLayout->addStretch(1);
    column->addWidget(addLightRow_);

    bottom_ = new BottomButtons(loadedNews, helper, this);
    column->addWidget(bottom_);

    connect(addLight_, &QPushButton::clicked, this, [this] {
        if (helper_)
            helper_->addRule();
    });
    if (helper_)
        connect(helper_, &LightList::changed, this, &ContentView::refresh);
    refresh();
}

ContentView::~ContentView() = default;

void ContentView::refresh()
{
    if (!helper_)
        return;
    syncRows();

    const LightList& h = *helper_;
    const auto& client = h.lightsInterface();
    addLightRow_->setEnabled(!h.on() && !h.blinkingAll() && client && client->lights().has_value() &&
                             h.canAddRule());
}

void ContentView::syncRows()
{
    const auto& rules = helper_->lightRules();
    for (int i = 0; i < rules.size(); ++i) {
        if (i < rows_.size()) {
            if (rows_[i]->rule() == rules[i])
                continue;
            retire(rows_[i]);
            rows_[i] = makeRow(rules[i], i);
        } else {
            rows_.append(makeRow(rules[i], i));
        }
        rowsLayout_->insertWidget(i, rows_[i]);
    }
    while (rows_.size() > rules.size())
        retire(rows_.takeLast());
}

LightRuleUI* ContentView::makeRow(const std::shared_ptr<LightRule>& rule, int position)
{
    auto* ruleIndex = new SharedInt;
    ruleIndex->setVal(position);
    auto* row = new LightRuleUI(rule, helper_, ruleIndex, rowsHost_);
    row->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    return row;
}

void ContentView::retire(LightRuleUI* row)
{
    // The row may be the sender of what caused this change ("Delete"), so it goes once control
    // has left it; until then it must neither be seen nor react.
    rowsLayout_->removeWidget(row);
    row->hide();
    if (helper_)
        QObject::disconnect(helper_, nullptr, row, nullptr);
    QObject::disconnect(row->rule().get(), nullptr, row, nullptr);
    row->deleteLater();
}

MidiSettingsWindow* ContentView::midiSettings() const
{
    return midiSettings_;
}

void ContentView::showMidiSettings()
{
    if (!midiSettings_)
        midiSettings_ = new MidiSettingsWindow(helper_, this);
    midiSettings_->show();
    midiSettings_->raise();
    midiSettings_->activateWindow();
}

} // namespace orvel
