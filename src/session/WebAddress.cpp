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

namespace {

// The host and the text after it ("" or ":port") of an address's authority.
struct Authority {
    std::string_view host;
    std::string_view portPart;
};

std::optional<Authority> authorityOf(std::string_view address, std::size_t schemeLength) {
    std::string_view rest = address.substr(schemeLength + 1);
    if (rest.substr(0, 2) != "//") return std::nullopt;
    rest.remove_prefix(2);
    std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
    if (std::size_t at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);

    Authority parts;
    if (!authority.empty() && authority.front() == '[') {
        std::size_t close = authority.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        parts.host = authority.substr(1, close - 1);
        parts.portPart = authority.substr(close + 1);
    } else {
        const std::size_t colon = authority.find(':');
        parts.host = authority.substr(0, colon);
        if (colon != std::string_view::npos) parts.portPart = authority.substr(colon);
    }
    if (parts.host.empty()) return std::nullopt;
    return parts;
}

int defaultPort(const std::string& scheme) {
    if (scheme == "http" || scheme == "ws") return 80;
    if (scheme == "https" || scheme == "wss") return 443;
    return -1;
}

}  // namespace

std::optional<std::string> WebAddress::host(std::string_view address) {
    auto name = scheme(address);
    if (!name) return std::nullopt;
    auto authority = authorityOf(address, name->size());
    if (!authority) return std::nullopt;
    return lower(authority->host);
}

std::optional<WebAddress::Origin> WebAddress::origin(std::string_view address) {
    auto name = scheme(address);
    if (!name) return std::nullopt;
    auto authority = authorityOf(address, name->size());
    if (!authority) return std::nullopt;
    Origin result{*name, lower(authority->host), defaultPort(*name)};
    std::string_view port = authority->portPart;
    if (port.empty() || port == ":") return result;
    if (port.front() != ':' || port.size() > 6) return std::nullopt;
    int number = 0;
    for (char c : port.substr(1)) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
        number = number * 10 + (c - '0');
    }
    if (number > 65535) return std::nullopt;
    result.port = number;
    return result;
}

bool WebAddress::sameOrigin(std::string_view a, std::string_view b) {
    auto first = origin(a);
    auto second = origin(b);
    return first && second && *first == *second;
}

}  // namespace vell::session
