#pragma once
// Runs another program beside a test and collects what it prints.

#include <QFile>
#include <QObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

namespace orvel::test {

// One run of a program, its output collected.
class Program {
public:
    Program(const QProcessEnvironment& env, const QString& executable, const QStringList& arguments)
    {
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::MergedChannels);
        QObject::connect(&process, &QProcess::readyRead,
                         [this] { output += QString::fromUtf8(process.readAll()); });
        process.start(executable, arguments);
    }
    ~Program()
    {
        process.kill();
        process.waitForFinished(5000);
    }

    // Writes one line to its standard input.
    void send(const QString& line) { process.write((line + QLatin1Char('\n')).toUtf8()); }
    // Whether a line of the output starts with `start`.
    bool said(const QString& start) const { return (u"\n"_qs + output).contains(u"\n"_qs + start); }
    bool finished() const { return process.state() == QProcess::NotRunning; }

    QProcess process;
    QString output;
};

// Resident memory of a process (this one unless `pid` is given), from /proc; -1 when unknown.
inline long residentKiB(const QString& pid = QStringLiteral("self"))
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    const QByteArray text = status.open(QIODevice::ReadOnly) ? status.readAll() : QByteArray();
    const qsizetype at = text.indexOf("VmRSS:");
    return at < 0 ? -1
                  : text.mid(at + 6, text.indexOf('\n', at) - at - 6).trimmed().split(' ').value(0).toLong();
}

} // namespace orvel::test
