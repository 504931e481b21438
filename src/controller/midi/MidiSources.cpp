#include "controller/midi/MidiSources.h"

#include "platform/Console.h"
#include "platform/Preferences.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

#include <algorithm>
#include <utility>

namespace orvel {

namespace {

const QString kSourcesKey = QStringLiteral("midi_sources");
const QString kDestination = QStringLiteral("Orvel");
const QString kSource = QStringLiteral("Orvel Input");

} // namespace

MidiSources::MidiSources(MidiEndpoints& midi)
    : midi_(midi)
{
    const QJsonValue stored = Preferences::standard().object(kSourcesKey);
    const QJsonArray list = stored.toArray();
    for (const QJsonValue& entry : list) {
        if (entry.isString() && entry.toString().contains(QLatin1Char(':')))
            remembered_ << entry.toString();
        else
            printLine(QStringLiteral("skipped a remembered MIDI source that is not a port name: ") +
                      QString::fromUtf8(QJsonDocument(QJsonArray{entry}).toJson(QJsonDocument::Compact)));
    }
    if (!stored.isUndefined() && !stored.isArray())
        printLine(QStringLiteral("remembered MIDI sources are not a list; none loaded"));
}

void MidiSources::setRemembered(const QString& source, bool remember)
{
    if (remember == remembered_.contains(source))
        return;
    if (remember) {
        remembered_ << source;
    } else {
        remembered_.removeAll(source);
        const QString partner = partnerInput(source, midi_.ports());
        for (const auto& pair : std::exchange(made_, {})) {
            if (pair.first != source && pair.second != partner) {
                made_ << pair;
                continue;
            }
            QString error;
            if (!midi_.setConnected(pair.first, pair.second, false, &error))
                printLine(error);
        }
    }
    Preferences::standard().setJson(kSourcesKey, QJsonArray::fromStringList(remembered_));
    if (remember)
        reconcile();
}

void MidiSources::reconcile()
{
    if (remembered_.isEmpty())
        return;
    const QList<MidiPortInfo> ports = midi_.ports();
    const QStringList listening = midi_.connections(kDestination);
    const QStringList answering = midi_.connections(kSource);
    for (const QString& source : std::as_const(remembered_)) {
        const bool present = std::any_of(ports.begin(), ports.end(), [&](const MidiPortInfo& p) {
            return p.isSource && p.name == source;
        });
        if (!present)
            continue;
        if (!listening.contains(source))
            connect(source, kDestination);
        const QString partner = partnerInput(source, ports);
        if (!partner.isEmpty() && !answering.contains(partner))
            connect(kSource, partner);
    }
}

void MidiSources::connect(const QString& from, const QString& to)
{
    QString error;
    if (midi_.setConnected(from, to, true, &error)) {
        made_ << std::pair{from, to};
        printLine(QStringLiteral("connected %1 to %2").arg(from, to));
    } else {
        printLine(error);
    }
}

QString MidiSources::partnerInput(const QString& source, const QList<MidiPortInfo>& ports)
{
    const auto own =
        std::find_if(ports.begin(), ports.end(), [&](const MidiPortInfo& p) { return p.name == source; });
    if (own == ports.end())
        return {};
    // "mackie control out" -> "mackie control in", "MIDI Output" -> "MIDI Input".
    static const QRegularExpression out(QStringLiteral("\\bout(put)?\\b"),
                                        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = out.match(own->port);
    if (!match.hasMatch())
        return {};
    QString wanted = own->port;
    wanted.replace(match.capturedStart(0), match.capturedLength(0),
                   match.capturedLength(1) ? QStringLiteral("input") : QStringLiteral("in"));
    const auto partner = std::find_if(ports.begin(), ports.end(), [&](const MidiPortInfo& p) {
        return !p.isSource && p.client == own->client && p.port.compare(wanted, Qt::CaseInsensitive) == 0;
    });
    return partner == ports.end() ? QString() : partner->name;
}

} // namespace orvel
