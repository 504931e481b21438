#pragma once

#include <QProcess>
#include <QString>

#include <RtMidi.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace orvel::test {

// True when a JACK client can be opened on the server this process would use.
bool jackServerReachable();

// A JACK server for one test program. scripts/with-jack.sh runs the suite beside a private server
// (named "orvel-..."); that one is used. Otherwise a private dummy server is started here, so that
// a test never reaches a user's session (where a real Orvel might switch real lights). Only when
// jackd is missing is whatever server runs used.
class JackServer {
public:
    ~JackServer();
    // Empty when a server is ready; otherwise why not, for QSKIP.
    QString ensureRunning();

private:
    std::unique_ptr<QProcess> own_;
};

// The first port of `port`'s list whose name contains `part`, or -1.
int findMidiPort(RtMidi& port, const std::string& part);

// Sends `message` every 50 ms until `arrived()` holds or `timeoutMs` passes; returns whether it
// arrived. JACK puts a new connection into effect a process cycle or more after it is made and
// drops what is sent before, so the first message after connecting must be repeated until seen.
bool sendUntil(RtMidiOut& out, const std::vector<unsigned char>& message,
               const std::function<bool()>& arrived, int timeoutMs = 10000);

} // namespace orvel::test
