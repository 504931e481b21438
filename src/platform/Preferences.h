#pragma once

#include <QJsonValue>
#include <QMap>
#include <QString>

#include <memory>

namespace orvel {

// The program's one typed key-value store, kept as a JSON object in
// $XDG_CONFIG_HOME/Orvel/preferences.json. Writes land in memory at once and reach the disk
// within a second (and at sync(), at the application's quit and at destruction), replacing the file
// atomically with owner-only permissions: a crash at any moment leaves the old file or the new one.
class Preferences {
public:
    enum class Status { Absent, NotConvertible, Ok };

    template <typename T> struct Read {
        Status status = Status::Absent;
        T value{};
        bool ok() const { return status == Status::Ok; }
        T valueOr(T fallback) const { return ok() ? value : fallback; }
    };

    // Opens the store kept in `filePath`. A file that cannot be read or parsed is set aside
    // under a new name, with a line on standard output, and the store starts empty.
    explicit Preferences(QString filePath);
    ~Preferences();
    Preferences(const Preferences&) = delete;
    Preferences& operator=(const Preferences&) = delete;

    // The store the program uses. Created on first use at defaultPath().
    static Preferences& standard();
    // Replaces the standard store (tests point it at a temporary directory). Passing nullptr
    // makes the next standard() open defaultPath() again.
    static void installStandard(std::unique_ptr<Preferences> store);
    static QString defaultPath();

    void setInteger(const QString& key, qint64 value);
    void setDouble(const QString& key, double value);
    void setBool(const QString& key, bool value);
    void setText(const QString& key, const QString& value);
    // A structured value (a list of records); read back with object().
    void setJson(const QString& key, const QJsonValue& value);
    void remove(const QString& key);

    bool contains(const QString& key) const;
    // The stored value as it is; Undefined when absent.
    QJsonValue object(const QString& key) const;

    // Typed reads. A number converts when its value is exactly representable in the wanted type;
    // a Bool is not a number and a number is not a Bool; text converts only to text.
    Read<qint64> integer(const QString& key) const;
    Read<quint64> unsignedInteger(const QString& key) const;
    Read<double> real(const QString& key) const;
    Read<bool> boolean(const QString& key) const;
    Read<QString> text(const QString& key) const;

    // Writes pending changes now. Returns false (with a line on standard output) when the file
    // could not be written; the values stay in memory and the next write tries again.
    bool sync();
    QString filePath() const;

private:
    void set(const QString& key, const QJsonValue& value);
    template <typename T, typename Convert> Read<T> readAs(const QString& key, Convert convert) const;
    void markDirty();
    void load();

    struct Impl;
    std::shared_ptr<Impl> d;
};

} // namespace orvel
