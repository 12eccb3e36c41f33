// `vell --selftest` run as a person runs it, in a session with a tray host:
// its whole report and exit status, with the hotkey free or held by another
// program, a deployment file without anon key, and a sign-in without address.

#include <gtest/gtest.h>

#include "TrayHosts.h"
#include "X11Keys.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Report {
    std::string output;
    int status = -1;
};

// Runs the program with extra environment entries ("NAME=value", no spaces or quotes).
Report selfTest(const std::vector<std::string>& environment = {}) {
    std::string command = "env";
    for (const auto& entry : environment) command += " " + entry;
    Report report;
    FILE* out = popen((command + " " VELL_PROGRAM " --selftest").c_str(), "r");
    char buffer[4096];
    for (std::size_t n; out && (n = fread(buffer, 1, sizeof buffer, out)) > 0;) report.output.append(buffer, n);
    const int status = out ? pclose(out) : -1;
    if (status != -1 && WIFEXITED(status)) report.status = WEXITSTATUS(status);
    return report;
}

fs::path scratch(const std::string& name) {
    const char* session = std::getenv("VELL_SESSION_DIR");
    fs::path dir = fs::path(session ? session : "/tmp") / name;
    fs::create_directories(dir);
    return dir;
}

struct SelfTestProcessTest : ::testing::Test {
    vell::test::StatusNotifierWatcherHost watcher;
};

TEST_F(SelfTestProcessTest, AllChecksPassWithATrayHostAndAFreeHotkey) {
    ASSERT_TRUE(watcher.owned());
    const Report run = selfTest();
    EXPECT_EQ(run.output,
              "Vell for Linux \u2014 self test\n"
              "\n"
              "PASS  API base is set  \u2014 http://127.0.0.1:8765\n"
              "PASS  Supabase URL is set  \u2014 http://127.0.0.1:8765\n"
              "PASS  Supabase anon key is baked in  \u2014 present\n"
              "PASS  status item has a button\n"
              "PASS  microphone glyph resolves  \u2014 icon theme 'audio-input-microphone-symbolic'\n"
              "PASS  Ctrl+Alt+Space is available  \u2014 registered\n"
              "      microphone: granted\n"
              "      accessibility: granted for this terminal \u2014 the app's own state is in the panel checklist\n"
              "      input monitoring: not required \u2014 the hotkey is registered with the window server\n"
              "      account: not signed in \u2014 open http://127.0.0.1:8765/app#/desktop and press Connect\n"
              "\n"
              "All checks passed.\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(watcher.registered().size(), 1u);
    vell::test::X11Keys keys;
    EXPECT_TRUE(keys.allLockStatesFree(XK_space)) << "the grab ends with the report";
}

// One thing wrong at a time: the line that reports it, the summary and the status.
TEST_F(SelfTestProcessTest, EachProblemIsReportedOnItsLine) {
    vell::test::X11Keys rival;
    const fs::path info = scratch("info") / "info.json";
    std::ofstream(info) << R"({"VellAPIBase": "http://127.0.0.1:8765", "VellSupabaseAnonKey": ""})";
    const fs::path data = scratch("data");
    fs::create_directories(data / "Vell");
    std::ofstream(data / "Vell" / "session.json") << "{}";

    struct Row {
        std::vector<std::string> environment;
        bool holdHotkey;
        const char* line;
        const char* summary;
        int status;
    };
    const Row rows[] = {
        {{},
         true,
         "FAIL  Ctrl+Alt+Space is available  \u2014 another app already owns it\n",
         "1 check(s) failed.\n",
         1},
        {{"VELL_INFO_FILE=" + info.string()},
         false,
         "FAIL  Supabase anon key is baked in  \u2014 sign-in and token refresh will fail\n",
         "1 check(s) failed.\n",
         1},
        {{"XDG_DATA_HOME=" + data.string()},
         false,
         "      signed in as: (unknown address)\n"
         "      token: held by the panel's web session \u2014 verify live with vell://debug/token (needs the debug "
         "flag file)\n",
         "All checks passed.\n",
         0},
    };
    for (const auto& row : rows) {
        if (row.holdHotkey) {
            ASSERT_TRUE(rival.grab(XK_space));
        }
        const Report run = selfTest(row.environment);
        if (row.holdHotkey) rival.ungrab(XK_space);
        EXPECT_NE(run.output.find(row.line), std::string::npos) << run.output;
        EXPECT_TRUE(run.output.ends_with(std::string("\n") + row.summary)) << run.output;
        EXPECT_EQ(run.status, row.status);
    }
}

}  // namespace
