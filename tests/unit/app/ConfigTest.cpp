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

TEST(ConfigLookupTest, PresentNonEmptyStringWins) {
    EXPECT_EQ(Config::lookup(json{{"VellAPIBase", "http://127.0.0.1:9"}}, "VellAPIBase", "d"), "http://127.0.0.1:9");
}

TEST(ConfigLookupTest, EverythingElseFallsBack) {
    EXPECT_EQ(Config::lookup(json::object(), "VellAPIBase", "d"), "d");                          // absent
    EXPECT_EQ(Config::lookup(json{{"VellAPIBase", ""}}, "VellAPIBase", "d"), "d");               // empty
    EXPECT_EQ(Config::lookup(json{{"VellSupabaseURL", 42}}, "VellSupabaseURL", "d"), "d");       // a number
    EXPECT_EQ(Config::lookup(json{{"VellSupabaseURL", true}}, "VellSupabaseURL", "d"), "d");     // a boolean
    EXPECT_EQ(Config::lookup(json{{"VellSupabaseURL", nullptr}}, "VellSupabaseURL", "d"), "d");  // null
    EXPECT_EQ(Config::lookup(json{{"VellAPIBase", json::array({"x"})}}, "VellAPIBase", "d"), "d");
    EXPECT_EQ(Config::lookup(json::array(), "VellAPIBase", "d"), "d");  // not a dictionary
}

TEST(ConfigLookupTest, NoTrimmingOneSpaceCountsAsSet) {
    EXPECT_EQ(Config::lookup(json{{"VellSupabaseAnonKey", " "}}, "VellSupabaseAnonKey", ""), " ");
    EXPECT_EQ(Config::lookup(json{{"VellAPIBase", " http://x "}}, "VellAPIBase", "d"), " http://x ");
}

TEST(ConfigLookupTest, AbsentAnonKeyIsEmpty) {
    EXPECT_EQ(Config::lookup(json::object(), "VellSupabaseAnonKey", ""), "");
}

TEST(LaunchModeTest, SelfTestAnywhereInTheArgumentList) {
    std::array<const char*, 4> args{"vell", "vell://auth", "--selftest", "x"};
    EXPECT_EQ(launchMode(args), LaunchMode::selfTest);
}

TEST(LaunchModeTest, OnlyTheExactArgumentCounts) {
    for (const char* near : {"--selftest2", "--SELFTEST", "--SelfTest", "-selftest", "--selftest ", "selftest", ""}) {
        std::array<const char*, 2> args{"vell", near};
        EXPECT_EQ(launchMode(args), LaunchMode::application) << '"' << near << '"';
    }
    std::array<const char*, 1> none{"vell"};
    EXPECT_EQ(launchMode(none), LaunchMode::application);
}
