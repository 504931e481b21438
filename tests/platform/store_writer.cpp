// A process that streams edits into the preferences store as a user dragging sliders would,
// for the crash-safety test to kill. Each edit sets "edit_a", "edit_b" and "edit_c" to the same
// count, so any snapshot on disk must hold three equal numbers; "blob" changes the file's size.
//
//   store_writer PATH stream   edits without end, printing "edit N" after each
//   store_writer PATH once     makes one edit, prints "edited N" and waits for a signal
//
// SIGTERM, SIGINT and SIGHUP end the main loop the way the program does, through SignalHandler.
#include "app/SignalHandler.h"
#include "platform/MainQueue.h"
#include "platform/Preferences.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>

using namespace orvel;

namespace {

qint64 edit(Preferences& store)
{
    const qint64 n = store.integer(QStringLiteral("edit_a")).valueOr(0) + 1;
    store.setInteger(QStringLiteral("edit_a"), n);
    store.setInteger(QStringLiteral("edit_b"), n);
    store.setText(QStringLiteral("blob"), QString(int(n % 700), QLatin1Char('x')));
    store.setInteger(QStringLiteral("edit_c"), n);
    return n;
}

void stream(Preferences& store)
{
    const qint64 n = edit(store);
    // Writes far more often than the delayed write would, so that kills land inside writes.
    if (n % 3 == 0)
        store.sync();
    std::printf("edit %lld\n", static_cast<long long>(n));
    std::fflush(stdout);
    MainQueue::shared().after(0.001, [&store] { stream(store); });
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 3)
        return 2;
    Preferences::installStandard(std::make_unique<Preferences>(QString::fromLocal8Bit(argv[1])));
    Preferences& store = Preferences::standard();
    if (!store.text(QStringLiteral("hue_username")).ok()) {
        store.setText(QStringLiteral("hue_username"), QStringLiteral("kept-user"));
        store.sync();
    }

    SignalHandler signalHandler;
    signalHandler.watch({SIGTERM, SIGINT, SIGHUP});
    QObject::connect(&signalHandler, &SignalHandler::received, &app, [] { QCoreApplication::quit(); });

    if (qstrcmp(argv[2], "once") == 0) {
        std::printf("edited %lld\n", static_cast<long long>(edit(store)));
        std::fflush(stdout);
    } else {
        MainQueue::shared().after(0, [&store] { stream(store); });
    }
    const int status = QCoreApplication::exec();
    // Only the quit may have written the last edit: the store is left to die with the process.
    std::_Exit(status);
}
