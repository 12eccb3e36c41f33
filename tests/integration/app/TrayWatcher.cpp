// A tray host for tests of the program as a process: owns the
// StatusNotifierWatcher on the session bus, prints the bus name of the first
// item that registers, and runs until it is killed.
#include <gtest/gtest.h>  // TrayHosts.h comes after it

#include <chrono>
#include <cstdio>
#include <thread>

#include "TrayHosts.h"

int main() {
    vell::test::StatusNotifierWatcherHost watcher;
    if (!watcher.owned()) return 1;
    std::printf("watching\n");
    std::fflush(stdout);
    for (;;) {
        if (auto items = watcher.registered(); !items.empty()) {
            std::printf("registered %s\n", items.front().c_str());
            std::fflush(stdout);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(60));
}
