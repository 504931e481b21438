#include "SimImpl.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <cmath>

namespace orvel::sim {

using namespace detail;

// The lights: loaded from the bridge's own format, changed by PUTs as a bridge changes them.

void BridgeSimulator::Impl::setReachable(int id, bool reachable)
{
    auto it = lights.find(id);
    if (it == lights.end())
        return;
    QJsonObject state = it->second.value(QStringLiteral("state")).toObject();
    state.insert(QStringLiteral("reachable"), reachable);
    it->second.insert(QStringLiteral("state"), state);
}

bool BridgeSimulator::Impl::loadLights(const QString& file, QString* error)
{
    const QString path = file.isEmpty() ? QStringLiteral(":/bridge-sim/sample-lights.json") : file;
    QFile input(path);
    if (!input.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read lights file %1: %2").arg(path, input.errorString());
        return false;
    }
    return parseLights(input.readAll(), QStringLiteral("lights file %1").arg(path), error);
}

bool BridgeSimulator::Impl::parseLights(const QByteArray& text, const QString& source, QString* error)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(text, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        *error = QStringLiteral("%1 is not valid JSON: %2 at offset %3")
                     .arg(source, parseError.errorString())
                     .arg(parseError.offset);
        return false;
    }
    QJsonObject object = document.object();
    // A whole datastore (GET /api/<user>) is accepted too.
    if (object.value(QStringLiteral("lights")).isObject() && object.contains(QStringLiteral("config")))
        object = object.value(QStringLiteral("lights")).toObject();
    if (!document.isObject()) {
        *error = QStringLiteral("%1 must hold an object keyed by light id").arg(source);
        return false;
    }
    lights.clear();
    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        const QJsonObject light = it.value().toObject();
        const QString where = QStringLiteral("%1, light \"%2\"").arg(source, it.key());
        if (!isLightId(it.key())) {
            *error = QStringLiteral("%1: a light id must be a positive whole number").arg(where);
            return false;
        }
        if (!it.value().isObject() || !light.value(QStringLiteral("state")).isObject() ||
            !light.value(QStringLiteral("name")).isString() ||
            !light.value(QStringLiteral("type")).isString()) {
            *error = QStringLiteral("%1: needs a \"name\", a \"type\" and a \"state\" object").arg(where);
            return false;
        }
        if (!light.value(QStringLiteral("state")).toObject().value(QStringLiteral("on")).isBool()) {
            *error = QStringLiteral("%1: \"state\" needs \"on\" (true or false)").arg(where);
            return false;
        }
        QJsonObject state = light.value(QStringLiteral("state")).toObject();
        // Every real light reports these two, whatever its type.
        if (!state.contains(QStringLiteral("reachable")))
            state.insert(QStringLiteral("reachable"), true);
        if (!state.contains(QStringLiteral("mode")))
            state.insert(QStringLiteral("mode"), QStringLiteral("homeautomation"));
        QJsonObject stored = light;
        stored.insert(QStringLiteral("state"), state);
        lights[it.key().toInt()] = stored;
    }
    return true;
}

std::optional<Answer> BridgeSimulator::Impl::openLightEdit(const QString& id, const QByteArray& body,
                                                           const QString& base, QJsonObject*& light,
                                                           QJsonObject& request)
{
    light = findLight(id);
    if (!light)
        return errorList(3, base, QStringLiteral("resource, %1, not available").arg(base));
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (!document.isObject())
        return errorList(2, base, QStringLiteral("body contains invalid json"));
    request = document.object();
    return std::nullopt;
}

