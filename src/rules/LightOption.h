#pragma once

#include <QHashFunctions>
#include <QString>

#include <cstdint>

namespace orvel {

// One entry of a rule's light picker: a light's position in the bridge's list and the text shown.
// Identity is the position alone, so an option keeps its identity when its light becomes
// unreachable and its name gains the suffix.
struct LightOption {
    quint64 id = 0;
    QString name;

    friend bool operator==(const LightOption& a, const LightOption& b) { return a.id == b.id; }
};

inline size_t qHash(const LightOption& option, size_t seed = 0)
{
    return ::qHash(option.id, seed);
}

} // namespace orvel

template <> struct std::hash<orvel::LightOption> {
    size_t operator()(const orvel::LightOption& option) const noexcept
    {
        return std::hash<quint64>()(option.id);
    }
};
