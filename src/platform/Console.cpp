#include "platform/Console.h"

#include <cstdio>

namespace orvel {

namespace {
ConsoleCapture* g_capture = nullptr;
}

void printLine(const QString& line)
{
    const QByteArray bytes = line.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    if (g_capture)
        g_capture->lines_.append(line);
}

ConsoleCapture::ConsoleCapture()
    : previous_(g_capture)
{
    g_capture = this;
}

ConsoleCapture::~ConsoleCapture()
{
    g_capture = previous_;
}

} // namespace orvel
