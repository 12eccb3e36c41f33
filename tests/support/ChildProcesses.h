#pragma once
// Other programs a test runs: one started by the test (asked to end when its
// owner goes), and the processes this process started that still run (WebKit
// starts its web and network processes as children; a test waits for them to
// end before it exits, so nothing writes into its scratch folder afterwards).

#include <gio/gio.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace vell::test {

class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string>& argv, GSubprocessFlags flags = G_SUBPROCESS_FLAGS_NONE) {
        std::vector<const gchar*> args;
        for (const auto& arg : argv) args.push_back(arg.c_str());
        args.push_back(nullptr);
        GError* error = nullptr;
        process_.reset(g_subprocess_newv(args.data(), flags, &error));
        if (!process_) {
            const std::string message = error->message;
            g_error_free(error);
            throw std::runtime_error("cannot start " + argv.front() + ": " + message);
        }
    }
    ~ChildProcess() {
        if (!exited()) g_subprocess_send_signal(process_.get(), SIGTERM);
        g_subprocess_wait(process_.get(), nullptr, nullptr);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const {
        const char* id = g_subprocess_get_identifier(process_.get());
        return id ? std::stoi(id) : -1;
    }
    // Waits for the end; the exit status, or -1 when it did not exit by itself.
    int wait() {
        g_subprocess_wait(process_.get(), nullptr, nullptr);
        return g_subprocess_get_if_exited(process_.get()) ? g_subprocess_get_exit_status(process_.get()) : -1;
    }
    bool exited() const {
        // The identifier is gone once the process has been reaped.
        return g_subprocess_get_identifier(process_.get()) == nullptr;
    }
    bool succeeded() const { return exited() && g_subprocess_get_successful(process_.get()); }
    void signal(int number) { g_subprocess_send_signal(process_.get(), number); }
    GSubprocess* get() const { return process_.get(); }

private:
    std::unique_ptr<GSubprocess, decltype(&g_object_unref)> process_{nullptr, g_object_unref};
};

struct RunningChild {
    int pid = 0;
    std::string name;  // as the kernel keeps it (at most 15 characters)
};

// This process's children that have not ended.
inline std::vector<RunningChild> childProcesses() {
    std::vector<RunningChild> found;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        const std::string pid = entry.path().filename();
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream stat(entry.path() / "stat");
        std::string text((std::istreambuf_iterator<char>(stat)), {});
        auto open = text.find('('), close = text.rfind(')');
        if (open == std::string::npos || close == std::string::npos || close + 2 > text.size()) continue;
        std::istringstream rest(text.substr(close + 2));
        char state = 0;
        int parent = 0;
        rest >> state >> parent;
        if (parent == ::getpid() && state != 'Z')
            found.push_back({std::stoi(pid), text.substr(open + 1, close - open - 1)});
    }
    return found;
}

}  // namespace vell::test
