#pragma once
// Runs the real `orvel` executable in a home of its own, headless, and collects what it prints.

#include "support/Program.h"
#include "support/SimBridge.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace orvel::test {

// A home directory of its own for the program.
class Home {
public:
    Home()
    {
        QDir().mkpath(path(".config/Orvel"));
        QDir().mkdir(path("runtime"),
                     QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }

    QString path(const char* sub) const { return dir.filePath(QString::fromLatin1(sub)); }
    QByteArray read(const char* sub) const
    {
        QFile file(path(sub));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    // Stores `prefs` and our user name as the preferences.
    void store(QJsonObject prefs) const
    {
        prefs.insert(u"hue_username"_qs, kSimUser);
        QFile file(path(".config/Orvel/preferences.json"));
        if (file.open(QIODevice::WriteOnly))
            file.write(QJsonDocument(prefs).toJson());
    }

    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(u"ORVEL_ASSUME_TRAY"_qs);
        // JACK servers are the tests' own. Discovery and the headline ask a closed loopback port: no
        // test leaves the machine.
        for (const QString& setting :
             {u"QT_QPA_PLATFORM=offscreen"_qs, u"HOME="_qs + dir.path(),
              u"XDG_CONFIG_HOME="_qs + path(".config"), u"XDG_DATA_HOME="_qs + path(".local/share"),
              u"XDG_CACHE_HOME="_qs + path(".cache"), u"XDG_RUNTIME_DIR="_qs + path("runtime"),
              u"ORVEL_MIDI_API=none"_qs, u"JACK_NO_START_SERVER=1"_qs,
              u"ORVEL_DISCOVERY_URL=http://127.0.0.1:9/"_qs, u"ORVEL_NEWS_URL=http://127.0.0.1:9/"_qs})
            env.insert(setting.section(u'=', 0, 0), setting.section(u'=', 1));
        return env;
    }

    QTemporaryDir dir;
};

// The application, pointed at a bridge unless `bridge` is empty.
class Orvel : public Program {
public:
    Orvel(const QProcessEnvironment& env, const QString& bridge, QStringList arguments = {})
        : Program(env, QStringLiteral(ORVEL_EXECUTABLE),
                  bridge.isEmpty() ? arguments : arguments << QStringLiteral("--bridge") << bridge)
    {}

    void waitUntilConnected()
    {
        QTRY_VERIFY2_WITH_TIMEOUT(said(u"lights: ["_qs) || finished(), qPrintable(output), 20000);
        QVERIFY2(!finished(), qPrintable(output));
    }
    // SIGTERM, as the end of a desktop session sends.
    void quit()
    {
        process.terminate();
        QTRY_VERIFY2_WITH_TIMEOUT(finished(), qPrintable(output), 10000);
        QVERIFY2(process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0 && said(u"bai"_qs),
                 qPrintable(output));
    }
    QString jackClient() const
    {
        return QRegularExpression(uR"(open through JACK as "(.*):Orvel")"_qs).match(output).captured(1);
    }
};

} // namespace orvel::test
