#include "SimWire.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>

#include <cmath>

namespace orvel::sim::detail {

QJsonObject errorItem(int type, const QString& address, const QString& description)
{
    return QJsonObject{{QStringLiteral("error"), QJsonObject{{QStringLiteral("type"), type},
                                                             {QStringLiteral("address"), address},
                                                             {QStringLiteral("description"), description}}}};
}

QJsonObject successItem(const QString& address, const QJsonValue& value)
{
    return QJsonObject{{QStringLiteral("success"), QJsonObject{{address, value}}}};
}

Answer json(const QJsonValue& value)
{
    const QByteArray body = value.isArray() ? QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact)
                                            : QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact);
    return Answer{200, body, "application/json"};
}

Answer errorList(int type, const QString& address, const QString& description)
{
    return json(QJsonArray{errorItem(type, address, description)});
}

Answer html(int status, const QByteArray& title)
{
    return Answer{status,
                  "<html>\r\n<head><title>" + title + "</title></head>\r\n<body>\r\n<center><h1>" + title +
                      "</h1></center>\r\n<hr><center>nginx</center>\r\n</body>\r\n</html>\r\n",
                  "text/html"};
}

// The raw JSON text of a value, as a real bridge quotes it in "invalid value" errors.
QString rawText(const QJsonValue& value)
{
    QByteArray text = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(text.mid(1, text.size() - 2));
}

QJsonObject notAvailableItem(const QString& address, const QString& parameter)
{
    return errorItem(6, address, QStringLiteral("parameter, %1, not available").arg(parameter));
}

QJsonObject invalidValueItem(const QString& address, const QString& parameter, const QJsonValue& value)
{
    return errorItem(7, address,
                     QStringLiteral("invalid value, %1, for parameter, %2").arg(rawText(value), parameter));
}

std::optional<qint64> integral(const QJsonValue& value)
{
    if (!value.isDouble())
        return std::nullopt;
    const double number = value.toDouble();
    if (std::floor(number) != number || std::abs(number) > 1e15)
        return std::nullopt;
    return static_cast<qint64>(number);
}

std::optional<std::pair<double, double>> numberPair(const QJsonValue& value, double low, double high)
{
    const QJsonArray array = value.toArray();
    if (!value.isArray() || array.size() != 2 || !array[0].isDouble() || !array[1].isDouble())
        return std::nullopt;
    const double x = array[0].toDouble();
    const double y = array[1].toDouble();
    if (x < low || x > high || y < low || y > high)
        return std::nullopt;
    return std::make_pair(x, y);
}

double round4(double v)
{
    return std::round(v * 10000.0) / 10000.0;
}

bool isLightId(const QString& id)
{
    bool ok = false;
    const int number = id.toInt(&ok);
    return ok && number > 0 && QString::number(number) == id;
}

QString randomText(int length, const QString& alphabet)
{
    QString text;
    text.reserve(length);
    for (int i = 0; i < length; ++i)
        text += alphabet.at(static_cast<int>(QRandomGenerator::global()->bounded(alphabet.size())));
    return text;
}

QString isoNow()
{
    return QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss"));
}

const QHash<QString, QString>& stateParameters()
{
    static const QHash<QString, QString> parameters{
        {QStringLiteral("on"), QStringLiteral("on")},
        {QStringLiteral("bri"), QStringLiteral("bri")},
        {QStringLiteral("hue"), QStringLiteral("hue")},
        {QStringLiteral("sat"), QStringLiteral("sat")},
        {QStringLiteral("xy"), QStringLiteral("xy")},
        {QStringLiteral("ct"), QStringLiteral("ct")},
        {QStringLiteral("alert"), QStringLiteral("alert")},
        {QStringLiteral("effect"), QStringLiteral("effect")},
        {QStringLiteral("transitiontime"), QStringLiteral("on")},
        {QStringLiteral("bri_inc"), QStringLiteral("bri")},
        {QStringLiteral("sat_inc"), QStringLiteral("sat")},
        {QStringLiteral("hue_inc"), QStringLiteral("hue")},
        {QStringLiteral("ct_inc"), QStringLiteral("ct")},
        {QStringLiteral("xy_inc"), QStringLiteral("xy")},
    };
    return parameters;
}

const QStringList& parameterOrder()
{
    static const QStringList order{QStringLiteral("on"),      QStringLiteral("bri"),
                                   QStringLiteral("bri_inc"), QStringLiteral("hue"),
                                   QStringLiteral("hue_inc"), QStringLiteral("sat"),
                                   QStringLiteral("sat_inc"), QStringLiteral("xy"),
                                   QStringLiteral("xy_inc"),  QStringLiteral("ct"),
                                   QStringLiteral("ct_inc"),  QStringLiteral("alert"),
                                   QStringLiteral("effect"),  QStringLiteral("transitiontime")};
    return order;
}

bool isColourParameter(const QString& key)
{
    return key != QLatin1String("on") && key != QLatin1String("alert") &&
           key != QLatin1String("transitiontime");
}

std::optional<QJsonValue> checkedValue(const QString& key, const QJsonValue& value, int ctMin, int ctMax)
{
    const auto number = integral(value);
    const auto inRange = [&](qint64 low, qint64 high) { return number && *number >= low && *number <= high; };
    const auto toInt = [](qint64 v) { return QJsonValue(static_cast<int>(v)); };
    if (key == QLatin1String("on"))
        return value.isBool() ? std::optional(value) : std::nullopt;
    if (key == QLatin1String("bri") || key == QLatin1String("sat")) {
        // 255 is accepted but kept as 254.
        const qint64 low = key == QLatin1String("bri") ? 1 : 0;
        return inRange(low, 255) ? std::optional(toInt(std::min<qint64>(*number, 254))) : std::nullopt;
    }
    if (key == QLatin1String("hue") || key == QLatin1String("transitiontime"))
        return inRange(0, 65535) ? std::optional(toInt(*number)) : std::nullopt;
    if (key == QLatin1String("ct"))
        return inRange(153, 500) ? std::optional(toInt(std::clamp<qint64>(*number, ctMin, ctMax)))
                                 : std::nullopt;
    if (key == QLatin1String("xy")) {
        const auto xy = numberPair(value, 0.0, 1.0);
        return xy ? std::optional(QJsonValue(QJsonArray{round4(xy->first), round4(xy->second)}))
                  : std::nullopt;
    }
    if (key == QLatin1String("alert")) {
        static const QStringList alerts{QStringLiteral("none"), QStringLiteral("select"),
                                        QStringLiteral("lselect")};
        return alerts.contains(value.toString()) ? std::optional(value) : std::nullopt;
    }
    if (key == QLatin1String("effect")) {
        const QString effect = value.toString();
        return effect == QLatin1String("none") || effect == QLatin1String("colorloop") ? std::optional(value)
                                                                                       : std::nullopt;
    }
    if (key == QLatin1String("bri_inc") || key == QLatin1String("sat_inc"))
        return inRange(-254, 254) ? std::optional(value) : std::nullopt;
    if (key == QLatin1String("hue_inc") || key == QLatin1String("ct_inc"))
        return inRange(-65534, 65534) ? std::optional(value) : std::nullopt;
    if (key == QLatin1String("xy_inc"))
        return numberPair(value, -0.5, 0.5) ? std::optional(value) : std::nullopt;
    return std::nullopt;
}

} // namespace orvel::sim::detail
