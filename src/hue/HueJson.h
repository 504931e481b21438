#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>
#include <vector>

// What Hue bridges send and expect on the wire (REST API v1), kept apart from the network code so
// that it can be checked and measured on its own.
namespace orvel::hue {

// One entry of the error list a bridge answers with (inside an HTTP 200 answer).
struct BridgeError {
    int type = 0;
    QString address;
    QString description;
};

inline constexpr int kUnauthorizedUser = 1;
inline constexpr int kLinkButtonNotPressed = 101;

// "error 7 at /lights/1/state/bri: invalid value, 300, for parameter, bri"
QString describe(const BridgeError& error);

// The error entries of a list answer; empty when the answer is not a list or holds none.
QList<BridgeError> errorsIn(const QJsonDocument& answer);

// Parses a bridge answer. Returns nullopt and sets `problem` when the bytes are not JSON.
std::optional<QJsonDocument> parseAnswer(const QByteArray& body, QString* problem);

// The fields of one light the program uses. Absent values are ones the bridge did not report
// (hue and saturation on white lights, brightness on plugs).
struct LightState {
    QString id; // the bridge's id ("1", "14")
    QString name;
    std::optional<QString> type;
    QString uniqueId;
    bool reachable = true;
    bool on = false;
    std::optional<int> hue;        // 0..65535
    std::optional<int> saturation; // 0..255
    std::optional<int> brightness; // 0..255
};

LightState parseLight(const QString& id, const QJsonObject& light);

// Takes the state fields "on", "hue", "sat" and "bri" of `fields` into `state`; a field that is
// missing or of the wrong kind leaves its value as it was.
void mergeStateFields(LightState& state, const QJsonObject& fields);

// Orders light ids as numbers ("2" before "10"); ids that are not numbers come last, by text.
bool lightIdLess(const QString& a, const QString& b);

// The answer to GET /api/<user>/lights.
struct LightsAnswer {
    enum class Kind { Lights, Unauthorized, Errors, Malformed };
    Kind kind = Kind::Malformed;
    std::vector<LightState> lights; // in lightIdLess order
    QList<BridgeError> errors;
    QString problem; // for Malformed
};

LightsAnswer parseLightsAnswer(const QByteArray& body);

// The staged part of a light's state, as sent in one PUT .../state.
struct StateChange {
    std::optional<bool> on;
    std::optional<quint16> hue;
    std::optional<quint8> saturation; // as the rules give it, 0..255
    std::optional<quint8> brightness; // as the rules give it, 0..255

    bool isEmpty() const { return !on && !hue && !saturation && !brightness; }
};

// The rules work in 0..255; the bridge takes sat 0..254 and bri 1..254 (bri 0 is not "off").
int wireSaturation(int saturation);
int wireBrightness(int brightness);

// The body of PUT /api/<user>/lights/<id>/state, keys in the order on, hue, sat, bri.
QByteArray stateBody(const StateChange& change);

// The "devicetype" of a pairing request: "Orvel#<host name>", the host name cut to its first
// label and to the bridge's limit of 19 bytes.
QString deviceType(const QString& hostName);

// Reads `bridgeid` from a /api/config answer; empty when it has none.
QString bridgeIdFromConfig(const QJsonObject& config);

// One bridge of the cloud discovery answer, a JSON list of {"id", "internalipaddress", "port"}.
struct CloudBridge {
    QString id;
    QHostAddress address; // never null
    int port = 0;         // 0 when not given or not a port
};
// The bridges listed, in order; entries without a usable address are left out and counted in
// `skipped`. Nothing when the answer is not a JSON list; `problem` then says why when it is not
// JSON at all, and is empty when it is JSON of another shape.
std::optional<std::vector<CloudBridge>> parseCloudBridges(const QByteArray& body, QString* problem,
                                                          int* skipped = nullptr);

} // namespace orvel::hue
