#pragma once
// How the process was asked to run, from its argument list.

#include <span>
#include <string_view>

namespace vell::app {

enum class LaunchMode { application, selfTest };

// The self test runs when any argument is exactly "--selftest" (whole string,
// case-sensitive, at any position); every other argument list starts the
// application.
inline LaunchMode launchMode(std::span<const char* const> arguments) {
    for (const char* argument : arguments)
        if (argument && std::string_view(argument) == "--selftest") return LaunchMode::selfTest;
    return LaunchMode::application;
}

}  // namespace vell::app
