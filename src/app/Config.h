#pragma once
// Deployment settings, read from the JSON deployment file installed with the
// program (bin/../share/vell/info.json; VELL_INFO_FILE names another one).
// Each value is read once, on first use, and kept for the life of the process.

#include <nlohmann/json_fwd.hpp>

#include <filesystem>
#include <string>
#include <string_view>

namespace vell::app {

class Config {
public:
    // Built-in defaults of this deployment.
    static constexpr std::string_view defaultAPIBase = "https://app.vell.so";
    static constexpr std::string_view defaultSupabaseURL = "https://vell.supabase.co";

    // The value under `key` in the process's deployment file when it is a
    // non-empty string (one space counts as set), otherwise `fallback`.
    static std::string info(std::string_view key, std::string_view fallback);

    // The dictionary a deployment file's content holds: an empty one for
    // anything but a JSON object.
    static nlohmann::json dictionary(std::string_view content);

    // The same rule over a given dictionary.
    static std::string lookup(const nlohmann::json& dictionary, std::string_view key, std::string_view fallback);

    static const std::string& apiBase();
    static const std::string& supabaseURL();
    static const std::string& supabaseAnonKey();

    // Where the deployment file is looked for.
    static std::filesystem::path deploymentFile();
};

}  // namespace vell::app
