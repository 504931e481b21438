// Bridge answers (the light list, configuration, pairing and write answers, error lists) and the
// cloud discovery answer.
#include "FuzzCheck.h"

#include "hue/HueJson.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

using namespace orvel;

namespace {

void checkLight(const hue::LightState& light)
{
    FUZZ_CHECK(!light.hue || (*light.hue >= 0 && *light.hue <= 65535));
    FUZZ_CHECK(!light.saturation || (*light.saturation >= 0 && *light.saturation <= 255));
    FUZZ_CHECK(!light.brightness || (*light.brightness >= 0 && *light.brightness <= 255));

    // Writing back what was read gives a body the bridge takes: JSON, wire ranges, one key per field.
    hue::StateChange change;
    change.on = light.on;
    if (light.hue)
        change.hue = static_cast<quint16>(*light.hue);
    if (light.saturation)
        change.saturation = static_cast<quint8>(*light.saturation);
    if (light.brightness)
        change.brightness = static_cast<quint8>(*light.brightness);
    QJsonParseError error{};
    const QJsonDocument body = QJsonDocument::fromJson(hue::stateBody(change), &error);
    FUZZ_CHECK(error.error == QJsonParseError::NoError && body.isObject());
    const QJsonObject fields = body.object();
    FUZZ_CHECK(fields.value(QStringLiteral("on")).toBool(!light.on) == light.on);
    FUZZ_CHECK(fields.size() == 1 + int(light.hue.has_value()) + int(light.saturation.has_value()) +
                                    int(light.brightness.has_value()));
    if (light.hue)
        FUZZ_CHECK(fields.value(QStringLiteral("hue")).toInt(-1) == *light.hue);
    if (light.saturation) {
        const int sat = fields.value(QStringLiteral("sat")).toInt(-1);
        FUZZ_CHECK(sat >= 0 && sat <= 254);
    }
    if (light.brightness) {
        const int bri = fields.value(QStringLiteral("bri")).toInt(-1);
        FUZZ_CHECK(bri >= 1 && bri <= 254);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size)
{
    const QByteArray body = fuzz::bytes(data, size);

    const hue::LightsAnswer answer = hue::parseLightsAnswer(body);
    switch (answer.kind) {
    case hue::LightsAnswer::Kind::Lights:
        FUZZ_CHECK(std::is_sorted(answer.lights.begin(), answer.lights.end(),
                                  [](const auto& a, const auto& b) { return hue::lightIdLess(a.id, b.id); }));
        for (const hue::LightState& light : answer.lights)
            checkLight(light);
        break;
    case hue::LightsAnswer::Kind::Unauthorized:
    case hue::LightsAnswer::Kind::Errors:
        FUZZ_CHECK(!answer.errors.isEmpty());
        break;
    case hue::LightsAnswer::Kind::Malformed:
        FUZZ_CHECK(!answer.problem.isEmpty());
        break;
    }

    // The same bytes as a pairing, write or configuration answer.
    QString problem;
    if (const auto document = hue::parseAnswer(body, &problem)) {
        for (const hue::BridgeError& error : hue::errorsIn(*document))
            FUZZ_CHECK(hue::describe(error).startsWith(QStringLiteral("error ")));
        if (document->isObject()) {
            const QString id = hue::bridgeIdFromConfig(document->object());
            FUZZ_CHECK(id == id.trimmed());
        }
    } else {
        FUZZ_CHECK(!problem.isEmpty());
    }

    // The bytes as the cloud discovery's list of bridges.
    int skipped = -1;
    if (const auto bridges = hue::parseCloudBridges(body, nullptr, &skipped)) {
        const QJsonDocument list = QJsonDocument::fromJson(body);
        FUZZ_CHECK(list.isArray() && qsizetype(bridges->size()) + skipped == list.array().size());
        for (const hue::CloudBridge& bridge : *bridges)
            FUZZ_CHECK(!bridge.address.isNull() && bridge.port >= 0 && bridge.port <= 65535);
    }

    // The bytes as this computer's host name, in a pairing request.
    const QString device = hue::deviceType(QString::fromUtf8(body));
    FUZZ_CHECK(device.startsWith(QStringLiteral("Orvel#")) && device.size() > 6);
    FUZZ_CHECK(device.toUtf8().size() <= 6 + 19);
    FUZZ_CHECK(!device.back().isHighSurrogate());
    return 0;
}
