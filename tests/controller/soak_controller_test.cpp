// Fault soak: the real controller and the real bridge client against the simulated bridge on
// loopback while it misbehaves in every way it knows, MIDI on/off cycle after cycle, fault windows
// between clean stretches. After the last clean switch-off every light must look as before the
// first cycle, nothing may be left waiting, and memory must stay flat.
//
// The short run is CI's; ORVEL_SOAK_SECONDS (scripts/soak.sh) repeats the windows for that long.

#include "BridgeSimulator.h"
#include "controller/LightList.h"
#include "controller/bridge/HttpHueBridgeServices.h"
#include "platform/MainQueue.h"
#include "platform/Preferences.h"
#include "support/FakeMidi.h"
#include "support/TestMain.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <memory>

using namespace orvel;

namespace {

const QString kUser = QStringLiteral("soak-user");

// Desk and Hall on, Shelf off; one rule each (kRules). Hall goes when the bridge restarts.
const char kLights[] = R"({
  "1": {"name": "Desk", "type": "Extended color light", "uniqueid": "00:17:88:01:00:00:00:01-0b",
        "state": {"on": true, "hue": 8000, "sat": 140, "bri": 200, "reachable": true}},
  "2": {"name": "Shelf", "type": "Extended color light", "uniqueid": "00:17:88:01:00:00:00:02-0b",
        "state": {"on": false, "hue": 30000, "sat": 200, "bri": 150, "reachable": true}},
  "3": {"name": "Hall", "type": "Extended color light", "uniqueid": "00:17:88:01:00:00:00:03-0b",
        "state": {"on": true, "hue": 46000, "sat": 254, "bri": 120, "reachable": true}}
})";

// The on state of each light's rule, rules in the lights' order.
const struct {
    QString uniqueId;
    double hue, saturation, value;
} kRules[] = {{"00:17:88:01:00:00:00:01-0b", 1000, 100, 50},
              {"00:17:88:01:00:00:00:02-0b", 50000, 254, 254},
              {"00:17:88:01:00:00:00:03-0b", 20000, 30, 230}};

// One stretch of the run: cycles under these faults (none: clean), or a restart of the bridge
// with its lights in reverse order and the last one gone, before clean cycles.
struct Window {
    QStringList faults;
    int cycles;
    bool restart = false;
};

const QList<Window>& windows()
{
    static const QList<Window> table{
        {{}, 20},                   // warm-up
        {{"rate-limit"}, 60},       // retries and give-ups
        {{}, 10},                   //
        {{"garbage", "reset"}, 60}, // done at the bridge, answer lost
        {{}, 10},                   //
        {{"unreachable"}, 40},      // a light away for a while
        {{}, 10, true},             // restart: renumbered, one light gone
        {{"slow"}, 4},              // time-outs (each costs real time)
        {{}, 10},                   //
        {{"rate-limit", "garbage", "slow", "reset", "unreachable"}, 40},
        {{}, 20}, // the last clean stretch
    };
    return table;
}

// A light as compared: on always, the colour only for a light that was on. A light that was off is
// only switched off again, and keeps the colour it was switched on with; an off light shows none.
QJsonObject visibleState(const QJsonObject& light, bool withColour)
{
    const QJsonObject state = light.value("state").toObject();
    QJsonObject seen{{"on", state.value("on")}};
    if (withColour) {
        for (const char* field : {"hue", "sat", "bri"})
            seen.insert(field, state.value(field));
    }
    return seen;
}

// Light state by uniqueid, as the bridge holds it.
QHash<QString, QJsonObject> lightsByUniqueId(const sim::BridgeSimulator& bridge)
{
    QHash<QString, QJsonObject> byId;
    for (const QString& id : bridge.lightIds()) {
        const QJsonObject light = bridge.light(id);
        byId.insert(light.value("uniqueid").toString(), light);
    }
    return byId;
}

long residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

// The bridge's restart and the reconnection after it are over by then.
constexpr int kWarmUpCycles = 210;

constexpr bool kSanitized =
#if defined(__SANITIZE_ADDRESS__)
    true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    true;
#else
    false;
#endif
#else
    false;
#endif

} // namespace

class TestFaultSoak : public QObject {
    Q_OBJECT

private slots:
    void lightsComeBackAfterFaultyCycles();

private:
    // Runs the event loop until no request is pending and no step is waiting, moving the clock on
    // whenever the wire is idle. False when that does not happen within `realMs`.
    bool settle(int realMs = 20000);
    bool restartBridge(bool dropLast);

    ManualClock clock_;
    std::unique_ptr<sim::BridgeSimulator> bridge_;
    std::shared_ptr<HttpHueBridgeServices> services_;
    QTemporaryDir dir_;
    quint16 port_ = 0;
};

