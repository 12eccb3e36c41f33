#pragma once
// The program names its images by symbol ("mic", "chevron.up", ...). Each
// symbol has the freedesktop icon a desktop's theme usually ships for it and
// the program's own icon, installed under share/icons/hicolor, so that every
// symbol resolves on any desktop. Backends prefer the theme's icon and fall
// back to the program's own.

#include <array>
#include <string_view>

namespace vell::platform {

struct Symbol {
    std::string_view name;
    std::string_view themeIcon;
    std::string_view ownIcon;
};

inline constexpr std::array<Symbol, 13> symbolTable{{
    {"mic", "audio-input-microphone-symbolic", "vell-mic-symbolic"},
    {"mic.fill", "microphone-sensitivity-high-symbolic", "vell-mic-fill-symbolic"},
    {"ellipsis", "view-more-horizontal-symbolic", "vell-ellipsis-symbolic"},
    {"square.and.pencil", "document-edit-symbolic", "vell-square-and-pencil-symbolic"},
    {"gearshape", "emblem-system-symbolic", "vell-gearshape-symbolic"},
    {"chevron.up", "pan-up-symbolic", "vell-chevron-up-symbolic"},
    {"chevron.down", "pan-down-symbolic", "vell-chevron-down-symbolic"},
    {"checkmark.circle.fill", "emblem-ok-symbolic", "vell-checkmark-circle-fill-symbolic"},
    {"circle", "radio-symbolic", "vell-circle-symbolic"},
    {"exclamationmark.triangle.fill", "dialog-warning-symbolic", "vell-exclamationmark-triangle-fill-symbolic"},
    {"arrow.uturn.backward", "edit-undo-symbolic", "vell-arrow-uturn-backward-symbolic"},
    {"stop.fill", "media-playback-stop-symbolic", "vell-stop-fill-symbolic"},
    {"xmark", "window-close-symbolic", "vell-xmark-symbolic"},
}};

// The symbol of that name; null for a name the program does not know.
inline constexpr const Symbol* findSymbol(std::string_view name) {
    for (const auto& symbol : symbolTable)
        if (symbol.name == name) return &symbol;
    return nullptr;
}

}  // namespace vell::platform
