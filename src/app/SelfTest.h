#pragma once
// The command-line self test: prints a report on standard output and returns
// the process's exit status (0 when every check passed, 1 otherwise).

#include <ostream>
#include <string>
#include <string_view>

namespace vell::app {

class SelfTest {
public:
    explicit SelfTest(std::ostream& out) : out_(out) {}

    int run();

    // One check line; a failure raises the counter.
    void check(std::string_view label, bool ok, std::string_view detail);
    // One information line, indented to the width of "PASS  ".
    void info(std::string_view label, std::string_view text);
    int failures() const { return failures_; }

private:
    std::ostream& out_;
    int failures_ = 0;
};

}  // namespace vell::app
