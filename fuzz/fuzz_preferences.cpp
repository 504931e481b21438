// The preferences file, as a damaged disk or a hand edit may leave it.
#include "FuzzCheck.h"

#include "platform/MainQueue.h"
#include "platform/Preferences.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

using namespace orvel;

namespace {
QTemporaryDir* dir;
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    dir = new QTemporaryDir(QDir::tempPath() + QStringLiteral("/orvel-fuzz-XXXXXX"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size)
{
    ManualClock clock;
    ScopedMainQueue scope(clock);
    QDir(dir->path()).removeRecursively();
    QDir().mkpath(dir->path());
    const QString path = dir->filePath(QStringLiteral("preferences.json"));
    const QByteArray bytes = fuzz::bytes(data, size);
    {
        QFile file(path);
        FUZZ_CHECK(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    }
    const QJsonDocument expected = QJsonDocument::fromJson(bytes);
    const QString user = QStringLiteral("user-\u00e9\U0001F600");
    QJsonObject written;
    {
        Preferences store(path);
        // What parses as an object is read as it is; anything else starts empty, set aside.
        const QJsonObject held = expected.isObject() ? expected.object() : QJsonObject();
        for (auto it = held.begin(); it != held.end(); ++it)
            FUZZ_CHECK(store.object(it.key()) == it.value());
        if (!expected.isObject())
            FUZZ_CHECK(!QFile::exists(path) && store.object(QStringLiteral("hue_username")).isUndefined());

        // Every typed read stays within what it promises.
        for (auto it = held.begin(); it != held.end(); ++it) {
            const auto real = store.real(it.key());
            FUZZ_CHECK(!real.ok() || it.value().isDouble());
            const auto whole = store.unsignedInteger(it.key());
            FUZZ_CHECK(!whole.ok() || it.value().toDouble() >= 0);
            FUZZ_CHECK(store.boolean(it.key()).ok() == it.value().isBool());
            FUZZ_CHECK(store.text(it.key()).ok() == it.value().isString());
        }

        store.setText(QStringLiteral("hue_username"), user);
        store.setDouble(QStringLiteral("0on_hue"), size * 0.5);
        store.setInteger(QStringLiteral("rule_count"), qint64(size) - 7);
        store.remove(QStringLiteral("global_toggle"));
        FUZZ_CHECK(store.sync());
        for (const QString& key : held.keys())
            written.insert(key, store.object(key));
        for (const QString& key :
             {QStringLiteral("hue_username"), QStringLiteral("0on_hue"), QStringLiteral("rule_count")})
            written.insert(key, store.object(key));
        written.remove(QStringLiteral("global_toggle"));
    }
    // The store reads back what it wrote.
    Preferences again(path);
    FUZZ_CHECK(again.text(QStringLiteral("hue_username")).value == user);
    FUZZ_CHECK(again.integer(QStringLiteral("rule_count")).value == qint64(size) - 7);
    FUZZ_CHECK(again.real(QStringLiteral("0on_hue")).value == size * 0.5);
    for (auto it = written.begin(); it != written.end(); ++it)
        FUZZ_CHECK(again.object(it.key()) == it.value());
    FUZZ_CHECK(!again.contains(QStringLiteral("global_toggle")));
    return 0;
}
