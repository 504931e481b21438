#include "support/JackSupport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QStandardPaths>
#include <QTest>

namespace orvel::test {

bool jackServerReachable()
{
    try {
        std::string error;
        RtMidiOut probe(RtMidi::UNIX_JACK, "orvel-test-probe");
        probe.setErrorCallback(
            [](RtMidiError::Type type, const std::string& text, void* error) {
                if (type != RtMidiError::DEBUG_WARNING)
                    *static_cast<std::string*>(error) = text;
            },
            &error);
        probe.getPortCount(); // "server not running" arrives through the callback
        return error.empty();
    } catch (const RtMidiError&) {
        return false;
    }
}

JackServer::~JackServer()
{
    if (!own_)
        return;
    own_->terminate();
    if (!own_->waitForFinished(5000))
        own_->kill();
    own_->waitForFinished(1000);
}

QString JackServer::ensureRunning()
{
    const bool privateServer =
        qEnvironmentVariable("JACK_DEFAULT_SERVER").startsWith(QStringLiteral("orvel-"));
    const QString jackd = QStandardPaths::findExecutable(QStringLiteral("jackd"));
    if ((privateServer || jackd.isEmpty()) && jackServerReachable())
        return {};
    if (jackd.isEmpty())
        return QStringLiteral("no JACK server is running and jackd is not installed (Debian package jackd2)");

    // -S and a 1024-frame period keep the dummy backend from missing cycles on a busy machine,
    // which makes the server drop or repeat MIDI events.
    const QString name = QStringLiteral("orvel-test-%1").arg(QCoreApplication::applicationPid());
    own_ = std::make_unique<QProcess>();
    qputenv("JACK_NO_AUDIO_RESERVATION", "1");
    own_->setProcessChannelMode(QProcess::MergedChannels);
    own_->start(jackd, QStringLiteral("-n %1 -S -r -d dummy -r 48000 -p 1024").arg(name).split(' '));
    if (!own_->waitForStarted())
        return QStringLiteral("jackd could not be started: ") + own_->errorString();
    qputenv("JACK_DEFAULT_SERVER", name.toUtf8());

    const auto up = [&] { return own_->state() != QProcess::Running || jackServerReachable(); };
    if (QTest::qWaitFor(up, 10000) && own_->state() == QProcess::Running)
        return {};
    return QStringLiteral("jackd did not come up: ") + QString::fromLocal8Bit(own_->readAll());
}

int findMidiPort(RtMidi& port, const std::string& part)
{
    for (unsigned int i = 0; i < port.getPortCount(); ++i) {
        if (port.getPortName(i).find(part) != std::string::npos)
            return static_cast<int>(i);
    }
    return -1;
}

bool sendUntil(RtMidiOut& out, const std::vector<unsigned char>& message,
               const std::function<bool()>& arrived, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        out.sendMessage(&message);
        if (QTest::qWaitFor(arrived, 50))
            return true;
    }
    return arrived();
}

} // namespace orvel::test
