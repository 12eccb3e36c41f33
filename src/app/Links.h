#pragma once
// The program's own links, read from their text: vell://auth#… hands over a
// sign-in, vell://debug/token?… and vell://debug/fill?… ask for a diagnostic
// report. Pure functions; anything malformed reads as no link at all.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace vell::app::links {

// A link split into its parts, still percent-encoded. Absent query or
// fragment means the link has no "?" or "#".
struct Parts {
    std::string scheme;
    std::string host;
    std::string path;
    std::optional<std::string> query;
    std::optional<std::string> fragment;
};
// Absent when the text is not a link (no scheme, spaces or control characters).
std::optional<Parts> split(std::string_view text);

// Decodes every %XY escape ("+" stays a plus sign); absent when an escape is
// malformed or the result is not UTF-8.
std::optional<std::string> percentDecoded(std::string_view text);

// vell://auth: a session handed over by the web application.
struct SignIn {
    std::string accessToken;
    std::string refreshToken;
    std::optional<double> expiresAt;
    std::optional<std::string> email;
    bool operator==(const SignIn&) const = default;
};
// vell://debug/token
struct TokenReport {
    std::string out;
    bool operator==(const TokenReport&) const = default;
};
// vell://debug/fill
struct FillReport {
    std::int32_t pid = 0;
    std::string transcript;
    std::string out;
    bool operator==(const FillReport&) const = default;
};
using Link = std::variant<SignIn, TokenReport, FillReport>;

// What the text asks for; absent for anything else, incomplete or malformed.
std::optional<Link> read(std::string_view text);

// The sign-in carried by an auth link's fragment, whatever its host.
std::optional<SignIn> signIn(const Parts& parts);
// The command of a debug link, whatever its host.
std::optional<Link> debugCommand(const Parts& parts);

}  // namespace vell::app::links
