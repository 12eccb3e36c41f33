#pragma once
// User-facing texts are written once, in the words of the original Mac
// program. Where a text names a key, a settings place or the Mac itself, this
// table swaps in what a person on this platform presses, opens or owns.
// Nothing else is reworded.

#include <array>
#include <string>
#include <string_view>
#include <utility>

namespace vell::platform {

// Longer names come first so that a place is replaced before any shorter
// place it begins with.
inline constexpr std::array<std::pair<std::string_view, std::string_view>, 11> platformTextTable{{
    {"System Settings › Privacy & Security › Accessibility", "Settings › Accessibility"},
    {"System Settings › Privacy & Security › Microphone", "Settings › Privacy › Microphone"},
    {"System Settings › Privacy & Security", "Settings › Privacy"},
    {"System Settings › Privacy", "Settings › Privacy"},
    {"System Settings", "Settings"},
    {"⌃⌥Space", "Ctrl+Alt+Space"},
    {"⌘V", "Ctrl+V"},
    {"Vell for Mac", "Vell for Linux"},
    {"SF Symbols 'mic'", "icon theme 'audio-input-microphone-symbolic'"},
    {"macOS will ask", "the system will ask"},
    {"this Mac", "this computer"},
}};

// `text` with every key, settings place and machine name of the table in this platform's words.
inline std::string platformText(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    std::size_t at = 0;
    while (at < text.size()) {
        bool replaced = false;
        for (const auto& [mac, here] : platformTextTable) {
            if (text.substr(at, mac.size()) == mac) {
                result += here;
                at += mac.size();
                replaced = true;
                break;
            }
        }
        if (!replaced) result += text[at++];
    }
    return result;
}

}  // namespace vell::platform
