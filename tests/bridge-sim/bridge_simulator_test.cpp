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
#include <QTemporaryFile>

using namespace orvel;
using namespace orvel::sim;

namespace {

struct Reply {
    int status = 0;
    QByteArray body;
    QString contentType;
    QNetworkReply::NetworkError failure = QNetworkReply::NoError;
    QJsonValue json() const
    {
        const QJsonDocument doc = QJsonDocument::fromJson(body);
        return doc.isArray() ? QJsonValue(doc.array()) : QJsonValue(doc.object());
    }
    QJsonObject item(int i) const { return json().toArray().at(i).toObject(); }
    QJsonObject error(int i = 0) const { return item(i)[QStringLiteral("error")].toObject(); }
    int errorType(int i = 0) const { return error(i)[QStringLiteral("type")].toInt(); }
    // Results do not come in the order of the request; find one by its address.
    QJsonObject errorAt(const QString& address) const
    {
        for (const QJsonValue& item : json().toArray())
            if (item[QStringLiteral("error")][QStringLiteral("address")].toString() == address)
                return item[QStringLiteral("error")].toObject();
        return {};
    }
};

class Client {
public:
    explicit Client(const BridgeSimulator& sim)
        : sim_(sim)
    {}

    QNetworkReply* send(const QByteArray& method, const QString& path, const QByteArray& body = {},
                        int timeoutMs = 5000)
    {
        QNetworkRequest request(sim_.baseUrl().resolved(QUrl(path)));
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
        request.setTransferTimeout(timeoutMs);
        QNetworkReply* reply = manager_.sendCustomRequest(request, method, body);
        if (!sim_.certificate().isNull())
            reply->ignoreSslErrors({QSslError(QSslError::SelfSignedCertificate, sim_.certificate()),
                                    QSslError(QSslError::HostNameMismatch, sim_.certificate())});
        return reply;
    }

    static Reply finish(QNetworkReply* reply)
    {
        if (!reply->isFinished()) {
            QSignalSpy finished(reply, &QNetworkReply::finished);
            finished.wait(10000);
        }
        Reply result{reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll(),
                     reply->header(QNetworkRequest::ContentTypeHeader).toString(), reply->error()};
        reply->deleteLater();
        return result;
    }

    Reply call(const QByteArray& method, const QString& path, const QByteArray& body = {},
               int timeoutMs = 5000)
    {
        return finish(send(method, path, body, timeoutMs));
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

QJsonValue success(const Reply& reply, const QString& address)
{
    for (const QJsonValue& item : reply.json().toArray()) {
        const QJsonObject entry = item[QStringLiteral("success")].toObject();
        if (entry.contains(address))
            return entry[address];
    }
    return QJsonValue::Undefined;
}

QJsonObject lightState(const BridgeSimulator& sim, const QString& id)
{
    return sim.light(id)[QStringLiteral("state")].toObject();
}

} // namespace

class BridgeSimulatorTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void readsNeedAPairedUserExceptThePublicConfig()
    {
        BridgeSimulator sim;
        QVERIFY(sim.start(withUser()));
        Client client(sim);

        static const QStringList publicKeys{
            "apiversion", "bridgeid", "datastoreversion", "factorynew",   "mac",
            "modelid",    "name",     "replacesbridgeid", "starterkitid", "swversion"};
        for (const QString& path : {QStringLiteral("/api/config"), QStringLiteral("/api/nobody/config")}) {
            const Reply reply = client.call("GET", path);
            QCOMPARE(reply.status, 200);
            QCOMPARE(reply.contentType, QStringLiteral("application/json"));
            QCOMPARE(reply.json().toObject().keys(), publicKeys);
            QCOMPARE(reply.json()[QStringLiteral("bridgeid")].toString(), QStringLiteral("001788FFFE0A0B0C"));
            QVERIFY(reply.json()[QStringLiteral("datastoreversion")].isString());
        }
        const Reply full = client.call("GET", "/api/tester/config");
        QVERIFY(full.json()[QStringLiteral("whitelist")].toObject().contains(QStringLiteral("tester")));
        QCOMPARE(full.json()[QStringLiteral("linkbutton")].toBool(), false);

        Reply denied = client.call("GET", "/api/nobody/lights");
        QCOMPARE(denied.status, 200);
        QCOMPARE(denied.item(0),
                 QJsonDocument::fromJson(
                     R"({"error":{"type":1,"address":"/lights", "description":"unauthorized user"}})")
                     .object());
        QCOMPARE(client.call("GET", "/api/nobody").error()["address"].toString(), QStringLiteral("/"));
        QCOMPARE(client.call("GET", "/api").errorType(), 4);

