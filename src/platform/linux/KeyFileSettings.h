#pragma once
// Settings in a GLib key file ($XDG_CONFIG_HOME/vell/settings.ini), one group
// "settings" with the keys as given.
// Implements: booleans, read at creation, each change written to disk at once.
// Does not: notice changes another process makes to the file while we run.

#include <glib.h>

#include <filesystem>
#include <memory>

#include "platform/Settings.h"

namespace vell::platform {

class KeyFileSettings final : public Settings {
public:
    // The file under the user's configuration folder.
    KeyFileSettings();
    explicit KeyFileSettings(std::filesystem::path file);

    bool boolean(const std::string& key, bool fallback) const override;
    void setBoolean(const std::string& key, bool value) override;

private:
    struct Free {
        void operator()(GKeyFile* file) const { g_key_file_free(file); }
    };
    std::filesystem::path file_;
    std::unique_ptr<GKeyFile, Free> keys_;
};

}  // namespace vell::platform
