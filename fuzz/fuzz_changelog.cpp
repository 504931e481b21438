// The changelog file shown in the About window, whatever bytes it holds.
#include "FuzzCheck.h"

#include "app/AboutWindow.h"

#include <QDir>
#include <QFile>
#include <QStringConverter>
#include <QTemporaryDir>
#include <QUtf8StringView>

using namespace orvel;

namespace {
QTemporaryDir* dir;
QString unreadable;
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    dir = new QTemporaryDir(QDir::tempPath() + QStringLiteral("/orvel-fuzz-XXXXXX"));
    unreadable = loadChangelog(dir->path()); // a directory cannot be read as a file
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size)
{
    const QByteArray bytes = fuzz::bytes(data, size);
    const QString path = dir->filePath(QStringLiteral("CHANGELOG"));
    {
        QFile file(path);
        FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
                   file.write(bytes) == bytes.size());
    }
    const QString text = loadChangelog(path);
    if (text == unreadable)
        return 0;
    // Shown as plain text: never a broken surrogate pair.
    FUZZ_CHECK(QStringView(text).isValidUtf16());
    // Plain UTF-8 without a byte order mark reads as it is.
    if (!QStringConverter::encodingForData(bytes) && QUtf8StringView(bytes).isValidUtf8())
        FUZZ_CHECK(text == QString::fromUtf8(bytes));
    return 0;
}