        const QJsonObject datastore = client.call("GET", "/api/tester").json().toObject();
        for (const char* key : {"lights", "groups", "config", "schedules", "scenes", "sensors", "rules"})
            QVERIFY2(datastore.contains(QLatin1String(key)), key);
        const QJsonObject lights = datastore["lights"].toObject();
        QCOMPARE(lights.keys(), (QStringList{"1", "11", "2", "5"}));
        QVERIFY(
            !lights["11"]["state"].toObject().contains(QStringLiteral("bri"))); // a plug has no brightness
        QVERIFY(!lights["5"]["state"].toObject().contains(QStringLiteral("colormode")));
        QCOMPARE(client.call("GET", "/api/tester/lights/5").json().toObject(), lights["5"].toObject());
        const Reply missing = client.call("GET", "/api/tester/lights/7");
        QCOMPARE(missing.errorType(), 3);
        QCOMPARE(missing.error()["description"].toString(),
                 QStringLiteral("resource, /lights/7, not available"));
    }

    void pairsOnlyWithinThirtySecondsOfAPress()
    {
        ManualClock clock;
        ScopedMainQueue scope(clock);
        BridgeSimulator sim;
        QVERIFY(sim.start(SimOptions{}));
        Client client(sim);
        const QByteArray body = "{\"devicetype\":\"orvel#desk\"}";

        Reply refused = client.call("POST", "/api", body);
        QCOMPARE(
            refused.item(0),
            QJsonDocument::fromJson(
                "{\"error\":{\"type\":101,\"address\":\"\", \"description\":\"link button not pressed\"}}")
                .object());

        QVERIFY(client.call("POST", "/api/", "{\"devicetype\":\"orvel#desk\"").errorType() == 2);
        QCOMPARE(client.call("POST", "/api", "{\"name\":\"x\"}").errorType(), 5);
        QCOMPARE(client.call("POST", "/api", "{\"devicetype\":\"12345678901234567890123456789012345678901\"}")
                     .errorType(),
                 7);

        QVERIFY(client.call("POST", "/sim/linkbutton").item(0).contains(QStringLiteral("success")));
        clock.advance(29);
        const QJsonObject granted =
            client.call("POST", "/api", "{\"devicetype\":\"a#b\",\"generateclientkey\":true}")
                .item(0)["success"]
                .toObject();
        const QString user = granted["username"].toString();
        QVERIFY2(QRegularExpression(QStringLiteral("^[A-Za-z0-9-]{40}$")).match(user).hasMatch(),
                 qPrintable(user));
        QVERIFY(QRegularExpression(QStringLiteral("^[0-9A-F]{32}$"))
                    .match(granted["clientkey"].toString())
                    .hasMatch());
        const QJsonObject second = client.call("POST", "/api", body).item(0)["success"].toObject();
        QVERIFY(!second.contains(QStringLiteral("clientkey")));
        QVERIFY(second["username"].toString() != user);
        QVERIFY(
            client.call("GET", "/api/" + user + "/lights").json().toObject().contains(QStringLiteral("1")));

        clock.advance(2);
        QCOMPARE(client.call("POST", "/api", body).errorType(), 101);
    }

    void validatesEachStateParameterOnItsOwn()
    {
        BridgeSimulator sim;
        QVERIFY(sim.start(withUser()));
        Client client(sim);

        // Light 1 (extended colour) is on.
        Reply reply = client.call("PUT", "/api/tester/lights/1/state",
                                  R"({"on":true,"bri":255,"sat":255,"hue":65535,"xy":[0.3,0.3]})");
        QCOMPARE(reply.json().toArray().size(), 5);
        QCOMPARE(success(reply, "/lights/1/state/on"), QJsonValue(true));
        QCOMPARE(success(reply, "/lights/1/state/bri"), QJsonValue(254));
        QCOMPARE(success(reply, "/lights/1/state/sat"), QJsonValue(254));
        QCOMPARE(success(reply, "/lights/1/state/hue"), QJsonValue(65535));
        const QJsonObject state = sim.light("1")["state"].toObject();
        QCOMPARE(state["bri"].toInt(), 254);
        QCOMPARE(state["colormode"].toString(), QStringLiteral("xy"));

        reply = client.call("PUT", "/api/tester/lights/1/state",
                            R"({"bri":0,"hue":70000,"on":"yes","ct":200,"x":1})");
        QCOMPARE(reply.json().toArray().size(), 5);
        for (const char* key : {"bri", "hue", "on"})
            QCOMPARE(reply.errorAt("/lights/1/state/" + QLatin1String(key))["type"].toInt(), 7);
        QCOMPARE(reply.errorAt("/lights/1/state/bri")["description"].toString(),
                 QStringLiteral("invalid value, 0, for parameter, bri"));
        QCOMPARE(reply.errorAt("/lights/1/state/x")["type"].toInt(), 6);
        QCOMPARE(success(reply, "/lights/1/state/ct"), QJsonValue(200)); // the valid one is applied anyway
        QCOMPARE(lightState(sim, "1")["bri"].toInt(), 254);

        reply = client.call("PUT", "/api/tester/lights/5/state", R"({"hue":100,"bri":10})");
        QCOMPARE(
            reply.errorAt("/lights/5/state/hue"),
            QJsonDocument::fromJson(
                R"({"type":6, "address":"/lights/5/state/hue","description":"parameter, hue, not available"})")
                .object());
        QCOMPARE(success(reply, "/lights/5/state/bri"), QJsonValue(10));
    }

