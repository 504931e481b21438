#include "ui/MidiSettingsWindow.h"

#include "controller/LightList.h"
#include "ui/ViewParts.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace orvel {

namespace {

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
    // As wide as the settings window, as tall as the wrapped help needs; not resizable.
    column->setSizeConstraint(QLayout::SetFixedSize);
    column->addWidget(heading(tr("Messages that switch the lights"), this));

    auto box = [this, column](const QString& text, const QString& name, const QString& tip) {
        auto* check = new QCheckBox(text, this);
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

    channel_ = new QComboBox(this);
    channel_->setObjectName(QStringLiteral("channelChoice"));
    channel_->addItem(tr("Any channel"));
    for (int c = 1; c <= 16; ++c)
        channel_->addItem(tr("Channel %1").arg(c));
    auto* form = new QFormLayout;
    form->addRow(tr("Listen on"), channel_);
    column->addLayout(form);
    connect(channel_, &QComboBox::activated, this, &MidiSettingsWindow::apply);

    column->addWidget(ui::makeDivider(this, QStringLiteral("midiDivider")));
    column->addWidget(heading(tr("Connected now"), this));
    auto* ports = new QFormLayout;
    // Port names come from other programs: plain text only.
    sendingTo_ = ui::makePlainLabel(QString(), this, QStringLiteral("sendingToOrvel"));
    listeningTo_ = ui::makePlainLabel(QString(), this, QStringLiteral("listeningToOrvelInput"));
    ports->addRow(tr("Sending to \"Orvel\":"), sendingTo_);
    ports->addRow(tr("Listening to \"Orvel Input\":"), listeningTo_);
    column->addLayout(ports);

    column->addWidget(ui::makeDivider(this, QStringLiteral("helpDivider")));
    column->addWidget(heading(tr("Connecting a DAW"), this));
    QLabel* help = ui::makePlainLabel(
        tr("Add a Mackie Control (or HUI) control surface in your DAW. Connect its MIDI output to "
           "\"Orvel\", and \"Orvel Input\" to its MIDI input: most DAWs say nothing to a surface until "
           "both directions are connected. Orvel answers the surface's greeting, so the default device "
           "profile works."),
        this, QStringLiteral("dawHelp"));
    help->setWordWrap(true);
    help->setFixedWidth(400 - column->contentsMargins().left() - column->contentsMargins().right());
    column->addWidget(help);

    if (helper_)
        connect(helper_, &LightList::midiChanged, this, &MidiSettingsWindow::refresh);
    refresh();
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
