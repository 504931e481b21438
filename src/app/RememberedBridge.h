#pragma once

#include <QString>

namespace orvel {

// The bridge address the user gave by hand (--bridge or the Bridge window). Discovery misses
// bridges on another subnet or without the vendor's cloud, so once a manual address has been
// connected to it is tried first at every start, with discovery still running beside it.
class RememberedBridge {
public:
    RememberedBridge() = delete;

    static constexpr char kKey[] = "bridge_address";

    // The stored address in the client's form; empty when none is stored or the stored value is
    // not a plain host with an optional port (said on the console, and the value is kept).
    static QString load();
    // Stores `host` (already normalised) unless it is stored already.
    static void store(const QString& host);
};

} // namespace orvel