    void refusesColourForALightThatIsOffUnlessTheBodySwitchesItOn()
    {
        BridgeSimulator sim;
        QVERIFY(sim.start(withUser()));
        Client client(sim);
        QCOMPARE(lightState(sim, "2")["on"].toBool(), false);

        Reply reply = client.call("PUT", "/api/tester/lights/2/state", R"({"bri":100,"alert":"select"})");
        QCOMPARE(
            reply.errorAt("/lights/2/state/bri"),
            QJsonDocument::fromJson(
                R"({"type":201, "address":"/lights/2/state/bri", "description":"parameter, bri, is not modifiable. Device is set to off."})")
                .object());
        QCOMPARE(success(reply, "/lights/2/state/alert"), QJsonValue("select"));
        QCOMPARE(lightState(sim, "2")["bri"].toInt(), 254);

        sim.setLightReachable("2", false); // unreachable lights still take commands
        reply = client.call("PUT", "/api/tester/lights/2/state", R"({"bri":100,"on":true})");
        QCOMPARE(success(reply, "/lights/2/state/bri"), QJsonValue(100));
        QCOMPARE(success(reply, "/lights/2/state/on"), QJsonValue(true));
        QCOMPARE(client.call("PUT", "/api/tester/lights/9/state", R"({"on":true})").errorType(), 3);
    }

    void recordsRequestsAndLimitsTheirRate()
    {
        SimOptions options = withUser();
        options.rateLimitPerSecond = 3;
        BridgeSimulator sim;
        QVERIFY(sim.start(options));
        Client client(sim);
        QSignalSpy received(&sim, &BridgeSimulator::requestReceived);

        QList<QNetworkReply*> replies;
        for (int i = 0; i < 5; ++i)
            replies << client.send("PUT", "/api/tester/lights/1/state", R"({"on":true})");
        int refused = 0;
        for (QNetworkReply* pending : replies) {
            const Reply reply = Client::finish(pending);
            if (reply.status == 503) {
                ++refused;
                QCOMPARE(reply.contentType, QStringLiteral("text/html"));
            } else {
                QCOMPARE(reply.status, 200);
            }
        }
        QCOMPARE(refused, 2);
        QCOMPARE(received.count(), 5);

        const QList<RecordedRequest> recorded = sim.requests();
        QCOMPARE(recorded.size(), 5);
        QCOMPARE(recorded[0].method, QStringLiteral("PUT"));
        QCOMPARE(recorded[0].path, QStringLiteral("/api/tester/lights/1/state"));
        QCOMPARE(recorded[0].body, QByteArray(R"({"on":true})"));
        QVERIFY(recorded[4].time >= recorded[0].time);
        const QJsonArray listed = client.call("GET", "/sim/requests").json().toArray();
        QCOMPARE(listed.size(), 5); // /sim/ requests are neither recorded nor limited
        QCOMPARE(listed[0]["method"].toString(), QStringLiteral("PUT"));
    }

    void servesHttpsWithTheBridgeIdAsCommonName()
    {
        SimOptions options;
        options.https = true;
        options.bridgeId = QStringLiteral("001788fffe4a1b2c");
        BridgeSimulator sim;
        QString error;
        QVERIFY2(sim.start(options, &error), qPrintable(error));
        QCOMPARE(sim.baseUrl().scheme(), QStringLiteral("https"));
        QCOMPARE(sim.certificate().subjectInfo(QSslCertificate::CommonName), QStringList{"001788fffe4a1b2c"});
        QCOMPARE(sim.certificate().subjectInfo(QSslCertificate::Organization), QStringList{"Philips Hue"});
        Client client(sim);
        const Reply reply = client.call("GET", "/api/config");
        QCOMPARE(reply.failure, QNetworkReply::NoError);
        QCOMPARE(reply.json()["bridgeid"].toString(), QStringLiteral("001788FFFE4A1B2C"));
    }

    void canMisbehaveOnRequest()
    {
        BridgeSimulator sim;
        QVERIFY(sim.start(withUser()));
        Client client(sim);
        sim.setRawAnswer("/api/tester/lights", 200, "{not json", "application/json");
        QCOMPARE(client.call("GET", "/api/tester/lights").body, QByteArray("{not json"));
        sim.setRawAnswer("/api/tester/lights", 0, {}, {});
        QVERIFY(client.call("GET", "/api/tester/lights").json().toObject().contains(QStringLiteral("1")));

        sim.setSilent(true);
        QCOMPARE(client.call("GET", "/api/config", {}, 300).failure, QNetworkReply::OperationCanceledError);
    }

    void rejectsABrokenLightsFile()
    {
        QTemporaryFile file;
        QVERIFY(file.open());
        file.write(R"({"1": {"name": "Desk", "type": "Dimmable light"}})");
        file.close();
        SimOptions options;
        options.lightsFile = file.fileName();
        BridgeSimulator sim;
        QString error;
        QVERIFY(!sim.start(options, &error));
        QVERIFY2(error.contains(file.fileName()) && error.contains(QLatin1String("\"state\"")),
                 qPrintable(error));
    }
};

ORVEL_TEST_MAIN(BridgeSimulatorTest)
#include "bridge_simulator_test.moc"
