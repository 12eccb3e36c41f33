// The deployment file: any bytes, looked up for every key the program reads.
#include <nlohmann/json.hpp>

#include "FuzzInput.h"
#include "app/Config.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using vell::app::Config;
    const auto dictionary = Config::dictionary(std::string_view(reinterpret_cast<const char*>(data), size));
    vell::fuzz::require(dictionary.is_object(), "the dictionary is always an object");
    for (const char* key : {"VellAPIBase", "VellSupabaseURL", "VellSupabaseAnonKey"}) {
        const auto value = Config::lookup(dictionary, key, "fallback");
        vell::fuzz::require(!value.empty(), "a value is never empty");
    }
    return 0;
}
