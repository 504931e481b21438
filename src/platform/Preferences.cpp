#include "platform/Preferences.h"

#include "platform/Console.h"
#include "platform/MainQueue.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStandardPaths>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <optional>

namespace orvel {

namespace {

// Writes wait this long so that a slider drag, which writes on every step, costs one disk write.
constexpr double kFlushDelaySeconds = 0.5;

std::unique_ptr<Preferences>& standardSlot()
{
    static std::unique_ptr<Preferences> slot;
    return slot;
}

bool isIntegral(const QJsonValue& value)
{
    return value.toVariant().typeId() == QMetaType::LongLong;
}

// True when `d` is a whole number inside [lo, hi] (both exactly representable as doubles).
bool wholeWithin(double d, double lo, double hiExclusive)
{
    return std::isfinite(d) && std::trunc(d) == d && d >= lo && d < hiExclusive;
}

} // namespace

struct Preferences::Impl {
    QString path;
    QMap<QString, QJsonValue> values;
    bool dirty = false;
    bool flushScheduled = false;
    QMetaObject::Connection quitFlush;

    bool write();
};

Preferences::Preferences(QString filePath)
    : d(std::make_shared<Impl>())
{
    d->path = std::move(filePath);
    load();
    // However the program ends its main loop (the menu, a signal turned into a quit), a change
    // still waiting for its delayed write reaches the disk.
    if (auto* app = QCoreApplication::instance()) {
        std::weak_ptr<Impl> weak = d;
        d->quitFlush = QObject::connect(app, &QCoreApplication::aboutToQuit, app, [weak] {
            if (auto impl = weak.lock())
                impl->write();
        });
    }
}

Preferences::~Preferences()
{
    QObject::disconnect(d->quitFlush);
    sync();
}

Preferences& Preferences::standard()
{
    auto& slot = standardSlot();
    if (!slot)
        slot = std::make_unique<Preferences>(defaultPath());
    return *slot;
}

void Preferences::installStandard(std::unique_ptr<Preferences> store)
{
    standardSlot() = std::move(store);
}

QString Preferences::defaultPath()
{
    QString base = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    if (base.isEmpty())
        base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/Orvel/preferences.json");
}

QString Preferences::filePath() const
{
    return d->path;
}

void Preferences::load()
{
    QFile file(d->path);
    if (!file.exists())
        return;

    QString problem;
    QJsonObject root;
    if (!file.open(QIODevice::ReadOnly)) {
        problem = file.errorString();
    } else {
        QJsonParseError error{};
        const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &error);
        file.close();
        if (error.error != QJsonParseError::NoError)
            problem = error.errorString() + QStringLiteral(" at offset ") + QString::number(error.offset);
        else if (!doc.isObject())
            problem = QStringLiteral("the file does not hold a JSON object");
        else
            root = doc.object();
    }

    if (!problem.isEmpty()) {
        const QString aside = d->path + QStringLiteral(".corrupt-") +
                              QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMddTHHmmsszzz"));
        const bool moved = QFile::rename(d->path, aside);
        printLine(
            QStringLiteral("preferences: could not read %1 (%2); %3, starting from defaults")
                .arg(d->path, problem,
                     moved ? QStringLiteral("kept it as ") + aside : QStringLiteral("left it in place")));
        return;
    }

    for (auto it = root.begin(); it != root.end(); ++it)
        d->values.insert(it.key(), it.value());
}

void Preferences::set(const QString& key, const QJsonValue& value)
{
    d->values.insert(key, value);
    markDirty();
}

void Preferences::markDirty()
{
    d->dirty = true;
    if (d->flushScheduled)
        return;
    d->flushScheduled = true;
    // Steps are never cancelled, so the step must not reach a store that is gone.
    std::weak_ptr<Impl> weak = d;
    MainQueue::shared().after(kFlushDelaySeconds, [weak] {
        if (auto impl = weak.lock()) {
            impl->flushScheduled = false;
            impl->write();
        }
    });
}

void Preferences::setInteger(const QString& key, qint64 value)
{
    set(key, QJsonValue(value));
}
void Preferences::setDouble(const QString& key, double value)
{
    set(key, QJsonValue(value));
}
void Preferences::setBool(const QString& key, bool value)
{
    set(key, QJsonValue(value));
}
void Preferences::setText(const QString& key, const QString& value)
{
    set(key, QJsonValue(value));
}

void Preferences::setJson(const QString& key, const QJsonValue& value)
{
    set(key, value);
}

