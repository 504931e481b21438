#include "controller/bridge/HttpHueBridge.h"

#include "platform/Console.h"

#include <QJsonArray>
#include <QSysInfo>

namespace orvel {

namespace {

void printBridge(const detail::BridgeSession& session, const QString& what, const QString& text)
{
    printLine(QStringLiteral("Hue bridge at %1: %2: %3").arg(session.link->host(), what, text));
}

void printErrors(const detail::BridgeSession& session, const QString& what,
                 const QList<hue::BridgeError>& errors)
{
    for (const hue::BridgeError& error : errors)
        printBridge(session, what, hue::describe(error));
}

// Parses a 2xx answer, printing what is wrong with it. Transport failures were printed by the link.
std::optional<QJsonDocument> answerOf(const detail::BridgeSession& session, const QString& what,
                                      const LinkReply& reply)
{
    if (!reply.ok)
        return std::nullopt;
    QString problem;
    auto document = hue::parseAnswer(reply.body, &problem);
    if (!document)
        printBridge(session, what, QStringLiteral("the bridge sent ") + problem);
    return document;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// HttpHueLight

HttpHueLight::HttpHueLight(std::shared_ptr<detail::BridgeSession> session, hue::LightState state)
    : session_(std::move(session))
    , state_(std::move(state))
{}

void HttpHueLight::refresh(const hue::LightState& state)
{
    const QString id = state_.id;
    state_ = state;
    state_.id = id;
}

void HttpHueLight::send(LinkRequest request)
{
    if (session_->username.isEmpty()) {
        printBridge(*session_, request.what, QStringLiteral("not paired yet"));
        return;
    }
    request.path =
        QStringList{QStringLiteral("api"), session_->username, QStringLiteral("lights"), state_.id} +
        request.path;
    request.lane = QStringLiteral("light ") + state_.id;
    session_->link->send(std::move(request));
}

void HttpHueLight::read()
{
    const QString what = QStringLiteral("read of light ") + state_.id;
    LinkRequest request;
    request.what = what;
    request.done = [self = shared_from_this(), what](const LinkReply& reply) {
        const auto answer = answerOf(*self->session_, what, reply);
        if (!answer)
            return;
        if (answer->isObject())
            self->refresh(hue::parseLight(self->state_.id, answer->object()));
        else if (const auto errors = hue::errorsIn(*answer); !errors.isEmpty())
            printErrors(*self->session_, what, errors);
        else
            printBridge(*self->session_, what, QStringLiteral("the bridge sent a list, not a light"));
    };
    send(std::move(request));
}

void HttpHueLight::write()
{
    // A light is sent only the state it reports: colour for a white lamp, or anything beyond the
    // flag for a plug, would only earn an error from the bridge at every switch.
    if (!state_.hue)
        staged_.hue.reset();
    if (!state_.saturation)
        staged_.saturation.reset();
    if (!state_.brightness)
        staged_.brightness.reset();
    if (staged_.isEmpty())
        return;
    LinkRequest request;
    request.method = QByteArrayLiteral("PUT");
    request.path = {QStringLiteral("state")};
    request.body = hue::stateBody(staged_);
    request.what = QStringLiteral("write of light ") + state_.id;
    request.done = [self = shared_from_this(), what = request.what](const LinkReply& reply) {
        self->applyWriteAnswer(what, reply);
    };
    staged_ = {};
    send(std::move(request));
}

void HttpHueLight::applyWriteAnswer(const QString& what, const LinkReply& reply)
{
    const auto answer = answerOf(*session_, what, reply);
    if (!answer)
        return;
    if (!answer->isArray()) {
        printBridge(*session_, what, QStringLiteral("the bridge sent an object, not a list of results"));
        return;
    }
    // Take what the bridge says it stored, so the light shows it without another read.
    const QString prefix = QStringLiteral("/lights/%1/state/").arg(state_.id);
    QJsonObject stored;
    const QJsonArray entries = answer->array();
    for (const auto& entry : entries) {
        const QJsonObject success = entry.toObject().value(QStringLiteral("success")).toObject();
        for (auto it = success.constBegin(); it != success.constEnd(); ++it) {
            if (it.key().startsWith(prefix))
                stored.insert(it.key().mid(prefix.size()), it.value());
        }
    }
    hue::mergeStateFields(state_, stored);
    printErrors(*session_, what, hue::errorsIn(*answer));
}

// ---------------------------------------------------------------------------------------------
// HttpHueBridge

struct HttpHueBridge::Read {
    ReadCompletion done;
    int pending = 0;
    LinkReply config;
    LinkReply lights;
    bool withUser = false;
};

std::shared_ptr<HttpHueBridge> HttpHueBridge::create(const QString& host, const QString& username,
                                                     const BridgeClientOptions& options)
{
    return std::make_shared<HttpHueBridge>(Token{}, host, username, options);
}

HttpHueBridge::HttpHueBridge(Token, const QString& host, const QString& username,
                             const BridgeClientOptions& options)
    : session_(std::make_shared<detail::BridgeSession>(
          detail::BridgeSession{BridgeLink::create(host, options), username}))
{}

void HttpHueBridge::readWithCompletion(ReadCompletion done)
{
    auto read = std::make_shared<Read>();
    read->done = std::move(done);
    read->withUser = !session_->username.isEmpty();
    read->pending = read->withUser ? 2 : 1;

    // Without a user name only the public configuration can be read: "/api/" with an empty name
    // would address the bridge's root instead.
    LinkRequest config;
    config.path = read->withUser
                      ? QStringList{QStringLiteral("api"), session_->username, QStringLiteral("config")}
                      : QStringList{QStringLiteral("api"), QStringLiteral("config")};
    config.lane = QStringLiteral("config");
    config.what = QStringLiteral("read of the configuration");
    // Each part keeps its reply; the last one to come in finishes the read.
    const auto keepIn = [this, read](LinkReply Read::*part) {
        return [self = shared_from_this(), read, part](const LinkReply& reply) {
            (*read).*part = reply;
            if (--read->pending == 0)
                self->finishRead(read);
        };
    };
    config.done = keepIn(&Read::config);
    session_->link->send(std::move(config));

    if (!read->withUser)
        return;
    LinkRequest lights;
    lights.path = {QStringLiteral("api"), session_->username, QStringLiteral("lights")};
    lights.lane = QStringLiteral("lights");
    lights.what = QStringLiteral("read of the lights");
    lights.done = keepIn(&Read::lights);
    session_->link->send(std::move(lights));
}

void HttpHueBridge::finishRead(const std::shared_ptr<Read>& read)
{
    QString error;
    const QString configWhat = QStringLiteral("read of the configuration");
    if (const auto config = answerOf(*session_, configWhat, read->config)) {
        const QJsonValue name = config->object().value(QStringLiteral("name"));
        if (name.isString())
            name_ = name.toString();
        else if (const auto errors = hue::errorsIn(*config); !errors.isEmpty())
            printErrors(*session_, configWhat, errors);
    } else {
        error = read->config.ok ? QStringLiteral("malformed configuration") : read->config.error;
    }

    authenticated_ = false;
    if (!read->withUser) {
        if (error.isEmpty())
            error = QStringLiteral("no user name");
    } else if (!read->lights.ok) {
        error = read->lights.error;
    } else {
        const QString what = QStringLiteral("read of the lights");
        const hue::LightsAnswer answer = hue::parseLightsAnswer(read->lights.body);
        switch (answer.kind) {
        case hue::LightsAnswer::Kind::Lights:
            authenticated_ = true;
            takeLights(answer.lights);
            break;
        case hue::LightsAnswer::Kind::Unauthorized:
            error = QStringLiteral("unauthorized user");
            printBridge(*session_, what, QStringLiteral("the bridge does not know the user name"));
            break;
        case hue::LightsAnswer::Kind::Errors:
            error = hue::describe(answer.errors.first());
            printErrors(*session_, what, answer.errors);
            break;
        case hue::LightsAnswer::Kind::Malformed:
            error = answer.problem;
            printBridge(*session_, what, QStringLiteral("the bridge sent ") + answer.problem);
            break;
        }
    }
    if (read->done)
        read->done(*this, error);
}

void HttpHueBridge::takeLights(const std::vector<hue::LightState>& states)
{
    HueLightList list;
    std::map<QString, std::shared_ptr<HttpHueLight>> byId;
    list.reserve(states.size());
    for (const hue::LightState& state : states) {
        std::shared_ptr<HttpHueLight> light;
        if (const auto known = byId_.find(state.id); known != byId_.end()) {
            light = known->second;
            light->refresh(state);
        } else {
            light = std::make_shared<HttpHueLight>(session_, state);
        }
        byId.emplace(state.id, light);
        list.push_back(light);
    }
    byId_ = std::move(byId);
    lights_ = std::move(list);
}

void HttpHueBridge::registerUsername()
{
    // Every granted request adds an entry to the bridge's whitelist; one at a time is enough.
    if (registering_)
        return;
    registering_ = true;

    QJsonObject body;
    body.insert(QStringLiteral("devicetype"), hue::deviceType(QSysInfo::machineHostName()));
    LinkRequest request;
    request.method = QByteArrayLiteral("POST");
    request.path = {QStringLiteral("api")};
    request.body = QJsonDocument(body).toJson(QJsonDocument::Compact);
    request.lane = QStringLiteral("register");
    request.what = QStringLiteral("pairing request");
    request.done = [self = shared_from_this(), what = request.what](const LinkReply& reply) {
        self->registering_ = false;
        const auto answer = answerOf(*self->session_, what, reply);
        if (!answer)
            return;
        if (!answer->isArray()) {
            printBridge(*self->session_, what, QStringLiteral("the bridge sent an object, not a list"));
            return;
        }
        const QJsonArray entries = answer->array();
        for (const auto& entry : entries) {
            const QJsonValue username = entry.toObject()
                                            .value(QStringLiteral("success"))
                                            .toObject()
                                            .value(QStringLiteral("username"));
            if (username.isString() && !username.toString().isEmpty()) {
                self->session_->username = username.toString();
                return;
            }
        }
        QList<hue::BridgeError> errors = hue::errorsIn(*answer);
        if (errors.isEmpty())
            printBridge(*self->session_, what, QStringLiteral("the bridge sent no user name"));
        // 101 is the normal answer until the link button is pressed.
        errors.removeIf([](const hue::BridgeError& e) { return e.type == hue::kLinkButtonNotPressed; });
        printErrors(*self->session_, what, errors);
    };
    session_->link->send(std::move(request));
}

} // namespace orvel
