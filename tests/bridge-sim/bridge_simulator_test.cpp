#include "support/SimBridge.h"
#include "support/TestMain.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSignalSpy>

using namespace orvel;
using namespace orvel::sim;
using orvel::test::SimBridge;

namespace {

struct Reply {
    int status = 0;
    QString contentType;
    QByteArray body;
    QJsonDocument json;  // null when the body is not JSON
    bool cutOff = false; // the connection ended before the whole answer

    int errorType() const { return json[0]["error"]["type"].toInt(); }
    // Per-parameter results in a fixed order: "bri=254" for a success, "bri!7" for an error of type 7.
    QString results() const
    {
        QStringList out;
        for (const QJsonValue& entry : json.array()) {
            const QJsonObject success = entry["success"].toObject();
            for (auto it = success.begin(); it != success.end(); ++it)
                out << it.key().section('/', -1) + '=' + it->toVariant().toString();
            if (const QJsonValue error = entry["error"]; error.isObject())
                out << error["address"].toString().section('/', -1) + '!' +
                           QString::number(error["type"].toInt());
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
        reply->ignoreSslErrors({QSslError(QSslError::SelfSignedCertificate, sim.certificate()),
                                QSslError(QSslError::HostNameMismatch, sim.certificate())});
        if (!reply->isFinished())
            QSignalSpy(reply.get(), &QNetworkReply::finished).wait(10000);
        const QByteArray answer = reply->readAll();
        return {reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
                reply->header(QNetworkRequest::ContentTypeHeader).toString(), answer,
                QJsonDocument::fromJson(answer), reply->error() == QNetworkReply::RemoteHostClosedError};
    }

    Reply put(const BridgeSimulator& sim, const QString& light, const QByteArray& body)
    {
        return call(sim, "PUT", "/api/" + test::kSimUser + "/lights/" + light + "/state", body);
    }

private Q_SLOTS:
    void readsNeedAPairedUserExceptThePublicConfig()
    {
        SimOptions options;
        options.https = true;
        options.bridgeId = QStringLiteral("001788fffe4a1b2c");
        const SimBridge bridge(QByteArray{}, options);
        const BridgeSimulator& sim = bridge.sim;
        QCOMPARE(sim.certificate().subjectInfo(QSslCertificate::CommonName), QStringList{"001788fffe4a1b2c"});
        for (const QString path : {"/api/config", "/api/nobody/config"}) {
            const Reply reply = call(sim, "GET", path);
            QCOMPARE(reply.contentType, QStringLiteral("application/json"));
            QCOMPARE(reply.json["bridgeid"].toString(), QStringLiteral("001788FFFE4A1B2C"));
            QVERIFY(!reply.json.object().contains("whitelist"));
        }
        QVERIFY(call(sim, "GET", "/api/" + test::kSimUser + "/config")
                    .json["whitelist"][test::kSimUser]
                    .isObject());
        QCOMPARE(call(sim, "GET", "/api/nobody/lights").json,
                 QJsonDocument::fromJson(
                     R"([{"error":{"type":1,"address":"/lights","description":"unauthorized user"}}])"));
        QCOMPARE(call(sim, "GET", "/api/" + test::kSimUser + "/lights/7").errorType(), 3);
    }

    void pairsOnlyWithinThirtySecondsOfAPress()
    {
        ManualClock clock;
        ScopedMainQueue scope(clock);
        const SimBridge bridge;
        const QByteArray body = R"({"devicetype":"orvel#desk","generateclientkey":true})";
        QCOMPARE(call(bridge.sim, "POST", "/api", body).json,
                 QJsonDocument::fromJson(
                     R"([{"error":{"type":101,"address":"","description":"link button not pressed"}}])"));

        QVERIFY(call(bridge.sim, "POST", "/sim/linkbutton").json[0]["success"].isObject());
        clock.advance(29);
        const QJsonValue granted = call(bridge.sim, "POST", "/api", body).json[0]["success"];
        const QString user = granted["username"].toString();
        QVERIFY2(QRegularExpression("^[A-Za-z0-9-]{40}$").match(user).hasMatch(), qPrintable(user));
        QVERIFY(QRegularExpression("^[0-9A-F]{32}$").match(granted["clientkey"].toString()).hasMatch());
        QVERIFY(call(bridge.sim, "GET", "/api/" + user + "/lights").json["1"].isObject());

        clock.advance(2);
        QCOMPARE(call(bridge.sim, "POST", "/api", body).errorType(), 101);
    }

    void answersEachStateParameterOnItsOwn()
    {
        SimBridge bridge(QByteArray{});
        BridgeSimulator& sim = bridge.sim;
        // Light 1 takes colour, 5 is a white light, 2 is off; invalid values (7) and unknown
        // parameters (6) fail alone, and colour for a light that is off is refused (201) unless the
        // same body switches it on. Unreachable lights still take commands; there is no light 9.
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
            const Reply reply = put(sim, light, body);
            QCOMPARE(reply.results(), results);
            answers += reply.body;
        }
        QCOMPARE(sim.light("1").value("state")["bri"].toInt(), 254);
        QVERIFY(answers.contains(R"("invalid value, 0, for parameter, bri")"));
        QVERIFY(answers.contains(R"("parameter, bri, is not modifiable. Device is set to off.")"));
    }

    void recordsRequestsAndLimitsTheirRate()
    {
        SimOptions options;
        options.rateLimitPerSecond = 3;
        const SimBridge bridge(QByteArray{}, options);
        QStringList answers;
        for (int i = 0; i < 4; ++i) {
            const Reply reply = put(bridge.sim, "1", R"({"on":true})");
            answers << QStringLiteral("%1 %2").arg(reply.status).arg(reply.contentType);
        }
        QCOMPARE(answers.last(), QStringLiteral("503 text/html"));
        QCOMPARE(bridge.sim.requests().last().status, 503);
        const QJsonArray listed = call(bridge.sim, "GET", "/sim/requests").json.array();
        QCOMPARE(listed.size(), 4); // /sim/ requests are neither recorded nor limited
        QCOMPARE(listed[0]["body"].toString(), QStringLiteral(R"({"on":true})"));
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
            FaultOptions faults;
            QVERIFY(faults.parseKinds(kind, nullptr));
            faults.probability = 1;
            faults.slowMs = 200;
            sim.setFaults(faults);

            const Reply reply = put(sim, "1", R"({"bri":77})");
            QCOMPARE(reply.cutOff ? QStringLiteral("cut off")
                                  : QStringLiteral("%1 %2")
                                        .arg(reply.status)
                                        .arg(reply.json.isNull() ? "not json" : "json"),
                     QString(answer));
            QCOMPARE(sim.light("1").value("state")["bri"].toInt() == 77, done);
            QCOMPARE(sim.requests().value(0).fault, QString(kind));
            QCOMPARE(sim.faultsInjected(), (QMap<QString, int>{{kind, 1}}));

            // The light taken away comes back when the fault is switched off.
            const auto away = [&] {
                QStringList ids = sim.lightIds();
                ids.removeIf(
                    [&](const QString& id) { return sim.light(id).value("state")["reachable"].toBool(); });
                return ids.size();
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
        QCOMPARE(
            error,
            QStringLiteral("unknown fault \"sleepy\"; known: rate-limit, garbage, slow, reset, unreachable"));
        QCOMPARE(faults.kinds, (QStringList{"garbage", "slow"})); // unchanged by a bad line
    }
};

ORVEL_TEST_MAIN(BridgeSimulatorTest)
#include "bridge_simulator_test.moc"
