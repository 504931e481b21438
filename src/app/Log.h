#pragma once

#include <QString>

namespace orvel {

// Echoes `message` to standard output and appends "timestamp: message\n" to swift_log.txt in the
// application's per-user data directory. Never truncates the file; a failure costs only this line.
void writeLog(const QString& message);

// Where writeLog appends ("" when the platform reports no data directory).
QString logFilePath();

// The timestamp form of the log: UTC, milliseconds, "Z" (2026-12-05T01:16:37.123Z).
QString logTimestamp();

} // namespace orvel