Answer BridgeSimulator::Impl::setState(const QString& id, const QByteArray& body)
{
    const QString base = QStringLiteral("/lights/%1/state").arg(id);
    QJsonObject* light = nullptr;
    QJsonObject request;
    if (auto refused = openLightEdit(id, body, base, light, request))
        return *refused;
    QJsonObject state = light->value(QStringLiteral("state")).toObject();
    const QJsonValue on = request.value(QStringLiteral("on"));
    const bool turnsOn = on.isBool() && on.toBool();
    const bool turnsOff = on.isBool() && !on.toBool();
    const bool isOff = !state.value(QStringLiteral("on")).toBool();
    const bool colourRefused = (isOff && !turnsOn) || (turnsOff && options.colourWithOffIsError);

    QJsonArray results;
    QStringList keys = parameterOrder();
    for (const QString& key : request.keys())
        if (!keys.contains(key))
            keys << key;

    QString colourMode;
    const QJsonObject ctRange = light->value(QStringLiteral("capabilities"))
                                    .toObject()
                                    .value(QStringLiteral("control"))
                                    .toObject()
                                    .value(QStringLiteral("ct"))
                                    .toObject();
    const int ctMin = ctRange.value(QStringLiteral("min")).toInt(153);
    const int ctMax = ctRange.value(QStringLiteral("max")).toInt(500);

    for (const QString& key : std::as_const(keys)) {
        if (!request.contains(key))
            continue;
        const QJsonValue value = request.value(key);
        const QString address = base + QLatin1Char('/') + key;
        const auto field = stateParameters().constFind(key);
        if (field == stateParameters().constEnd() || !state.contains(*field)) {
            results.append(notAvailableItem(address, key));
            continue;
        }
        // Values are checked first: a bad value is reported as such even when the light is off.
        const std::optional<QJsonValue> checked = checkedValue(key, value, ctMin, ctMax);
        if (!checked) {
            results.append(invalidValueItem(address, key, value));
            continue;
        }
        QJsonValue stored = *checked;
        const bool increment = key.endsWith(QLatin1String("_inc"));
        const QString target = increment ? key.chopped(4) : key;

        if (isColourParameter(key) && colourRefused) {
            results.append(errorItem(
                201, address,
                QStringLiteral("parameter, %1, is not modifiable. Device is set to off.").arg(target)));
            continue;
        }

        // An increment is ignored when the absolute value comes in the same body.
        if (increment) {
            if (request.contains(target))
                continue;
            const qint64 step = integral(value).value_or(0);
            const QJsonValue current = state.value(target);
            if (target == QLatin1String("bri"))
                stored = static_cast<int>(std::clamp<qint64>(current.toInt() + step, 1, 254));
            else if (target == QLatin1String("sat"))
                stored = static_cast<int>(std::clamp<qint64>(current.toInt() + step, 0, 254));
            else if (target == QLatin1String("hue"))
                stored = static_cast<int>(((current.toInt() + step) % 65536 + 65536) % 65536);
            else if (target == QLatin1String("ct"))
                stored = static_cast<int>(std::clamp<qint64>(current.toInt() + step, ctMin, ctMax));
            else {
                const QJsonArray now = current.toArray();
                const QJsonArray delta = value.toArray();
                stored =
                    QJsonArray{round4(std::clamp(now.at(0).toDouble() + delta.at(0).toDouble(), 0.0, 1.0)),
                               round4(std::clamp(now.at(1).toDouble() + delta.at(1).toDouble(), 0.0, 1.0))};
            }
            state.insert(target, stored);
            results.append(successItem(base + QLatin1Char('/') + target, stored));
        } else {
            if (key != QLatin1String("transitiontime"))
                state.insert(key, stored);
            results.append(successItem(address, stored));
        }
        // xy wins over ct, which wins over hue and saturation.
        if (target == QLatin1String("xy"))
            colourMode = QStringLiteral("xy");
        else if (target == QLatin1String("ct") && colourMode != QLatin1String("xy"))
            colourMode = QStringLiteral("ct");
        else if ((target == QLatin1String("hue") || target == QLatin1String("sat")) && colourMode.isEmpty())
            colourMode = QStringLiteral("hs");
    }
    if (!colourMode.isEmpty() && state.contains(QStringLiteral("colormode")))
        state.insert(QStringLiteral("colormode"), colourMode);
    light->insert(QStringLiteral("state"), state);
    return json(results);
}

Answer BridgeSimulator::Impl::rename(const QString& id, const QByteArray& body)
{
    const QString base = QStringLiteral("/lights/%1").arg(id);
    QJsonObject* light = nullptr;
    QJsonObject request;
    if (auto refused = openLightEdit(id, body, base, light, request))
        return *refused;
    QJsonArray results;
    for (auto it = request.constBegin(); it != request.constEnd(); ++it) {
        const QString address = base + QLatin1Char('/') + it.key();
        if (it.key() != QLatin1String("name")) {
            results.append(notAvailableItem(address, it.key()));
        } else if (!it.value().isString() || it.value().toString().isEmpty() ||
                   it.value().toString().size() > 32) {
            results.append(invalidValueItem(address, it.key(), it.value()));
        } else {
            light->insert(QStringLiteral("name"), it.value());
            results.append(successItem(address, it.value()));
        }
    }
    return json(results);
}

QJsonObject BridgeSimulator::light(const QString& id) const
{
    const QJsonObject* light = d->findLight(id);
    return light ? *light : QJsonObject();
}

QStringList BridgeSimulator::lightIds() const
{
    QStringList ids;
    for (const auto& entry : d->lights)
        ids << QString::number(entry.first);
    return ids;
}

QString BridgeSimulator::addLight(const QJsonObject& light)
{
    const int id = d->lights.empty() ? 1 : d->lights.rbegin()->first + 1;
    QJsonObject stored = light;
    QJsonObject state = stored.value(QStringLiteral("state")).toObject();
    if (!state.contains(QStringLiteral("reachable")))
        state.insert(QStringLiteral("reachable"), true);
    stored.insert(QStringLiteral("state"), state);
    d->lights[id] = stored;
    return QString::number(id);
}

void BridgeSimulator::removeLight(const QString& id)
{
    if (isLightId(id))
        d->lights.erase(id.toInt());
}

void BridgeSimulator::setLightReachable(const QString& id, bool reachable)
{
    setLightState(id, QJsonObject{{QStringLiteral("reachable"), reachable}});
}

void BridgeSimulator::setLightState(const QString& id, const QJsonObject& fields)
{
    QJsonObject* light = d->findLight(id);
    if (!light)
        return;
    QJsonObject state = light->value(QStringLiteral("state")).toObject();
    for (auto it = fields.constBegin(); it != fields.constEnd(); ++it)
        state.insert(it.key(), it.value());
    light->insert(QStringLiteral("state"), state);
}

} // namespace orvel::sim
