#include "support/TestMain.h"

#include <QDir>
#include <QTemporaryDir>

#include <cstdlib>
#include <memory>

namespace orvel::test {

QString isolateHome()
{
    static std::unique_ptr<QTemporaryDir> home;
    if (!home) {
        home = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/orvel-test-XXXXXX"));
        const QByteArray root = home->path().toUtf8();
        setenv("HOME", root.constData(), 1);
        setenv("XDG_CONFIG_HOME", (root + "/.config").constData(), 1);
        setenv("XDG_DATA_HOME", (root + "/.local/share").constData(), 1);
        setenv("XDG_CACHE_HOME", (root + "/.cache").constData(), 1);
    }
    return home->path();
}

} // namespace orvel::test
