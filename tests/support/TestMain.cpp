#include "support/TestMain.h"

#include <QDir>
#include <QTemporaryDir>

namespace orvel::test {

QString isolateHome()
{
    static const QTemporaryDir home(QDir::tempPath() + QStringLiteral("/orvel-test-XXXXXX"));
    for (const auto& [name, dir] : {std::pair{"HOME", ""},
                                    {"XDG_CONFIG_HOME", "/.config"},
                                    {"XDG_DATA_HOME", "/.local/share"},
                                    {"XDG_CACHE_HOME", "/.cache"}})
        qputenv(name, home.path().toUtf8() + dir);
    return home.path();
}

} // namespace orvel::test
