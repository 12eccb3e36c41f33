#pragma once
// The processes this process started that are still running (WebKit starts
// its web and network processes as children). A test waits for them to end
// before it exits, so nothing writes into its scratch folder afterwards.

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace vell::test {

struct ChildProcess {
    int pid = 0;
    std::string name;  // as the kernel keeps it (at most 15 characters)
};

inline std::vector<ChildProcess> childProcesses() {
    std::vector<ChildProcess> found;
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

// True when every child process ended within the time.
inline bool waitForChildProcessesToEnd(double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!childProcesses().empty()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

}  // namespace vell::test
