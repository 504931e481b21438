#include "app/LaunchAtLogin.h"

#include "app/BuildInfo.h"
#include "platform/Console.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QSaveFile>
#include <QSignalBlocker>
#include <QStandardPaths>

#include <algorithm>

namespace orvel {

namespace {

const QString kGroup = QStringLiteral("[Desktop Entry]");

QString autostartDir()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/autostart");
}

bool isFalse(const QString& value)
{
    return value.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0;
}

bool isTrue(const QString& value)
{
    return value.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0;
}

// Reads the keys of the [Desktop Entry] group that decide whether the entry starts anything.
bool entryIsActive(const QByteArray& content)
{
    bool inGroup = false;
    bool sawGroup = false;
    for (const QByteArray& rawLine : content.split('\n')) {
        const QString line = QString::fromUtf8(rawLine).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('['))) {
            inGroup = line == kGroup;
            sawGroup = sawGroup || inGroup;
            continue;
        }
        if (!inGroup)
            continue;
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq < 0)
            continue;
        const QString key = line.left(eq).trimmed();
        const QString value = line.mid(eq + 1).trimmed();
        if (key == QLatin1String("Hidden") && isTrue(value))
            return false;
        if (key == QLatin1String("X-GNOME-Autostart-enabled") && isFalse(value))
            return false;
    }
    return sawGroup;
}

const QString kLoginArgument = QStringLiteral(" --login");

QByteArray entryContent()
{
    QString text;
    text += kGroup + QLatin1Char('\n');
    text += QStringLiteral("Type=Application\n");
    text += QStringLiteral("Name=Orvel\n");
    text += QStringLiteral("Comment=Switch Hue lights from MIDI\n");
    text += QStringLiteral("Exec=") + LaunchAtLogin::execValue(QCoreApplication::applicationFilePath()) +
            kLoginArgument + QLatin1Char('\n');
    text += QStringLiteral("Icon=") + QString::fromUtf8(build::appId) + QLatin1Char('\n');
    text += QStringLiteral("Terminal=false\n");
    text += QStringLiteral("X-GNOME-Autostart-enabled=true\n");
    return text.toUtf8();
}

bool writeEntry(const QString& path, const QByteArray& content = entryContent())
{
    if (!QDir().mkpath(QFileInfo(path).path())) {
        printLine(QStringLiteral("could not create the autostart directory ") + QFileInfo(path).path());
        return false;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() || !file.commit()) {
        printLine(QStringLiteral("could not write the autostart entry %1: %2").arg(path, file.errorString()));
        return false;
    }
    return true;
}

bool removeEntry(const QString& path)
{
    QFile file(path);
    if (!file.exists() && !QFileInfo(path).isSymLink())
        return true;
    if (!file.remove()) {
        printLine(
            QStringLiteral("could not remove the autostart entry %1: %2").arg(path, file.errorString()));
        return false;
    }
    return true;
}

} // namespace

QString LaunchAtLogin::helperBundleIdentifier()
{
    static const QString identifier =
        QString::fromUtf8(build::appId) + QStringLiteral("-LaunchAtLoginHelper");
    return identifier;
}

QString LaunchAtLogin::entryPath()
{
    return autostartDir() + QLatin1Char('/') + helperBundleIdentifier() + QStringLiteral(".desktop");
}

bool LaunchAtLogin::isEnabled()
{
    QFile file(entryPath());
    if (!file.open(QIODevice::ReadOnly))
        return false;
    return entryIsActive(file.readAll());
}

bool LaunchAtLogin::setEnabled(bool enabled)
{
    const QString path = entryPath();
    if (enabled)
        writeEntry(path);
    else
        removeEntry(path);
    const bool now = isEnabled();
    emit shared().changed(now);
    return now == enabled;
}

bool LaunchAtLogin::updateEntry()
{
    const QString path = entryPath();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QList<QByteArray> lines = file.readAll().split('\n');
    file.close();
    QList<QByteArray> ours = entryContent().split('\n');
    const auto isExec = [](const QByteArray& line) { return line.startsWith("Exec="); };
    const auto exec = std::find_if(lines.begin(), lines.end(), isExec);
    const auto ourExec = std::find_if(ours.begin(), ours.end(), isExec);
    // Written by us without --login: the quoted program alone, and every other line as we write it.
    if (exec == lines.end() || !exec->startsWith("Exec=\"") || !exec->endsWith('"') || exec->size() < 7)
        return false;
    const QByteArray updated = *exec + kLoginArgument.toUtf8();
    *exec = *ourExec;
    if (lines != ours)
        return false;
    *exec = updated;
    if (!writeEntry(path, lines.join('\n')))
        return false;
    printLine(QStringLiteral("updated the autostart entry to start Orvel with --login"));
    emit shared().changed(isEnabled());
    return true;
}

LaunchAtLogin::Observable& LaunchAtLogin::shared()
{
    static Observable* observable = new Observable;
    return *observable;
}

QString LaunchAtLogin::execValue(const QString& program)
{
    // Quote the program as one argument: inside the quotes ", `, $ and \ take a backslash.
    QString quoted = QStringLiteral("\"");
    for (const QChar c : program) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\');
        quoted += c;
    }
    quoted += QLatin1Char('"');
    // A literal % would start a field code.
    quoted.replace(QLatin1Char('%'), QStringLiteral("%%"));
    // The value is then stored as a desktop-entry string, which has escapes of its own.
    quoted.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    quoted.replace(QLatin1Char('\n'), QStringLiteral("\\n"));
    quoted.replace(QLatin1Char('\t'), QStringLiteral("\\t"));
    quoted.replace(QLatin1Char('\r'), QStringLiteral("\\r"));
    return quoted;
}

LaunchAtLoginToggle::LaunchAtLoginToggle(QWidget* parent)
    : LaunchAtLoginToggle(tr("Launch at login"), parent)
{}

LaunchAtLoginToggle::LaunchAtLoginToggle(const QString& label, QWidget* parent)
    : QWidget(parent)
    , box_(new QCheckBox(label, this))
{
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(box_);
    showState(LaunchAtLogin::isEnabled());

    connect(box_, &QCheckBox::toggled, this, [](bool on) { LaunchAtLogin::setEnabled(on); });
    connect(&LaunchAtLogin::shared(), &LaunchAtLoginObservable::changed, this,
            &LaunchAtLoginToggle::showState);
}

void LaunchAtLoginToggle::showEvent(QShowEvent* event)
{
    // The entry may have been changed outside the program while the window was hidden.
    showState(LaunchAtLogin::isEnabled());
    QWidget::showEvent(event);
}

void LaunchAtLoginToggle::showState(bool enabled)
{
    const QSignalBlocker blocker(box_);
    box_->setChecked(enabled);
}

} // namespace orvel
