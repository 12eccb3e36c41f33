#include "app/Links.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <map>

namespace vell::app::links {
namespace {

bool isSchemeCharacter(char c, bool first) {
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (first) return letter;
    return letter || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        int extra = lead < 0x80 ? 0 : (lead >> 5) == 0x6 ? 1 : (lead >> 4) == 0xE ? 2 : (lead >> 3) == 0x1E ? 3 : -1;
        if (extra < 0 || lead == 0xC0 || lead == 0xC1 || lead > 0xF4) return false;
        if (static_cast<std::size_t>(extra) >= text.size() - i) return false;
        for (int k = 1; k <= extra; ++k)
            if ((static_cast<unsigned char>(text[i + k]) >> 6) != 0x2) return false;
        i += static_cast<std::size_t>(extra) + 1;
    }
    return true;
}

// Pieces of `text` between `separator`s, empty ones dropped.
template <typename Each>
void forEachPiece(std::string_view text, char separator, Each each) {
    while (!text.empty()) {
        const auto end = text.find(separator);
        const auto piece = text.substr(0, end);
        if (!piece.empty()) each(piece);
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
}

std::optional<double> decimalNumber(const std::string& text) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text.front()))) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || errno == ERANGE) return std::nullopt;
    return value;
}

std::optional<std::int32_t> processId(const std::string& text) {
    std::size_t digits = (!text.empty() && (text[0] == '+' || text[0] == '-')) ? 1 : 0;
    if (digits == text.size() || text.size() - digits > 11) return std::nullopt;
    for (std::size_t i = digits; i < text.size(); ++i)
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
    const long long value = std::strtoll(text.c_str(), nullptr, 10);
    if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max())
        return std::nullopt;
    return static_cast<std::int32_t>(value);
}

}  // namespace

std::optional<Parts> split(std::string_view text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) return std::nullopt;
    const auto colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0) return std::nullopt;
    for (std::size_t i = 0; i < colon; ++i)
        if (!isSchemeCharacter(text[i], i == 0)) return std::nullopt;

    Parts parts;
    parts.scheme = text.substr(0, colon);
    std::string_view rest = text.substr(colon + 1);
    if (auto hash = rest.find('#'); hash != std::string_view::npos) {
        parts.fragment = std::string(rest.substr(hash + 1));
        rest = rest.substr(0, hash);
    }
    if (auto question = rest.find('?'); question != std::string_view::npos) {
        parts.query = std::string(rest.substr(question + 1));
        rest = rest.substr(0, question);
    }
    if (rest.starts_with("//")) {
        rest.remove_prefix(2);
        const auto slash = rest.find('/');
        std::string_view authority = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
        if (auto at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);
        if (auto port = authority.rfind(':'); port != std::string_view::npos) authority = authority.substr(0, port);
        parts.host = authority;
    }
    parts.path = rest;
    return parts;
}

std::optional<std::string> percentDecoded(std::string_view text) {
    std::string decoded;
    decoded.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            decoded += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        const int high = hexValue(text[i + 1]), low = hexValue(text[i + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        decoded += static_cast<char>(high * 16 + low);
        i += 2;
    }
    if (!isUtf8(decoded)) return std::nullopt;
    return decoded;
}

std::optional<SignIn> signIn(const Parts& parts) {
    const std::string fragment = parts.fragment ? percentDecoded(*parts.fragment).value_or("") : "";
    std::map<std::string, std::string, std::less<>> parameters;
    forEachPiece(fragment, '&', [&](std::string_view piece) {
        const auto nameStart = piece.find_first_not_of('=');
        if (nameStart == std::string_view::npos) return;
        piece.remove_prefix(nameStart);
        const auto equals = piece.find('=');
        if (equals == std::string_view::npos || equals + 1 == piece.size()) return;
        const auto value = piece.substr(equals + 1);
        parameters.insert_or_assign(std::string(piece.substr(0, equals)),
                                    percentDecoded(value).value_or(std::string(value)));
    });

    auto access = parameters.find("access_token"), refresh = parameters.find("refresh_token");
    if (access == parameters.end() || refresh == parameters.end()) return std::nullopt;
    SignIn result{access->second, refresh->second, std::nullopt, std::nullopt};
    if (auto expiry = parameters.find("expires_at"); expiry != parameters.end())
        result.expiresAt = decimalNumber(expiry->second);
    if (auto email = parameters.find("email"); email != parameters.end()) result.email = email->second;
    return result;
}

std::optional<Link> debugCommand(const Parts& parts) {
    // The query items that have a value; a name given twice makes the whole link unreadable.
    std::map<std::string, std::string, std::less<>> items;
    bool readable = true;
    forEachPiece(parts.query.value_or(""), '&', [&](std::string_view item) {
        const auto equals = item.find('=');
        if (equals == std::string_view::npos) return;
        auto name = percentDecoded(item.substr(0, equals));
        auto value = percentDecoded(item.substr(equals + 1));
        if (!name || !value || !items.emplace(std::move(*name), std::move(*value)).second) readable = false;
    });
    const auto path = percentDecoded(parts.path);
    if (!readable || !path) return std::nullopt;

    auto out = items.find("out");
    if (out == items.end()) return std::nullopt;
    if (*path == "/token") return TokenReport{out->second};
    if (*path == "/fill") {
        auto pid = items.find("pid"), transcript = items.find("transcript");
        if (pid == items.end() || transcript == items.end()) return std::nullopt;
        auto number = processId(pid->second);
        if (!number) return std::nullopt;
        return FillReport{*number, transcript->second, out->second};
    }
    return std::nullopt;
}

std::optional<Link> read(std::string_view text) {
    auto parts = split(text);
    if (!parts) return std::nullopt;
    if (parts->host == "auth") {
        if (auto session = signIn(*parts)) return *session;
        return std::nullopt;
    }
    if (parts->host == "debug") return debugCommand(*parts);
    return std::nullopt;
}

}  // namespace vell::app::links
