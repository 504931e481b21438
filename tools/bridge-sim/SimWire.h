#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QStringList>

#include <optional>
#include <utility>

// How a Hue bridge words its answers: error and success items, HTML error pages, and the checks
// and ranges of the light state parameters.
namespace orvel::sim::detail {

constexpr double kLinkWindowSeconds = 30.0;

struct Answer {
    int status = 200;
    QByteArray body;
    QByteArray contentType = "application/json";
};

QJsonObject errorItem(int type, const QString& address, const QString& description);
QJsonObject successItem(const QString& address, const QJsonValue& value);
Answer json(const QJsonValue& value);
Answer errorList(int type, const QString& address, const QString& description);
Answer html(int status, const QByteArray& title);
QString rawText(const QJsonValue& value);
QJsonObject notAvailableItem(const QString& address, const QString& parameter);
QJsonObject invalidValueItem(const QString& address, const QString& parameter, const QJsonValue& value);
std::optional<qint64> integral(const QJsonValue& value);
std::optional<std::pair<double, double>> numberPair(const QJsonValue& value, double low, double high);
double round4(double v);
bool isLightId(const QString& id);
QString randomText(int length, const QString& alphabet);
QString isoNow();

// Parameters of PUT /lights/<id>/state and the state field each one needs.
const QHash<QString, QString>& stateParameters();
// Answer order: a real bridge does not keep the order of the request either.
const QStringList& parameterOrder();
bool isColourParameter(const QString& key);
// The value to store for a state parameter, or nothing when the value is invalid (type 7).
// Increments come back unchanged; they are applied to the current state later.
std::optional<QJsonValue> checkedValue(const QString& key, const QJsonValue& value, int ctMin, int ctMax);

} // namespace orvel::sim::detail
