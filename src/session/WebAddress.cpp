#include "session/WebAddress.h"

#include <algorithm>
#include <cctype>

namespace vell::session {

namespace {

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

}  // namespace

std::optional<std::string> WebAddress::scheme(std::string_view address) {
    std::size_t colon = address.find(':');
    if (colon == std::string_view::npos || colon == 0) return std::nullopt;
    if (!std::isalpha(static_cast<unsigned char>(address[0]))) return std::nullopt;
    for (std::size_t i = 1; i < colon; ++i) {
        unsigned char c = address[i];
        if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return std::nullopt;
    }
    return lower(address.substr(0, colon));
}

std::optional<std::string> WebAddress::host(std::string_view address) {
    auto name = scheme(address);
    if (!name) return std::nullopt;
    std::string_view rest = address.substr(name->size() + 1);
    if (rest.substr(0, 2) != "//") return std::nullopt;
    rest.remove_prefix(2);
    std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
    if (std::size_t at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);

    std::string_view hostPart;
    if (!authority.empty() && authority.front() == '[') {
        std::size_t close = authority.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        hostPart = authority.substr(1, close - 1);
    } else {
        hostPart = authority.substr(0, authority.find(':'));
    }
    if (hostPart.empty()) return std::nullopt;
    return lower(hostPart);
}

bool WebAddress::sameHost(const std::optional<std::string>& a, const std::optional<std::string>& b) {
    return a && b && *a == *b;
}

}  // namespace vell::session
