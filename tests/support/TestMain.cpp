#include "support/TestMain.h"

#include <QDir>
#include <QTemporaryDir>

#include <memory>

namespace orvel::test {

QString isolateHome()
{
    static std::unique_ptr<QTemporaryDir> home;
    if (!home) {
        home = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/orvel-test-XXXXXX"));
        const QByteArray root = home->path().toUtf8();
        for (const auto& [name, dir] : {std::pair{"HOME", ""},
                                        {"XDG_CONFIG_HOME", "/.config"},
                                        {"XDG_DATA_HOME", "/.local/share"},
                                        {"XDG_CACHE_HOME", "/.cache"}})
            qputenv(name, root + dir);
    }
    return home->path();
}

} // namespace orvel::test
