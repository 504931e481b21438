// Cost of one preferences write and of one rule assignment (which writes one key). A slider drag
// does one of these per step, so both must stay in the microseconds.
#include "platform/MainQueue.h"
#include "platform/Preferences.h"
#include "rules/LightRule.h"
#include "support/SimBridge.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

using namespace orvel;

namespace {

template <typename F> void measure(const char* what, int rounds, int perRound, F&& body)
{
    std::vector<double> perCall;
    for (int r = 0; r < rounds; ++r) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < perRound; ++i)
            body(i);
        const auto end = std::chrono::steady_clock::now();
        perCall.push_back(std::chrono::duration<double, std::micro>(end - start).count() / perRound);
    }
    std::sort(perCall.begin(), perCall.end());
    std::printf("%-32s median %.3f us, p99 %.3f us per call (%d rounds of %d)\n", what,
                perCall[perCall.size() / 2], perCall[std::min(perCall.size() - 1, perCall.size() * 99 / 100)],
                rounds, perRound);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    ManualClock clock; // disk flushes wait for the clock, so the loop measures the write alone
    ScopedMainQueue scope(clock);
    Preferences::installStandard(std::make_unique<Preferences>(dir.path() + "/preferences.json"));
    auto& store = Preferences::standard();
    for (int i = 0; i < 200; ++i)
        store.setDouble(QString::number(i) + "on_hue", i); // a store the size of a big rule set

    measure("preferences setDouble", 101, 10000,
            [&](int i) { store.setDouble(QStringLiteral("7on_hue"), i); });

    const test::SimBridge bridge;
    auto rule = LightRule::create(0, bridge.readClient());
    clock.advance(5);
    measure("rule setOnHueDegrees", 101, 10000, [&](int i) { rule->setOnHueDegrees(i % 65536); });

    const auto start = std::chrono::steady_clock::now();
    store.sync();
    std::printf("%-32s %.3f ms\n", "preferences flush to disk",
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    return 0;
}