void Preferences::remove(const QString& key)
{
    if (d->values.remove(key) > 0)
        markDirty();
}

bool Preferences::contains(const QString& key) const
{
    return d->values.contains(key);
}

QJsonValue Preferences::object(const QString& key) const
{
    return d->values.value(key, QJsonValue(QJsonValue::Undefined));
}

// One typed read: absent, or the stored value converted by `convert` (nothing when it does not
// convert exactly).
template <typename T, typename Convert>
Preferences::Read<T> Preferences::readAs(const QString& key, Convert convert) const
{
    const auto it = d->values.constFind(key);
    if (it == d->values.constEnd())
        return {};
    if (const std::optional<T> value = convert(*it))
        return {Status::Ok, *value};
    return {Status::NotConvertible, T{}};
}

Preferences::Read<qint64> Preferences::integer(const QString& key) const
{
    return readAs<qint64>(key, [](const QJsonValue& v) -> std::optional<qint64> {
        if (!v.isDouble())
            return std::nullopt;
        if (isIntegral(v))
            return v.toInteger();
        const double d = v.toDouble();
        if (wholeWithin(d, -9223372036854775808.0, 9223372036854775808.0))
            return static_cast<qint64>(d);
        return std::nullopt;
    });
}

Preferences::Read<quint64> Preferences::unsignedInteger(const QString& key) const
{
    return readAs<quint64>(key, [](const QJsonValue& v) -> std::optional<quint64> {
        if (!v.isDouble())
            return std::nullopt;
        if (isIntegral(v)) {
            const qint64 i = v.toInteger();
            return i < 0 ? std::nullopt : std::optional<quint64>(static_cast<quint64>(i));
        }
        const double d = v.toDouble();
        if (wholeWithin(d, 0.0, 18446744073709551616.0))
            return static_cast<quint64>(d);
        return std::nullopt;
    });
}

Preferences::Read<double> Preferences::real(const QString& key) const
{
    return readAs<double>(key, [](const QJsonValue& v) -> std::optional<double> {
        if (!v.isDouble())
            return std::nullopt;
        if (!isIntegral(v))
            return v.toDouble();
        const qint64 i = v.toInteger();
        const auto asDouble = static_cast<double>(i);
        // Integers beyond 2^53 may not survive the trip to a double.
        if (asDouble >= 9223372036854775808.0 || static_cast<qint64>(asDouble) != i)
            return std::nullopt;
        return asDouble;
    });
}

Preferences::Read<bool> Preferences::boolean(const QString& key) const
{
    return readAs<bool>(
        key, [](const QJsonValue& v) { return v.isBool() ? std::optional<bool>(v.toBool()) : std::nullopt; });
}

Preferences::Read<QString> Preferences::text(const QString& key) const
{
    return readAs<QString>(key, [](const QJsonValue& v) {
        return v.isString() ? std::optional<QString>(v.toString()) : std::nullopt;
    });
}

bool Preferences::sync()
{
    return d->write();
}

bool Preferences::Impl::write()
{
    if (!dirty)
        return true;

    const QFileInfo info(path);
    QDir dir = info.dir();
    if (!dir.exists() && !dir.mkpath(QStringLiteral("."))) {
        printLine(QStringLiteral("preferences: could not create %1").arg(dir.path()));
        return false;
    }

    QJsonObject root;
    for (auto it = values.constBegin(); it != values.constEnd(); ++it)
        root.insert(it.key(), it.value());

    // Whatever stops the write, the old file stays whole and the values stay in memory.
    auto fail = [this](const QString& why) {
        printLine(QStringLiteral("preferences: could not write %1: %2%3")
                      .arg(path, why,
                           QFile::exists(path) ? QStringLiteral("; the previous file is kept") : QString()));
        return false;
    };
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return fail(file.errorString());
    // The store holds the bridge's user name, which is a credential.
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    // A full disk (or a file size limit) takes only part of the bytes, and QSaveFile would still
    // put the cut file in place of the whole one. Every byte must have reached the disk first;
    // otherwise the old file stays and the temporary one goes with `file`.
    const QByteArray bytes = QJsonDocument(root).toJson(QJsonDocument::Indented);
    errno = 0;
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        // A write cut short part-way is no error to Qt ("Unknown error"); the system said why.
        const QString why = errno != 0 ? QString::fromLocal8Bit(std::strerror(errno)) : file.errorString();
        file.cancelWriting();
        return fail(why);
    }
    if (!file.commit())
        return fail(file.errorString());
    dirty = false;
    return true;
}

} // namespace orvel
