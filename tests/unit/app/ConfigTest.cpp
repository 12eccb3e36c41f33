// The deployment lookup rule and the launch-mode rule.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <array>

#include "app/Config.h"
#include "app/Launch.h"

using nlohmann::json;
using vell::app::Config;
using vell::app::launchMode;
using vell::app::LaunchMode;

// A present string, even one space, is used as it is; anything else falls back.
TEST(ConfigLookupTest, OnlyAPresentNonEmptyStringIsUsedUntrimmed) {
    const std::pair<json, const char*> rows[] = {
        {json{{"k", "http://127.0.0.1:9"}}, "http://127.0.0.1:9"},
        {json{{"k", " http://x "}}, " http://x "},
        {json{{"k", " "}}, " "},
        {json::object(), "d"},
        {json{{"k", ""}}, "d"},
        {json{{"k", 42}}, "d"},
        {json{{"k", nullptr}}, "d"},
        {json{{"k", json::array({"x"})}}, "d"},
        {json::array(), "d"},  // not a dictionary
    };
    for (const auto& [info, expected] : rows) EXPECT_EQ(Config::lookup(info, "k", "d"), expected) << info.dump();
}

TEST(LaunchModeTest, OnlyTheExactSelfTestArgumentAnywhereCounts) {
    std::array<const char*, 4> args{"vell", "vell://auth", "--selftest", "x"};
    EXPECT_EQ(launchMode(args), LaunchMode::selfTest);
    for (const char* near : {"--selftest2", "--SELFTEST", "-selftest", "--selftest ", ""}) {
        std::array<const char*, 2> other{"vell", near};
        EXPECT_EQ(launchMode(other), LaunchMode::application) << '"' << near << '"';
    }
}
