#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace tallyvox {

// A random (version 4) identifier for transcript lines.
class Uuid {
public:
    Uuid() = default; // the nil identifier
    static Uuid random();
    std::string toString() const; // upper-case, 8-4-4-4-12
    bool operator==(const Uuid&) const = default;
    auto operator<=>(const Uuid&) const = default;

private:
    std::array<std::uint8_t, 16> bytes_{};
};

} // namespace tallyvox
