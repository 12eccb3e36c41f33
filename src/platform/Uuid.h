#pragma once
// A random (version 4) UUID, compared by value, written in upper-case
// canonical form ("1B4E28BA-2FA1-11D2-883F-0016D3CCA427").

#include <array>
#include <string>

namespace vell::platform {

struct Uuid {
    std::array<unsigned char, 16> bytes{};

    static Uuid random();
    std::string text() const;
    bool operator==(const Uuid&) const = default;
};

}  // namespace vell::platform
