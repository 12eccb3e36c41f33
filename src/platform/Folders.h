#pragma once
// Where the program and the person's files are: the program's own file and the
// XDG base folders. One place for these lookups, so every module agrees.

#include <filesystem>

namespace vell::platform::folders {

// The running program's own file; empty when it cannot be told.
std::filesystem::path executable();

// The person's home folder: $HOME, else the password database's entry.
std::filesystem::path home();

// XDG base folders. A variable counts only when it holds an absolute path (the
// XDG rules say relative ones are invalid); otherwise the usual place under home.
std::filesystem::path dataHome();    // $XDG_DATA_HOME, else ~/.local/share
std::filesystem::path configHome();  // $XDG_CONFIG_HOME, else ~/.config
std::filesystem::path cacheHome();   // $XDG_CACHE_HOME, else ~/.cache
std::filesystem::path runtime();     // $XDG_RUNTIME_DIR, else empty

}  // namespace vell::platform::folders
