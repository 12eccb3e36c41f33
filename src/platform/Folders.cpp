#include "platform/Folders.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>

namespace vell::platform::folders {

namespace {

std::filesystem::path absoluteVariable(const char* name) {
    const char* value = std::getenv(name);
    return value && value[0] == '/' ? std::filesystem::path(value) : std::filesystem::path();
}

std::filesystem::path xdg(const char* name, const char* fallbackUnderHome) {
    auto chosen = absoluteVariable(name);
    return chosen.empty() ? home() / fallbackUnderHome : chosen;
}

}  // namespace

std::filesystem::path executable() {
    std::error_code error;
    auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : path;
}

std::filesystem::path home() {
    if (const char* value = std::getenv("HOME"); value && *value) return value;
    if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir) return entry->pw_dir;
    return "/";
}

std::filesystem::path dataHome() { return xdg("XDG_DATA_HOME", ".local/share"); }
std::filesystem::path configHome() { return xdg("XDG_CONFIG_HOME", ".config"); }
std::filesystem::path cacheHome() { return xdg("XDG_CACHE_HOME", ".cache"); }
std::filesystem::path runtime() { return absoluteVariable("XDG_RUNTIME_DIR"); }

}  // namespace vell::platform::folders
