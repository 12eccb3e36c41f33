#include "app/Config.h"

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <system_error>

#include "platform/Folders.h"

namespace vell::app {
namespace {

const nlohmann::json& deploymentDictionary() {
    static const nlohmann::json dictionary = [] {
        std::ifstream in(Config::deploymentFile(), std::ios::binary);
        if (!in) return nlohmann::json::object();
        std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        return Config::dictionary(content);
    }();
    return dictionary;
}

}  // namespace

std::filesystem::path Config::deploymentFile() {
    if (const char* chosen = std::getenv("VELL_INFO_FILE"); chosen && *chosen) return chosen;
    auto exe = platform::folders::executable();
    if (exe.empty()) return "share/vell/info.json";
    return exe.parent_path().parent_path() / "share" / "vell" / "info.json";
}

nlohmann::json Config::dictionary(std::string_view content) {
    auto parsed = nlohmann::json::parse(content, nullptr, /*allow_exceptions=*/false);
    return parsed.is_object() ? parsed : nlohmann::json::object();
}

std::string Config::lookup(const nlohmann::json& dictionary, std::string_view key, std::string_view fallback) {
    if (dictionary.is_object()) {
        auto it = dictionary.find(key);
        if (it != dictionary.end() && it->is_string() && !it->get_ref<const std::string&>().empty())
            return it->get<std::string>();
    }
    return std::string(fallback);
}

std::string Config::info(std::string_view key, std::string_view fallback) {
    return lookup(deploymentDictionary(), key, fallback);
}

const std::string& Config::apiBase() {
    static const std::string value = info("VellAPIBase", defaultAPIBase);
    return value;
}

const std::string& Config::supabaseURL() {
    static const std::string value = info("VellSupabaseURL", defaultSupabaseURL);
    return value;
}

const std::string& Config::supabaseAnonKey() {
    static const std::string value = info("VellSupabaseAnonKey", "");
    return value;
}

}  // namespace vell::app
