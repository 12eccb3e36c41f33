#pragma once
// Splitting one fuzz input into the parts a parser takes, and the one way a
// target reports a broken rule (libFuzzer keeps the input that did it).

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace vell::fuzz {

class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : rest_(reinterpret_cast<const char*>(data), size) {}

    // The next two bytes as a number, big-endian; 0 once the input runs out.
    int twoBytes() {
        int value = 0;
        for (int i = 0; i < 2; ++i) value = value << 8 | static_cast<unsigned char>(byte());
        return value;
    }
    // The next byte; 0 once the input runs out.
    char byte() {
        if (rest_.empty()) return 0;
        char c = rest_.front();
        rest_.remove_prefix(1);
        return c;
    }
    // The text up to the next newline (which is dropped), or all that is left.
    std::string line() {
        auto end = rest_.find('\n');
        std::string text(rest_.substr(0, end));
        rest_.remove_prefix(end == std::string_view::npos ? rest_.size() : end + 1);
        return text;
    }
    std::string rest() {
        std::string text(rest_);
        rest_ = {};
        return text;
    }

private:
    std::string_view rest_;
};

// Stops the run when a rule the parser promises does not hold.
inline void require(bool holds, const char* rule) {
    if (holds) return;
    std::fprintf(stderr, "broken rule: %s\n", rule);
    std::abort();
}

}  // namespace vell::fuzz
