#pragma once
// The parts of a web address the panel's rules look at: its scheme, its host
// and its origin. Scheme and host come back in lower case; absent when the
// address has none.

#include <optional>
#include <string>
#include <string_view>

namespace vell::session {

struct WebAddress {
    // "https" for "https://a.example/x"; absent for text that is no address.
    static std::optional<std::string> scheme(std::string_view address);
    // "a.example" for "https://user@A.example:8443/x"; absent for
    // "about:blank", "data:…", "vell:x" or text that is no address.
    static std::optional<std::string> host(std::string_view address);
    // Scheme, host and port, the port filled in for http(s) and ws(s) when the
    // address leaves it out; -1 for other schemes without one.
    struct Origin {
        std::string scheme;
        std::string host;
        int port = -1;
        bool operator==(const Origin&) const = default;
    };
    // Absent for an address without a host or with a port that is no number.
    static std::optional<Origin> origin(std::string_view address);
    // True when both addresses have an origin and it is the same: another
    // port of the same host, or http against https, is another origin.
    static bool sameOrigin(std::string_view a, std::string_view b);
};

}  // namespace vell::session
