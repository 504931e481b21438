#include "ui/MidiSettingsWindow.h"

#include "controller/LightList.h"
#include "ui/ViewParts.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QTabWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <functional>

namespace orvel {

namespace {

constexpr int kWidth = 400;             // the settings window's width
constexpr int kLearnedListHeight = 190; // about four learned triggers; more scroll

QLabel* heading(const QString& text, QWidget* parent)
{
    QLabel* label = ui::makePlainLabel(text, parent, QString());
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    return label;
}

QString portList(const QStringList& ports)
{
    return ports.isEmpty() ? QObject::tr("nothing connected") : ports.join(QLatin1Char('\n'));
}

} // namespace

MidiSettingsWindow::MidiSettingsWindow(LightList* helper, QWidget* parent)
    : QDialog(parent)
    , helper_(helper)
{
    setObjectName(QStringLiteral("midiSettingsWindow"));
    setWindowTitle(tr("MIDI Settings"));
    auto* column = new QVBoxLayout(this);
    // As wide as the settings window; not resizable.
    column->setSizeConstraint(QLayout::SetFixedSize);
    auto* tabs = new QTabWidget(this);
    tabs->setObjectName(QStringLiteral("midiTabs"));
    tabs->addTab(makeTriggersTab(), tr("Triggers"));
    tabs->addTab(makeConnectionsTab(), tr("Connections"));
    tabs->addTab(makeActivityTab(), tr("What Arrives"));
    tabs->setFixedWidth(kWidth);
    column->addWidget(tabs);

    if (helper_) {
        connect(helper_, &LightList::midiChanged, this, &MidiSettingsWindow::refresh);
        connect(helper_, &LightList::midiActivity, this, &MidiSettingsWindow::refreshActivity);
    }
    refresh();
}

QWidget* MidiSettingsWindow::makeTriggersTab()
{
    auto* tab = new QWidget(this);
    auto* column = new QVBoxLayout(tab);
    column->addWidget(heading(tr("Messages that switch the lights"), tab));

    auto box = [this, tab, column](const QString& text, const QString& name, const QString& tip) {
        auto* check = new QCheckBox(text, tab);
        check->setObjectName(name);
        check->setToolTip(tip);
        column->addWidget(check);
        connect(check, &QCheckBox::clicked, this, &MidiSettingsWindow::apply);
        return check;
    };
    recordNote_ = box(tr("Record LED (note 95)"), QStringLiteral("recordNoteSwitch"),
                      tr("Mackie Control's Record LED: on (velocity 127) switches the lights on, off puts "
                         "them back."));
    selectNote_ = box(tr("Note 25"), QStringLiteral("selectNoteSwitch"),
                      tr("Mackie Control also uses note 25 for the Select button of the second strip: turn "
                         "this off if selecting a track switches the lights."));
    huiSequences_ = box(tr("HUI record sequences (controller 44)"), QStringLiteral("huiSwitch"),
                        tr("The controller-44 messages DAWs in HUI mode send for their record button."));
    lightWhileArmed_ = box(tr("Light while armed"), QStringLiteral("armedSwitch"),
                           tr("The blinking Record LED (note 95, velocity 1) of an armed DAW switches the "
                              "lights on, before the recording starts."));
    offWhenDawLeaves_ =
        box(tr("Lights back when the DAW goes away"), QStringLiteral("dawLeavesSwitch"),
            tr("The DAW's reset message when it closes, or its port leaving \"Orvel\" when it "
               "quits or crashes, puts back the lights MIDI switched on."));

    channel_ = new QComboBox(tab);
    channel_->setObjectName(QStringLiteral("channelChoice"));
    channel_->addItem(tr("Any channel"));
    for (int c = 1; c <= 16; ++c)
        channel_->addItem(tr("Channel %1").arg(c));
    auto* form = new QFormLayout;
    form->addRow(tr("Listen on"), channel_);
    column->addLayout(form);
    connect(channel_, &QComboBox::activated, this, &MidiSettingsWindow::apply);

    column->addWidget(ui::makeDivider(tab, QStringLiteral("learnedDivider")));
    column->addWidget(heading(tr("Learned triggers"), tab));
    // Many learned triggers scroll instead of stretching the window past the screen.
    auto* scroller = new QScrollArea(tab);
    learnedList_ = scroller;
    scroller->setObjectName(QStringLiteral("learnedList"));
    scroller->setWidgetResizable(true);
    scroller->setFrameShape(QFrame::NoFrame);
    auto* rowsHost = new QWidget(scroller);
    learnedRows_ = new QVBoxLayout(rowsHost);
    learnedRows_->setContentsMargins(0, 0, 0, 0);
    learnedRows_->setSizeConstraint(QLayout::SetMinAndMaxSize);
    scroller->setWidget(rowsHost);
    column->addWidget(scroller);
    auto* buttons = new QHBoxLayout;
    learnOn_ = new QPushButton(tr("Learn On"), tab);
    learnOn_->setObjectName(QStringLiteral("learnOnButton"));
    learnOff_ = new QPushButton(tr("Learn Off"), tab);
    learnOff_->setObjectName(QStringLiteral("learnOffButton"));
    buttons->addWidget(learnOn_);
    buttons->addWidget(learnOff_);
    buttons->addStretch(1);
    column->addLayout(buttons);
    learnStatus_ = ui::makePlainLabel(QString(), tab, QStringLiteral("learnStatus"));
    learnStatus_->setWordWrap(true);
    column->addWidget(learnStatus_);
    column->addStretch(1);
    connect(learnOn_, &QPushButton::clicked, this, [this] {
        if (helper_)
            helper_->startLearning(TriggerAction::On);
    });
    connect(learnOff_, &QPushButton::clicked, this, [this] {
        if (helper_)
            helper_->startLearning(TriggerAction::Off);
    });
    return tab;
}

QWidget* MidiSettingsWindow::makeConnectionsTab()
{
    auto* tab = new QWidget(this);
    auto* column = new QVBoxLayout(tab);
    column->addWidget(heading(tr("Connected now"), tab));
    auto* ports = new QFormLayout;
    // Port names come from other programs: plain text only.
    sendingTo_ = ui::makePlainLabel(QString(), tab, QStringLiteral("sendingToOrvel"));
    listeningTo_ = ui::makePlainLabel(QString(), tab, QStringLiteral("listeningToOrvelInput"));
    ports->addRow(tr("Sending to \"Orvel\":"), sendingTo_);
    ports->addRow(tr("Listening to \"Orvel Input\":"), listeningTo_);
    column->addLayout(ports);

    column->addWidget(ui::makeDivider(tab, QStringLiteral("sourcesDivider")));
    column->addWidget(heading(tr("Connect to Orvel whenever they appear"), tab));
    sourceRows_ = new QVBoxLayout;
    column->addLayout(sourceRows_);

    column->addWidget(ui::makeDivider(tab, QStringLiteral("helpDivider")));
    column->addWidget(heading(tr("Connecting a DAW"), tab));
    QLabel* help = ui::makePlainLabel(
        tr("Add a Mackie Control (or HUI) control surface in your DAW. Connect its MIDI output to "
           "\"Orvel\", and \"Orvel Input\" to its MIDI input: most DAWs say nothing to a surface until "
           "both directions are connected. Checking the DAW's output above does both, now and whenever "
           "the DAW starts again. Orvel answers the surface's greeting, so the default device profile "
           "works."),
        tab, QStringLiteral("dawHelp"));
    help->setWordWrap(true);
    column->addWidget(help);
    column->addStretch(1);
    return tab;
}

QWidget* MidiSettingsWindow::makeActivityTab()
{
    activity_ = new QTreeWidget(this);
    activity_->setObjectName(QStringLiteral("activityList"));
    activity_->setHeaderLabels({tr("Time"), tr("Bytes"), tr("Meaning")});
    activity_->setRootIsDecorated(false);
    activity_->setUniformRowHeights(true);
    activity_->setTextElideMode(Qt::ElideRight);
    activity_->setColumnWidth(0, 95);
    activity_->setColumnWidth(1, 80);
    return activity_;
}

void MidiSettingsWindow::refresh()
{
    if (!helper_)
        return;
    const MidiTriggerSettings& s = helper_->triggerSettings();
    recordNote_->setChecked(s.recordNote);
    selectNote_->setChecked(s.selectNote);
    huiSequences_->setChecked(s.huiSequences);
    lightWhileArmed_->setChecked(s.lightWhileArmed);
    lightWhileArmed_->setEnabled(s.recordNote);
    offWhenDawLeaves_->setChecked(s.offWhenDawLeaves);
    channel_->setCurrentIndex(s.channel);
    sendingTo_->setText(portList(helper_->midiConnections(QStringLiteral("Orvel"))));
    listeningTo_->setText(portList(helper_->midiConnections(QStringLiteral("Orvel Input"))));

    const auto learning = helper_->learning();
    const bool room = helper_->learnedTriggers().size() < LightList::kMaxLearned;
    learnOn_->setEnabled(!learning && room);
    learnOff_->setEnabled(!learning && room);
    learnStatus_->setText(learning
                              ? tr("Send the message for \"%1\" to Orvel now (Escape cancels).")
                                    .arg(*learning == TriggerAction::On ? tr("lights on") : tr("lights back"))
                              : QString());
    refreshLearned();
    refreshSources();
}

namespace {

// Rows are made anew on every change; the old ones go once their own signals are over.
void clearRows(QVBoxLayout* rows)
{
    while (QLayoutItem* item = rows->takeAt(0)) {
        if (QWidget* widget = item->widget()) {
            widget->hide();
            widget->deleteLater();
        }
        delete item;
    }
}

} // namespace

void MidiSettingsWindow::refreshLearned()
{
    clearRows(learnedRows_);
    const std::vector<MidiTrigger>& learned = helper_->learnedTriggers();
    if (learned.empty()) {
        learnedRows_->addWidget(
            ui::makePlainLabel(tr("none yet"), this, QStringLiteral("noLearnedTriggers")));
        return;
    }
    for (std::size_t i = 0; i < learned.size(); ++i) {
        const MidiTrigger& trigger = learned[i];
        auto* row = new QWidget(this);
        row->setObjectName(QStringLiteral("learnedTrigger%1").arg(i));
        // The trigger in words above, what can be done with it below.
        auto* lines = new QVBoxLayout(row);
        lines->setContentsMargins(0, 0, 0, 0);
        lines->setSpacing(2);
        lines->addWidget(ui::makePlainLabel(
            (trigger.action == TriggerAction::On ? tr("Lights on: ") : tr("Lights back: ")) +
                describeTrigger(trigger),
            row, QStringLiteral("triggerText")));
        auto* line = new QHBoxLayout;
        lines->addLayout(line);
        // Widening: any channel, and for a controller the usual pedal and toggle ranges.
        auto change = [this, i](const std::function<void(MidiTrigger&)>& edit) {
            std::vector<MidiTrigger> edited = helper_->learnedTriggers();
            if (i < edited.size()) {
                edit(edited[i]);
                helper_->setLearnedTriggers(std::move(edited));
            }
        };
        auto* anyChannel = new QCheckBox(tr("Any channel"), row);
        anyChannel->setObjectName(QStringLiteral("anyChannel"));
        anyChannel->setChecked(trigger.channel < 0);
        anyChannel->setEnabled(trigger.channel >= 0);
        connect(anyChannel, &QCheckBox::clicked, this,
                [change](bool) { change([](MidiTrigger& t) { t.channel = -1; }); });
        line->addWidget(anyChannel);
        if (trigger.kind == MidiTrigger::Kind::ControlChange) {
            auto* range = new QComboBox(row);
            range->setObjectName(QStringLiteral("valueRange"));
            const bool on = trigger.action == TriggerAction::On;
            range->addItem(tr("This value"));
            range->addItem(on ? tr("64 and up") : tr("Below 64"));
            const bool wide = trigger.low != trigger.high;
            range->setCurrentIndex(wide ? 1 : 0);
            range->setEnabled(!wide);
            connect(range, &QComboBox::activated, this, [change, on](int index) {
                if (index == 1)
                    change(
                        [on](MidiTrigger& t) { on ? (t.low = 64, t.high = 127) : (t.low = 0, t.high = 63); });
            });
            line->addWidget(range);
        }
        auto* remove = new QPushButton(tr("Remove"), row);
        remove->setObjectName(QStringLiteral("removeTrigger"));
        connect(remove, &QPushButton::clicked, this, [this, i] {
            std::vector<MidiTrigger> edited = helper_->learnedTriggers();
            if (i < edited.size()) {
                edited.erase(edited.begin() + qsizetype(i));
                helper_->setLearnedTriggers(std::move(edited));
            }
        });
        line->addStretch(1);
        line->addWidget(remove);
        learnedRows_->addWidget(row);
    }
    learnedList_->setFixedHeight(std::min(kLearnedListHeight, learnedList_->widget()->sizeHint().height()));
}

void MidiSettingsWindow::refreshSources()
{
    clearRows(sourceRows_);
    MidiSources* sources = helper_->midiSources();
    QStringList names;
    for (const MidiPortInfo& port : helper_->midiSystem().ports()) {
        if (port.isSource)
            names << port.name;
    }
    // Remembered sources stay listed while they are away, so they can be unchecked.
    if (sources) {
        for (const QString& remembered : sources->remembered()) {
            if (!names.contains(remembered))
                names << remembered;
        }
    }
    if (names.isEmpty()) {
        sourceRows_->addWidget(ui::makePlainLabel(tr("no MIDI outputs seen (with JACK they are listed here)"),
                                                  this, QStringLiteral("noSources")));
        return;
    }
    for (const QString& name : std::as_const(names)) {
        // Port names come from other programs; a check box never reads "&" as a shortcut.
        auto* check = new QCheckBox(ui::escapeMnemonics(name), this);
        check->setObjectName(QStringLiteral("source:") + name);
        check->setChecked(sources && sources->remembered().contains(name));
        connect(check, &QCheckBox::clicked, this, [this, name](bool checked) {
            if (helper_ && helper_->midiSources())
                helper_->midiSources()->setRemembered(name, checked);
        });
        sourceRows_->addWidget(check);
    }
}

void MidiSettingsWindow::refreshActivity()
{
    if (!helper_)
        return;
    activity_->clear();
    for (const MidiActivity::Entry& entry : helper_->activity().entries()) {
        const QString bytes = entry.bytes.size() > 12
                                  ? QString::fromLatin1(entry.bytes.left(12).toHex(' ')) + u" …"_qs
                                  : QString::fromLatin1(entry.bytes.toHex(' '));
        const QString meaning =
            entry.count > 1 ? tr("%1 (×%2)").arg(entry.meaning).arg(entry.count) : entry.meaning;
        auto* item =
            new QTreeWidgetItem(activity_, {entry.time.toString(u"HH:mm:ss.zzz"_qs), bytes, meaning});
        item->setToolTip(2, meaning);
    }
}

void MidiSettingsWindow::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape && helper_ && helper_->learning()) {
        helper_->cancelLearning();
        return;
    }
    QDialog::keyPressEvent(event);
}

void MidiSettingsWindow::showEvent(QShowEvent* event)
{
    if (helper_)
        helper_->setActivityRecording(true);
    QDialog::showEvent(event);
}

void MidiSettingsWindow::hideEvent(QHideEvent* event)
{
    if (helper_) {
        helper_->setActivityRecording(false);
        helper_->cancelLearning();
    }
    QDialog::hideEvent(event);
}

void MidiSettingsWindow::apply()
{
    if (!helper_)
        return;
    MidiTriggerSettings s;
    s.recordNote = recordNote_->isChecked();
    s.selectNote = selectNote_->isChecked();
    s.huiSequences = huiSequences_->isChecked();
    s.lightWhileArmed = lightWhileArmed_->isChecked();
    s.offWhenDawLeaves = offWhenDawLeaves_->isChecked();
    s.channel = channel_->currentIndex();
    helper_->setTriggerSettings(s);
}

} // namespace orvel
