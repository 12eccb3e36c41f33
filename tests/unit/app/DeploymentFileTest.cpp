// The process-wide settings come from the deployment file, read once.
// The file is chosen before the first read, so this binary owns its process.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>
#include <vector>

#include "app/Config.h"

using vell::app::Config;

namespace {

class DeploymentFileTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        file_ = std::filesystem::temp_directory_path() / ("vell-info-" + std::to_string(::getpid()) + ".json");
        std::ofstream(file_) << R"({"VellAPIBase": "", "VellSupabaseURL": 5432, "Other": " "})";
        ::setenv("VELL_INFO_FILE", file_.c_str(), 1);
    }
    static void TearDownTestSuite() { std::filesystem::remove(file_); }
    static inline std::filesystem::path file_;
};

TEST_F(DeploymentFileTest, UnusableValuesFallBackToTheBuiltInDefaults) {
    EXPECT_EQ(Config::apiBase(), Config::defaultAPIBase);          // empty string
    EXPECT_EQ(Config::supabaseURL(), Config::defaultSupabaseURL);  // a number
    EXPECT_EQ(Config::supabaseAnonKey(), "");                      // absent
    EXPECT_EQ(Config::info("Other", "fallback"), " ");
}

TEST_F(DeploymentFileTest, ValuesAreReadOnceAndSharedAcrossThreads) {
    std::vector<std::thread> readers;
    std::vector<const std::string*> seen(8);
    for (std::size_t i = 0; i < seen.size(); ++i) readers.emplace_back([&, i] { seen[i] = &Config::apiBase(); });
    for (auto& reader : readers) reader.join();
    EXPECT_EQ(std::set<const std::string*>(seen.begin(), seen.end()).size(), 1u);

    // A later change of the file does not reach this process.
    std::ofstream(file_) << R"({"VellAPIBase": "http://changed"})";
    EXPECT_EQ(Config::apiBase(), Config::defaultAPIBase);
    EXPECT_EQ(Config::info("VellAPIBase", "d"), "d");
}

}  // namespace
