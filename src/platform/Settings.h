#pragma once
// The person's own settings, kept across runs (on Linux a key file in
// $XDG_CONFIG_HOME/vell/).

#include <string>

namespace vell::platform {

class Settings {
public:
    virtual ~Settings() = default;
    virtual bool boolean(const std::string& key, bool fallback) const = 0;
    // Written through at once.
    virtual void setBoolean(const std::string& key, bool value) = 0;
};

}  // namespace vell::platform
