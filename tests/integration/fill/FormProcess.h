#pragma once
// Runs the GTK form fixture in its own process and talks to it over its
// standard input and output: waits for "ready", asks for its values.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

extern char** environ;

namespace vell::test {

class FormProcess {
public:
    explicit FormProcess(std::vector<std::string> args) {
        int toChild[2], fromChild[2];
        if (pipe(toChild) != 0 || pipe(fromChild) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
        posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
        posix_spawn_file_actions_addclose(&actions, toChild[1]);
        posix_spawn_file_actions_addclose(&actions, fromChild[0]);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(toChild[0]);
        close(fromChild[1]);
        input_ = toChild[1];
        output_ = fromChild[0];
    }
    ~FormProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGCONT);
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (input_ >= 0) close(input_);
        if (output_ >= 0) close(output_);
    }
    FormProcess(const FormProcess&) = delete;
    FormProcess& operator=(const FormProcess&) = delete;

    pid_t pid() const { return pid_; }

    // The next line the fixture prints, or nothing after the time-out.
    std::optional<std::string> readLine(double timeoutSeconds) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
        for (;;) {
            if (auto end = buffer_.find('\n'); end != std::string::npos) {
                std::string line = buffer_.substr(0, end);
                buffer_.erase(0, end + 1);
                return line;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return std::nullopt;
            pollfd fd{output_, POLLIN, 0};
            if (poll(&fd, 1, static_cast<int>(left.count())) <= 0) continue;
            char chunk[4096];
            const ssize_t n = read(output_, chunk, sizeof chunk);
            if (n <= 0) return std::nullopt;
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    // Polls `done` every 0.2 s until it holds or the time is up.
    template <typename Done>
    static bool eventually(Done done, double timeoutSeconds = 20) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
        while (!done()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            ::usleep(200'000);
        }
        return true;
    }

    bool waitReady(double timeoutSeconds = 30) {
        auto line = readLine(timeoutSeconds);
        return line && *line == "ready";
    }

    // Sends one command line and returns the fixture's one-line answer.
    std::optional<std::string> ask(const std::string& command, double timeoutSeconds = 10) {
        const std::string line = command + "\n";
        if (write(input_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return std::nullopt;
        return readLine(timeoutSeconds);
    }

    // The fixture's inputs by name with their current text.
    nlohmann::json values(double timeoutSeconds = 10) {
        const std::string command = "values\n";
        if (write(input_, command.data(), command.size()) != static_cast<ssize_t>(command.size())) return {};
        auto line = readLine(timeoutSeconds);
        if (!line) return {};
        return nlohmann::json::parse(*line, nullptr, false);
    }

private:
    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    std::string buffer_;
};

}  // namespace vell::test
