#pragma once
// The two parts of a web address the panel's rules look at: its scheme and
// its host. Both come back in lower case; absent when the address has none.

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
    // True when both addresses have a host and it is the same.
    static bool sameHost(const std::optional<std::string>& a, const std::optional<std::string>& b);
};

}  // namespace vell::session
