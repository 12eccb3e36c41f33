#pragma once
// The program names its symbols once ("mic", "stop.fill", …); this table maps
// each to the freedesktop icon theme's name for the same picture.

#include <array>
#include <string_view>
#include <utility>

namespace vell::platform {

inline constexpr std::array<std::pair<std::string_view, std::string_view>, 13> symbolTable{{
    {"mic", "audio-input-microphone-symbolic"},
    {"mic.fill", "audio-input-microphone-symbolic"},
    {"ellipsis", "view-more-horizontal-symbolic"},
    {"square.and.pencil", "document-edit-symbolic"},
    {"gearshape", "emblem-system-symbolic"},
    {"chevron.up", "pan-up-symbolic"},
    {"chevron.down", "pan-down-symbolic"},
    {"checkmark.circle.fill", "emblem-ok-symbolic"},
    {"circle", "radio-symbolic"},
    {"exclamationmark.triangle.fill", "dialog-warning-symbolic"},
    {"arrow.uturn.backward", "edit-undo-symbolic"},
    {"stop.fill", "media-playback-stop-symbolic"},
    {"xmark", "window-close-symbolic"},
}};

// The icon name for `symbol`; an unknown symbol is passed through unchanged.
constexpr std::string_view iconName(std::string_view symbol) {
    for (const auto& [name, icon] : symbolTable)
        if (name == symbol) return icon;
    return symbol;
}

}  // namespace vell::platform
