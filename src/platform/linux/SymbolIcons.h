#pragma once
// Symbol names (platform/Symbols.h) resolved to icon names on this desktop.
//
// Implements: the current GTK icon theme's icon when it has one, the
// program's own icon (share/icons beside the executable, added to the theme's
// search path) otherwise.
// Does not implement: pixel data for hosts that cannot read icon files.

#include <filesystem>
#include <string>
#include <string_view>

namespace vell::platform {

// Where the program's own icons are (bin/../share/icons, as installed).
std::filesystem::path ownIconDirectory();

// The icon name that shows `symbol` here; empty for a symbol the program does
// not know or whose icons are both missing.
std::string symbolIconName(std::string_view symbol);

}  // namespace vell::platform
