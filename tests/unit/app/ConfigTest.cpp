// The deployment lookup rule and the launch-mode rule.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <array>
#include <string>
#include <utility>

#include "app/Config.h"
#include "app/Launch.h"

using nlohmann::json;
using vell::app::Config;
using vell::app::launchMode;
using vell::app::LaunchMode;

// A deployment value is used only when it is a non-empty string, untrimmed.
TEST(ConfigLookupTest, OnlyANonEmptyStringReplacesTheDefault) {
    const std::pair<json, std::string> cases[] = {
        {json{{"key", "http://127.0.0.1:9"}}, "http://127.0.0.1:9"},
        {json{{"key", " http://x "}}, " http://x "},
        {json::object(), "default"},
        {json{{"key", ""}}, "default"},
        {json{{"key", 42}}, "default"},
        {json{{"key", nullptr}}, "default"},
        {json{{"other", "x"}}, "default"},
        {json::array(), "default"},
    };
    for (const auto& [dictionary, expected] : cases)
        EXPECT_EQ(Config::lookup(dictionary, "key", "default"), expected) << dictionary.dump();
}

TEST(LaunchModeTest, SelfTestAnywhereInTheArgumentList) {
    std::array<const char*, 4> args{"vell", "vell://auth", "--selftest", "x"};
    EXPECT_EQ(launchMode(args), LaunchMode::selfTest);
    for (const char* near : {"--selftest2", "--SELFTEST", "-selftest", "--selftest ", ""}) {
        std::array<const char*, 2> other{"vell", near};
        EXPECT_EQ(launchMode(other), LaunchMode::application) << '"' << near << '"';
    }
}
