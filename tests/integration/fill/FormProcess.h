#pragma once
// A program the test started and talks to one line at a time over its standard
// input and output: it says "ready", then answers each command with a line.

#include <gio/gio.h>
#include <signal.h>

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/ChildProcesses.h"
#include "support/Polling.h"

namespace vell::test {

class FormProcess {
public:
    explicit FormProcess(const std::vector<std::string>& argv)
        : child_(argv, static_cast<GSubprocessFlags>(G_SUBPROCESS_FLAGS_STDIN_PIPE | G_SUBPROCESS_FLAGS_STDOUT_PIPE)) {}
    ~FormProcess() { child_.signal(SIGCONT); }  // a stopped program could not end

    pid_t pid() const { return child_.pid(); }
    bool waitReady(double seconds = 30) { return readLine(seconds) == "ready"; }

    // Sends one command line and returns the one-line answer.
    std::optional<std::string> ask(const std::string& command, double seconds = 10) {
        const std::string line = command + "\n";
        if (!g_output_stream_write_all(g_subprocess_get_stdin_pipe(child_.get()), line.data(), line.size(), nullptr,
                                       nullptr, nullptr))
            return std::nullopt;
        return readLine(seconds);
    }
    // The form's inputs by name with their current text.
    nlohmann::json values() {
        const auto line = ask("values");
        return line ? nlohmann::json::parse(*line, nullptr, false) : nlohmann::json();
    }

    // The next line the program prints; nothing after `seconds` or at its end.
    std::optional<std::string> readLine(double seconds) {
        auto* output = G_POLLABLE_INPUT_STREAM(g_subprocess_get_stdout_pipe(child_.get()));
        std::optional<std::string> line;
        waitUntil(
            [&] {
                char chunk[4096];
                gssize read = 0;
                while ((read = g_pollable_input_stream_read_nonblocking(output, chunk, sizeof chunk, nullptr,
                                                                        nullptr)) > 0)
                    buffer_.append(chunk, static_cast<std::size_t>(read));
                if (const auto end = buffer_.find('\n'); end != std::string::npos) {
                    line = buffer_.substr(0, end);
                    buffer_.erase(0, end + 1);
                }
                return line || read == 0;
            },
            seconds);
        return line;
    }

private:
    ChildProcess child_;
    std::string buffer_;
};

}  // namespace vell::test
