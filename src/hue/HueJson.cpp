#include "hue/HueJson.h"

#include <QJsonArray>
#include <QJsonParseError>
#include <QJsonValue>

#include <algorithm>
#include <cmath>

namespace orvel::hue {

namespace {

// A number the bridge reported, clamped into `lo..hi`; absent when the value is missing or is not a
// number (a bridge or an emulator sending a string must not turn into a zero).
std::optional<int> boundedNumber(const QJsonValue& value, int lo, int hi)
{
    if (!value.isDouble())
        return std::nullopt;
    const double number = value.toDouble();
    if (!std::isfinite(number))
        return std::nullopt;
    return static_cast<int>(std::clamp(std::trunc(number), double(lo), double(hi)));
}

std::optional<qulonglong> numericId(const QString& id)
{
    bool ok = false;
    const qulonglong value = id.toULongLong(&ok);
    if (!ok || !id.at(0).isDigit())
        return std::nullopt;
    return value;
}

} // namespace

QString describe(const BridgeError& error)
{
    QString text = QStringLiteral("error %1").arg(error.type);
    if (!error.address.isEmpty())
        text += QStringLiteral(" at ") + error.address;
    if (!error.description.isEmpty())
        text += QStringLiteral(": ") + error.description;
    return text;
}

QList<BridgeError> errorsIn(const QJsonDocument& answer)
{
    QList<BridgeError> errors;
    if (!answer.isArray())
        return errors;
    const QJsonArray entries = answer.array();
    for (const auto& entry : entries) {
        const QJsonValue error = entry.toObject().value(QStringLiteral("error"));
        if (!error.isObject())
            continue;
        const QJsonObject fields = error.toObject();
        BridgeError e;
        e.type = fields.value(QStringLiteral("type")).toInt(-1);
        e.address = fields.value(QStringLiteral("address")).toString();
        e.description = fields.value(QStringLiteral("description")).toString();
        errors.append(e);
    }
    return errors;
}

std::optional<QJsonDocument> parseAnswer(const QByteArray& body, QString* problem)
{
    QJsonParseError error{};
    QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || document.isNull()) {
        if (problem) {
            if (body.trimmed().isEmpty())
                *problem = QStringLiteral("an empty answer");
            else
                *problem = QStringLiteral("an answer that is not JSON (%1 at byte %2)")
                               .arg(error.errorString())
                               .arg(error.offset);
        }
        return std::nullopt;
    }
    return document;
}

LightState parseLight(const QString& id, const QJsonObject& light)
{
    LightState state;
    state.id = id;
    state.name = light.value(QStringLiteral("name")).toString();
    const QJsonValue type = light.value(QStringLiteral("type"));
    if (type.isString())
        state.type = type.toString();
    state.uniqueId = light.value(QStringLiteral("uniqueid")).toString();

    const QJsonObject fields = light.value(QStringLiteral("state")).toObject();
    // Every real bridge reports reachable; a light that lacks it is not held back for that.
    state.reachable = fields.value(QStringLiteral("reachable")).toBool(true);
    mergeStateFields(state, fields);
    return state;
}

void mergeStateFields(LightState& state, const QJsonObject& fields)
{
    const auto merge = [&fields](std::optional<int>& into, const QString& key, int hi) {
        if (const auto number = boundedNumber(fields.value(key), 0, hi))
            into = number;
    };
    if (const QJsonValue on = fields.value(QStringLiteral("on")); on.isBool())
        state.on = on.toBool();
    merge(state.hue, QStringLiteral("hue"), 65535);
    merge(state.saturation, QStringLiteral("sat"), 255);
    merge(state.brightness, QStringLiteral("bri"), 255);
}

bool lightIdLess(const QString& a, const QString& b)
{
    const auto na = numericId(a);
    const auto nb = numericId(b);
    if (na && nb)
        return *na != *nb ? *na < *nb : a < b;
    if (na != nb)
        return na.has_value(); // numbers first
    return a < b;
}

