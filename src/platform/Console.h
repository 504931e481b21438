#pragma once

#include <QString>
#include <QStringList>

namespace orvel {

// Prints one line to standard output and flushes it, so that lines keep their order with the log
// and survive a crash. Every diagnostic of the program goes through here.
void printLine(const QString& line);

// Collects the lines printed while it lives (they are still written to standard output), so tests
// can look at what the program said.
class ConsoleCapture {
public:
    ConsoleCapture();
    ~ConsoleCapture();
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    const QStringList& lines() const { return lines_; }
    bool contains(const QString& line) const { return lines_.contains(line); }
    void clear() { lines_.clear(); }

private:
    friend void printLine(const QString& line);
    QStringList lines_;
    ConsoleCapture* previous_;
};

} // namespace orvel
