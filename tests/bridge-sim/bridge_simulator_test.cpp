#include "BridgeSimulator.h"
#include "platform/MainQueue.h"
#include "support/TestMain.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSignalSpy>

using namespace orvel;
using namespace orvel::sim;

namespace {

QJsonValue parsed(const QByteArray& json)
{
    const QJsonDocument doc = QJsonDocument::fromJson(json);
    return doc.isArray() ? QJsonValue(doc.array()) : QJsonValue(doc.object());
}

struct Reply {
    int status = 0;
    QString contentType;
    QByteArray body;
    QJsonValue json;
    bool cutOff = false; // the connection ended before the whole answer

    int errorType() const { return json[0]["error"]["type"].toInt(); }
    // Per-parameter results in a fixed order: "bri=254" for a success, "bri!7" for an error of type 7.
    QString results() const
    {
        QStringList out;
        for (const QJsonValue& entry : json.toArray()) {
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

// Calls the simulated bridge and waits for the whole answer.
class Client {
public:
    explicit Client(const BridgeSimulator& sim)
        : sim_(sim)
    {}

    Reply call(const QByteArray& method, const QString& path, const QByteArray& body = {})
    {
        QNetworkRequest request(sim_.baseUrl().resolved(QUrl(path)));
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
        request.setTransferTimeout(5000);
        const std::unique_ptr<QNetworkReply> reply(manager_.sendCustomRequest(request, method, body));
        reply->ignoreSslErrors({QSslError(QSslError::SelfSignedCertificate, sim_.certificate()),
                                QSslError(QSslError::HostNameMismatch, sim_.certificate())});
        if (!reply->isFinished())
            QSignalSpy(reply.get(), &QNetworkReply::finished).wait(10000);
        const QByteArray answer = reply->readAll();
        return {reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
                reply->header(QNetworkRequest::ContentTypeHeader).toString(), answer, parsed(answer),
                reply->error() == QNetworkReply::RemoteHostClosedError};
    }

private:
    const BridgeSimulator& sim_;
    QNetworkAccessManager manager_;
};

SimOptions withUser()
{
    SimOptions options;
    options.fixedUser = QStringLiteral("tester");
    return options;
}

} // namespace

class BridgeSimulatorTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void readsNeedAPairedUserExceptThePublicConfig()
    {
        SimOptions options = withUser();
        options.https = true;
        options.bridgeId = QStringLiteral("001788fffe4a1b2c");
        BridgeSimulator sim;
        QVERIFY(sim.start(options));
        QCOMPARE(sim.certificate().subjectInfo(QSslCertificate::CommonName), QStringList{"001788fffe4a1b2c"});
        Client client(sim);
        for (const QString path : {"/api/config", "/api/nobody/config"}) {
            const Reply reply = client.call("GET", path);
            QCOMPARE(reply.contentType, QStringLiteral("application/json"));
            QCOMPARE(reply.json["bridgeid"].toString(), QStringLiteral("001788FFFE4A1B2C"));
            QVERIFY(!reply.json.toObject().contains("whitelist"));
        }
        QVERIFY(client.call("GET", "/api/tester/config").json["whitelist"].toObject().contains("tester"));
        QCOMPARE(client.call("GET", "/api/nobody/lights").json,
                 parsed(R"([{"error":{"type":1,"address":"/lights","description":"unauthorized user"}}])"));
        QCOMPARE(client.call("GET", "/api/tester/lights/7").errorType(), 3);
    }

    void pairsOnlyWithinThirtySecondsOfAPress()
    {
        ManualClock clock;
        ScopedMainQueue scope(clock);
        BridgeSimulator sim;
        QVERIFY(sim.start(SimOptions{}));
        Client client(sim);
        const QByteArray body = R"({"devicetype":"orvel#desk","generateclientkey":true})";
        QCOMPARE(client.call("POST", "/api", body).json,
                 parsed(R"([{"error":{"type":101,"address":"","description":"link button not pressed"}}])"));

        QVERIFY(client.call("POST", "/sim/linkbutton").json[0]["success"].isObject());
        clock.advance(29);
        const QJsonValue granted = client.call("POST", "/api", body).json[0]["success"];
        const QString user = granted["username"].toString();
        QVERIFY2(QRegularExpression("^[A-Za-z0-9-]{40}$").match(user).hasMatch(), qPrintable(user));
        QVERIFY(QRegularExpression("^[0-9A-F]{32}$").match(granted["clientkey"].toString()).hasMatch());
        QVERIFY(client.call("GET", "/api/" + user + "/lights").json.toObject().contains("1"));

        clock.advance(2);
        QCOMPARE(client.call("POST", "/api", body).errorType(), 101);
    }

    void answersEachStateParameterOnItsOwn()
    {
        BridgeSimulator sim;
        QVERIFY(sim.start(withUser()));
        Client client(sim);
        const auto put = [&](const QString& light, const QByteArray& body) {
            return client.call("PUT", "/api/tester/lights/" + light + "/state", body);
        };
        QCOMPARE(put("1", R"({"on":true,"bri":255,"sat":255,"hue":65535})").results(),
                 QStringLiteral("bri=254 hue=65535 on=true sat=254"));
        // Invalid values (7) and unknown parameters (6) fail alone; a valid one is applied anyway.
        const Reply invalid = put("1", R"({"bri":0,"hue":70000,"on":"yes","ct":200,"x":1})");
        QCOMPARE(invalid.results(), QStringLiteral("bri!7 ct=200 hue!7 on!7 x!6"));
        QVERIFY(invalid.body.contains(R"("invalid value, 0, for parameter, bri")"));
        QCOMPARE(sim.light("1").value("state")["bri"].toInt(), 254);
        QCOMPARE(put("5", R"({"hue":100,"bri":10})").results(),
                 QStringLiteral("bri=10 hue!6")); // a white light

        // Colour for a light that is off is refused, unless the same body switches it on.
        const Reply off = put("2", R"({"bri":100,"alert":"select"})");
        QCOMPARE(off.results(), QStringLiteral("alert=select bri!201"));
        QVERIFY(off.body.contains(R"("parameter, bri, is not modifiable. Device is set to off.")"));
        sim.setLightReachable("2", false); // unreachable lights still take commands
        QCOMPARE(put("2", R"({"bri":100,"on":true})").results(), QStringLiteral("bri=100 on=true"));
        QCOMPARE(put("9", R"({"on":true})").errorType(), 3);
    }

    void recordsRequestsAndLimitsTheirRate()
    {
        SimOptions options = withUser();
        options.rateLimitPerSecond = 3;
        BridgeSimulator sim;
        QVERIFY(sim.start(options));
        Client client(sim);
        QStringList answers;
        for (int i = 0; i < 4; ++i) {
            const Reply reply = client.call("PUT", "/api/tester/lights/1/state", R"({"on":true})");
            answers << QStringLiteral("%1 %2").arg(reply.status).arg(reply.contentType);
        }
        QCOMPARE(answers.last(), QStringLiteral("503 text/html"));
        QCOMPARE(sim.requests().last().status, 503);
        const QJsonArray listed = client.call("GET", "/sim/requests").json.toArray();
        QCOMPARE(listed.size(), 4); // /sim/ requests are neither recorded nor limited
        QCOMPARE(listed[0]["body"].toString(), QStringLiteral(R"({"on":true})"));
    }

    void injectsEachFaultKind()
    {
        // Kind, how the answer looks, whether the write reached the light.
        for (const auto& [kind, answer, done] : {std::tuple{"rate-limit", "busy html", false},
                                                 {"garbage", "200 not json", true},
                                                 {"slow", "200 json", true},
                                                 {"reset", "cut off", true},
                                                 {"unreachable", "200 json", true}}) {
            BridgeSimulator sim;
            QVERIFY(sim.start(withUser()));
            FaultOptions faults;
            QVERIFY(faults.parseKinds(kind, nullptr));
            faults.probability = 1;
            faults.slowMs = 200;
            sim.setFaults(faults);

            const Reply reply = Client(sim).call("PUT", "/api/tester/lights/1/state", R"({"bri":77})");
            const bool busy =
                (reply.status == 429 || reply.status == 503) && reply.contentType == "text/html";
            const bool json = !QJsonDocument::fromJson(reply.body).isNull();
            QCOMPARE(busy ? QStringLiteral("busy html")
                     : reply.cutOff
                         ? QStringLiteral("cut off")
                         : QStringLiteral("%1 %2").arg(reply.status).arg(json ? "json" : "not json"),
                     QString(answer));
            QCOMPARE(sim.light("1")["state"].toObject()["bri"].toInt() == 77, done);
            QCOMPARE(sim.requests().value(0).fault, QString(kind));
            QCOMPARE(sim.faultsInjected(), (QMap<QString, int>{{kind, 1}}));

            // The light taken away comes back when the fault is switched off.
            const auto away = [&] {
                const QStringList ids = sim.lightIds();
                return std::count_if(ids.cbegin(), ids.cend(), [&](const QString& id) {
                    return !sim.light(id)["state"].toObject()["reachable"].toBool();
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
        QCOMPARE(
            error,
            QStringLiteral("unknown fault \"sleepy\"; known: rate-limit, garbage, slow, reset, unreachable"));
        QCOMPARE(faults.kinds, (QStringList{"garbage", "slow"})); // unchanged by a bad line
    }
};

ORVEL_TEST_MAIN(BridgeSimulatorTest)
#include "bridge_simulator_test.moc"
