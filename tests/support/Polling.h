#pragma once
// Waiting in real time for something another thread or process does.

#include <chrono>
#include <functional>
#include <thread>

namespace vell::test {

// Looks at `done` until it holds or `seconds` have passed; `between` runs
// between two looks (a turn of a main loop), else the thread sleeps 5 ms.
inline bool waitUntil(const std::function<bool()>& done, double seconds = 20,
                      const std::function<void()>& between = {}) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        if (between)
            between();
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace vell::test