bool TestFaultSoak::settle(int realMs)
{
    QElapsedTimer elapsed;
    elapsed.start();
    QElapsedTimer waiting; // since the clock last moved or an answer came
    waiting.start();
    int onTheWire = 0;
    while (elapsed.elapsed() < realMs) {
        if (services_->requestsInFlight() == 0 && clock_.pendingSteps() == 0)
            return true;
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        // Replies and released links go with deleteLater; this loop is no event loop of Qt's own.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        const int sent = services_->requestsOnTheWire();
        if (sent != onTheWire)
            waiting.restart();
        onTheWire = sent;
        // Time stands still while requests are on the wire, so that the step waiting 0.1 s for a
        // read gets the answer a bridge on the local network gives within that time, however slow
        // this machine is. An answer that is late by design (a slow fault) lets time go on slowly.
        if (onTheWire == 0) {
            clock_.advance(services_->requestsInFlight() == 0 ? 0.25 : 0.05); // delayed steps, retries
            waiting.restart();
        } else if (waiting.elapsed() > 100) {
            clock_.advance(0.05);
            waiting.restart();
        } else {
            QThread::msleep(1);
        }
    }
    return false;
}

bool TestFaultSoak::restartBridge(bool dropLast)
{
    bridge_->setFaults({}); // a light the faults took away comes back before the restart
    QJsonObject reordered;
    QStringList ids = bridge_->lightIds();
    std::reverse(ids.begin(), ids.end());
    if (dropLast)
        ids.removeFirst();
    for (int i = 0; i < ids.size(); ++i)
        reordered.insert(QString::number(i + 1), bridge_->light(ids.at(i)));
    QFile file(dir_.filePath("restarted.json"));
    if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(reordered).toJson()) <= 0)
        return false;
    file.close();

    bridge_.reset();
    sim::SimOptions options;
    options.fixedUser = kUser;
    options.port = port_;
    options.lightsFile = file.fileName();
    bridge_ = std::make_unique<sim::BridgeSimulator>();
    QString error;
    if (!bridge_->start(options, &error)) {
        qWarning("restart: %s", qPrintable(error));
        return false;
    }
    return true;
}

