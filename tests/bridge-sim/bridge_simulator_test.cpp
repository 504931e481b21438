#include "support/SimBridge.h"
#include "support/TestMain.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>

using namespace orvel;
using namespace orvel::sim;
using orvel::test::SimBridge;

namespace {

struct Reply {
    int status = 0;
    QByteArray body;
    QJsonDocument json;  // null when the body is not JSON
    bool cutOff = false; // the connection ended before the whole answer

    QString shape() const
    {
        return cutOff ? QStringLiteral("cut off")
                      : QString::number(status) + (json.isNull() ? " not json" : " json");
    }
    // Per-parameter results in a fixed order: "bri=254" for a success, "bri!7" for an error of type 7.
    QString results() const
    {
        QStringList out;
        for (const QJsonValue& entry : json.array()) {
            const QJsonObject success = entry["success"].toObject(), error = entry["error"].toObject();
            out << (success.isEmpty() ? error["address"].toString().section('/', -1) + '!' +
                                            error["type"].toVariant().toString()
                                      : success.begin().key().section('/', -1) + '=' +
                                            success.begin()->toVariant().toString());
        }
        out.sort();
        return out.join(' ');
    }
};

} // namespace

class BridgeSimulatorTest : public QObject {
    Q_OBJECT

    QNetworkAccessManager manager_;

    // Calls the simulated bridge and waits for the whole answer.
    Reply call(const BridgeSimulator& sim, const QByteArray& method, const QString& path,
               const QByteArray& body = {})
    {
        QNetworkRequest request(sim.baseUrl().resolved(QUrl(path)));
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
        const std::unique_ptr<QNetworkReply> reply(manager_.sendCustomRequest(request, method, body));
        (void)QTest::qWaitFor([&] { return reply->isFinished(); }, 10000);
        const QByteArray answer = reply->readAll();
        return {reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), answer,
                QJsonDocument::fromJson(answer), reply->error() == QNetworkReply::RemoteHostClosedError};
    }

private Q_SLOTS:
    void pairsAndAnswersEachStateParameterOnItsOwnOnlyToAPairedUser()
    {
        ManualClock clock;
        ScopedMainQueue scope(clock);
        SimBridge bridge(QByteArray{});
        BridgeSimulator& sim = bridge.sim;
        // Pairing works only within 30 seconds of a press of the link button.
        const QByteArray body = R"({"devicetype":"orvel#desk","generateclientkey":true})";
        QCOMPARE(call(sim, "POST", "/api", body).results(), QStringLiteral("!101"));

        QVERIFY(call(sim, "POST", "/sim/linkbutton").json[0]["success"].isObject());
        clock.advance(29);
        QCOMPARE(call(sim, "POST", "/api", body).json[0]["success"]["username"].toString().size(), 40);
        clock.advance(2);
        QCOMPARE(call(sim, "POST", "/api", body).results(), QStringLiteral("!101"));

        // The public part of the configuration answers anyone, the whitelist only a paired user. (An
        // unknown user's error 1 is checked through the client.)
        QVERIFY(!call(sim, "GET", "/api/nobody/config").json.object().contains("whitelist"));
        QCOMPARE(call(sim, "GET", "/api/config").json["bridgeid"].toString(), sim.bridgeId());
        const QJsonDocument config = call(sim, "GET", "/api/" + test::kSimUser + "/config").json;
        QVERIFY(config["whitelist"][test::kSimUser].isObject());

        sim.setLightReachable("2", false);
        QByteArray answers;
        for (const auto& [light, body, results] :
             std::initializer_list<std::tuple<QString, QByteArray, QString>>{
                 {"1", R"({"on":true,"bri":255,"sat":255,"hue":65535})", "bri=254 hue=65535 on=true sat=254"},
                 {"1", R"({"bri":0,"hue":70000,"on":"yes","ct":200,"x":1})", "bri!7 ct=200 hue!7 on!7 x!6"},
                 {"5", R"({"hue":100,"bri":10})", "bri=10 hue!6"},
                 {"2", R"({"bri":100,"alert":"select"})", "alert=select bri!201"},
                 {"2", R"({"bri":100,"on":true})", "bri=100 on=true"},
                 {"9", R"({"on":true})", "state!3"}}) {
            const Reply reply =
                call(sim, "PUT", "/api/" + test::kSimUser + "/lights/" + light + "/state", body);
            QCOMPARE(reply.results(), results);
            answers += reply.body;
        }
        QCOMPARE(sim.light("1").value("state")["bri"].toInt(), 254);
        QVERIFY(answers.contains(R"("invalid value, 0, for parameter, bri")"));
        QVERIFY(answers.contains(R"("parameter, bri, is not modifiable. Device is set to off.")"));
        // All asked so far but the /sim/ requests, for a look from outside: 3 pairings, 3 reads, 6 writes.
        const QJsonArray listed = call(sim, "GET", "/sim/requests").json.array();
        QCOMPARE(listed.size(), 12);
        QCOMPARE(listed[7]["body"].toString(), R"({"bri":0,"hue":70000,"on":"yes","ct":200,"x":1})");
    }

    void injectsEachFaultKind()
    {
        // Kind, how the answer looks, whether the write reached the light.
        for (const auto& [kind, answer, done] : {std::tuple{"rate-limit", "429 not json", false},
                                                 {"garbage", "200 not json", true},
                                                 {"slow", "200 json", true},
                                                 {"reset", "cut off", true},
                                                 {"unreachable", "200 json", true}}) {
            SimBridge bridge(QByteArray{});
            BridgeSimulator& sim = bridge.sim;
            sim.setFaults({.kinds = {kind}, .probability = 1, .slowMs = 200});

            QCOMPARE(call(sim, "PUT", "/api/" + test::kSimUser + "/lights/1/state", R"({"bri":77})").shape(),
                     QString(answer));
            QCOMPARE(sim.light("1").value("state")["bri"].toInt() == 77, done);
            QCOMPARE(sim.requests().value(0).fault, QString(kind));
            QCOMPARE(sim.faultsInjected(), (QMap<QString, int>{{kind, 1}}));

            // The light taken away comes back when the fault is switched off.
            const auto away = [&] {
                return std::ranges::count_if(sim.lightIds(), [&](const QString& id) {
                    return !sim.light(id).value("state")["reachable"].toBool();
                });
            };
            QCOMPARE(away(), kind == QString("unreachable") ? 1 : 0);
            sim.setFaults({});
            QCOMPARE(away(), 0);
        }

        FaultOptions faults;
        QString error;
        QVERIFY(faults.parseKinds(" Garbage,slow,,garbage", &error));
        QCOMPARE(faults.kinds, (QStringList{"garbage", "slow"}));
        QVERIFY(!faults.parseKinds("slow,sleepy", &error));
        QCOMPARE(error, R"(unknown fault "sleepy"; known: rate-limit, garbage, slow, reset, unreachable)");
        QCOMPARE(faults.kinds, (QStringList{"garbage", "slow"})); // unchanged by a bad line
    }
};

ORVEL_TEST_MAIN(BridgeSimulatorTest)
#include "bridge_simulator_test.moc"