LightsAnswer parseLightsAnswer(const QByteArray& body)
{
    LightsAnswer answer;
    const auto document = parseAnswer(body, &answer.problem);
    if (!document)
        return answer;

    if (document->isArray()) {
        answer.errors = errorsIn(*document);
        if (answer.errors.isEmpty()) {
            answer.problem = QStringLiteral("a list where the lights were expected");
            return answer;
        }
        const bool unauthorized =
            std::any_of(answer.errors.cbegin(), answer.errors.cend(),
                        [](const BridgeError& e) { return e.type == kUnauthorizedUser; });
        answer.kind = unauthorized ? LightsAnswer::Kind::Unauthorized : LightsAnswer::Kind::Errors;
        return answer;
    }

    const QJsonObject lights = document->object();
    answer.lights.reserve(static_cast<std::size_t>(lights.size()));
    for (auto it = lights.constBegin(); it != lights.constEnd(); ++it) {
        if (!it.value().isObject())
            continue; // not a light; a bridge never sends this, an emulator might
        answer.lights.push_back(parseLight(it.key(), it.value().toObject()));
    }
    std::sort(answer.lights.begin(), answer.lights.end(),
              [](const LightState& a, const LightState& b) { return lightIdLess(a.id, b.id); });
    answer.kind = LightsAnswer::Kind::Lights;
    return answer;
}

int wireSaturation(int saturation)
{
    return std::clamp(saturation, 0, 254);
}

int wireBrightness(int brightness)
{
    return std::clamp(brightness, 1, 254);
}

QByteArray stateBody(const StateChange& change)
{
    QByteArrayList parts;
    if (change.on)
        parts << (QByteArrayLiteral("\"on\":") + (*change.on ? "true" : "false"));
    if (change.hue)
        parts << "\"hue\":" + QByteArray::number(*change.hue);
    if (change.saturation)
        parts << "\"sat\":" + QByteArray::number(wireSaturation(*change.saturation));
    if (change.brightness)
        parts << "\"bri\":" + QByteArray::number(wireBrightness(*change.brightness));
    return '{' + parts.join(',') + '}';
}

QString deviceType(const QString& hostName)
{
    QString device = hostName.section(QLatin1Char('.'), 0, 0).trimmed();
    if (device.isEmpty())
        device = QStringLiteral("desktop");
    while (device.toUtf8().size() > 19)
        device.chop(device.back().isLowSurrogate() ? 2 : 1);
    return QStringLiteral("Orvel#") + device;
}

QString bridgeIdFromConfig(const QJsonObject& config)
{
    return config.value(QStringLiteral("bridgeid")).toString().trimmed();
}

std::optional<std::vector<CloudBridge>> parseCloudBridges(const QByteArray& body, QString* problem,
                                                          int* skipped)
{
    if (skipped)
        *skipped = 0;
    const auto document = parseAnswer(body, problem);
    if (!document)
        return std::nullopt;
    if (!document->isArray()) {
        if (problem)
            problem->clear();
        return std::nullopt;
    }
    std::vector<CloudBridge> bridges;
    for (const QJsonValue& entry : document->array()) {
        const QJsonObject fields = entry.toObject();
        CloudBridge bridge;
        bridge.address = QHostAddress(fields.value(QStringLiteral("internalipaddress")).toString());
        if (bridge.address.isNull()) {
            if (skipped)
                ++*skipped;
            continue;
        }
        bridge.id = fields.value(QStringLiteral("id")).toString();
        // A port that is not a whole number in 1..65535 is no port: the usual ones are tried.
        const int port = fields.value(QStringLiteral("port")).toInt(0);
        bridge.port = port >= 1 && port <= 65535 ? port : 0;
        bridges.push_back(std::move(bridge));
    }
    return bridges;
}

} // namespace orvel::hue