void TestFaultSoak::lightsComeBackAfterFaultyCycles()
{
    QElapsedTimer runTime;
    runTime.start();
    const double seconds = qEnvironmentVariableIntValue("ORVEL_SOAK_SECONDS");
    ScopedMainQueue scope(clock_);
    QVERIFY(dir_.isValid());
    QFile lights(dir_.filePath("lights.json"));
    QVERIFY(lights.open(QIODevice::WriteOnly) && lights.write(kLights) > 0);
    lights.close();

    Preferences::installStandard(std::make_unique<Preferences>(dir_.filePath("prefs.json")));
    auto& prefs = Preferences::standard();
    prefs.setText("hue_username", kUser);
    prefs.setInteger("rule_count", 3);
    for (qint64 rule = 0; rule < 3; ++rule) {
        prefs.setInteger(LightRule::key(rule, "light_index"), rule);
        prefs.setDouble(LightRule::key(rule, "on_hue"), kRules[rule].hue);
        prefs.setDouble(LightRule::key(rule, "on_saturation"), kRules[rule].saturation);
        prefs.setDouble(LightRule::key(rule, "on_value"), kRules[rule].value);
    }

    bridge_ = std::make_unique<sim::BridgeSimulator>();
    sim::SimOptions options;
    options.fixedUser = kUser;
    options.lightsFile = lights.fileName();
    QString error;
    QVERIFY2(bridge_->start(options, &error), qPrintable(error));
    port_ = bridge_->port();

    // A short time-out keeps the slow answers from stretching the run; the rest is as shipped.
    BridgeClientOptions client;
    client.timeoutMs = 750;
    DiscoveryOptions discovery;
    discovery.useMdns = false;
    discovery.useCloud = false;
    services_ = std::make_shared<HttpHueBridgeServices>(client, discovery);
    auto midi = std::make_shared<test::FakeMidiEndpoints>();
    auto list = std::make_unique<LightList>(services_, midi);
    list->setGivenBridgeHost(bridge_->hostAndPort());
    list->setUp();
    QVERIFY(QTest::qWaitFor(
        [&] {
            settle(100);
            return list->lightRules().size() == 3 && !list->blinkingAll() &&
                   services_->requestsInFlight() == 0 && clock_.pendingSteps() == 0;
        },
        20000));
    QVERIFY2(list->statusText().startsWith("Connected to Hue Bridge 'Orvel Sim'"),
             qPrintable(list->statusText()));

    const QHash<QString, QJsonObject> before = lightsByUniqueId(*bridge_);
    int cycles = 0;
    QMap<QString, int> faults;
    const auto countFaults = [&] {
        const QMap<QString, int> injected = bridge_->faultsInjected();
        for (auto it = injected.cbegin(); it != injected.cend(); ++it)
            faults[it.key()] += it.value();
    };
    int mismatches = 0;
    long warmRss = 0;
    bool restarted = false;
    quint32 seed = 1;
    for (int pass = 0; pass == 0 || runTime.elapsed() < seconds * 1000; ++pass) {
        for (const Window& window : windows()) {
            if (window.restart) {
                countFaults();
                QVERIFY(restartBridge(!restarted));
                restarted = true;
            }
            sim::FaultOptions mode;
            mode.kinds = window.faults;
            mode.probability = 0.25;
            mode.slowMs = client.timeoutMs + 250;
            mode.seed = seed++;
            bridge_->setFaults(mode);
            for (int i = 0; i < window.cycles; ++i, ++cycles) {
                midi->deliver({test::FakeMidiEndpoints::noteOn(95, 127)});
                QVERIFY2(settle(), "the switch-on did not settle");
                // At the end of a clean stretch every rule must show its on state on its own light,
                // wherever the bridge has put it.
                if (window.faults.isEmpty() && i == window.cycles - 1) {
                    const QHash<QString, QJsonObject> lit = lightsByUniqueId(*bridge_);
                    for (const auto& rule : kRules) {
                        if (!lit.contains(rule.uniqueId))
                            continue;
                        const QJsonObject state = lit.value(rule.uniqueId).value("state").toObject();
                        if (!state.value("on").toBool() || state.value("hue").toInt() != rule.hue) {
                            ++mismatches;
                            qWarning("cycle %d: light %s shows %s, not its rule's on state", cycles,
                                     qPrintable(rule.uniqueId),
                                     QJsonDocument(state).toJson(QJsonDocument::Compact).constData());
                        }
                    }
                }
                midi->deliver({test::FakeMidiEndpoints::noteOn(95, 0)});
                QVERIFY2(settle(), "the switch-off did not settle");
                bridge_->clearRequests(); // the bridge's record would grow with the run
            }
            if (warmRss == 0 && cycles >= kWarmUpCycles)
                warmRss = residentKiB();
        }
    }
    countFaults();
    QVERIFY(!list->on());
    QVERIFY(windows().constLast().faults.isEmpty());

    const QHash<QString, QJsonObject> after = lightsByUniqueId(*bridge_);
    for (auto it = before.cbegin(); it != before.cend(); ++it) {
        if (!after.contains(it.key()))
            continue; // removed by the restart
        const bool wasOn = it->value("state").toObject().value("on").toBool();
        const QJsonObject then = visibleState(*it, wasOn);
        const QJsonObject now = visibleState(after.value(it.key()), wasOn);
        if (then != now) {
            ++mismatches;
            qWarning("light %s was %s, is %s", qPrintable(it.key()),
                     QJsonDocument(then).toJson(QJsonDocument::Compact).constData(),
                     QJsonDocument(now).toJson(QJsonDocument::Compact).constData());
        }
    }
    const long endRss = residentKiB();
    QStringList faultText;
    int faultTotal = 0;
    for (auto it = faults.cbegin(); it != faults.cend(); ++it) {
        faultText << QStringLiteral("%1 %2").arg(it.key()).arg(it.value());
        faultTotal += it.value();
    }
    qInfo("soak: %d cycles, %d faults injected (%s), %d mismatches, RSS %ld KiB after warm-up, %ld KiB "
          "at the end, %.1f s",
          cycles, faultTotal, qPrintable(faultText.join(", ")), mismatches, warmRss, endRss,
          runTime.elapsed() / 1000.0);

    QCOMPARE(mismatches, 0);
    QCOMPARE(after.size(), before.size() - 1);
    for (const QString& kind : sim::FaultOptions::faultKinds())
        QVERIFY2(faults.value(kind) > 0, qPrintable(kind + " was never injected"));
    QCOMPARE(services_->requestsInFlight(), 0);
    QCOMPARE(clock_.pendingSteps(), std::size_t(0));
    QVERIFY(!list->timer() || !list->timer()->isValid()); // no connection attempt left ticking
    // Under AddressSanitizer freed memory sits in quarantine: resident size grows by design there.
    if (!kSanitized)
        QVERIFY2(endRss - warmRss < 8 * 1024, "resident memory grew by more than 8 MiB");

    list.reset();
    services_.reset();
    bridge_.reset();
    Preferences::installStandard(nullptr);
}

ORVEL_TEST_MAIN(TestFaultSoak)
#include "soak_controller_test.moc"
