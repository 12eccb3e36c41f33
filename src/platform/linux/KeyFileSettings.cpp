#include "platform/linux/KeyFileSettings.h"

#include <system_error>

#include "platform/Folders.h"

namespace vell::platform {

namespace {
constexpr const char* group = "settings";
}

KeyFileSettings::KeyFileSettings() : KeyFileSettings(folders::configHome() / "vell" / "settings.ini") {}

KeyFileSettings::KeyFileSettings(std::filesystem::path file) : file_(std::move(file)), keys_(g_key_file_new()) {
    // A missing or unreadable file is an empty one: every key takes its fallback.
    g_key_file_load_from_file(keys_.get(), file_.c_str(), G_KEY_FILE_KEEP_COMMENTS, nullptr);
}

bool KeyFileSettings::boolean(const std::string& key, bool fallback) const {
    g_autoptr(GError) error = nullptr;
    const gboolean value = g_key_file_get_boolean(keys_.get(), group, key.c_str(), &error);
    return error ? fallback : value;
}

void KeyFileSettings::setBoolean(const std::string& key, bool value) {
    g_key_file_set_boolean(keys_.get(), group, key.c_str(), value);
    // A setting that cannot be written lasts for this run only.
    std::error_code ignored;
    std::filesystem::create_directories(file_.parent_path(), ignored);
    g_key_file_save_to_file(keys_.get(), file_.c_str(), nullptr);
}

}  // namespace vell::platform
