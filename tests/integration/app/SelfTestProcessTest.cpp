// `vell --selftest` run as a person runs it, in a session with a tray host:
// its whole report and exit status, with the hotkey free or held by another
// program, a deployment file without anon key, and a sign-in without address.

#include <gtest/gtest.h>

#include "TrayHosts.h"
#include "X11Keys.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Report {
    std::string output;
    int status = -1;
};

// Runs the program with the extra environment entries; its standard output and exit status.
Report selfTest(const std::vector<std::string>& environment = {}) {
    std::vector<char*> env;
    for (const auto& entry : environment) env.push_back(const_cast<char*>(entry.c_str()));
    for (char** entry = environ; *entry; ++entry) env.push_back(*entry);
    env.push_back(nullptr);
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    char* argv[] = {const_cast<char*>(VELL_PROGRAM), const_cast<char*>("--selftest"), nullptr};
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, VELL_PROGRAM, &actions, nullptr, argv, env.data());
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    Report run;
    char buffer[4096];
    for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;) run.output.append(buffer, n);
    close(pipeFds[0]);
    int status = 0;
    if (spawned == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) run.status = WEXITSTATUS(status);
    return run;
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
