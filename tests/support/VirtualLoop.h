#pragma once
// A main loop on a virtual clock. Nothing runs until the test says so:
// runUntilIdle() runs everything due now, advance(s) moves the clock forward
// and fires each timer at its own instant, in order. Background work runs on
// the test's thread as a posted job, so flows are deterministic.

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <tuple>

#include "platform/MainLoop.h"

namespace vell::test {

class VirtualLoop final : public platform::MainLoop {
public:
    void post(std::function<void()> fn) override;
    Timer after(double seconds, std::function<void()> fn) override;
    Timer every(double seconds, std::function<void()> fn) override;
    void background(std::function<void()> work) override;
    double now() const override { return static_cast<double>(nowMicros_) / 1e6; }

    // Runs every job due at the current instant, including those they post.
    void runUntilIdle();
    // Moves the clock forward by `seconds`, running each job at its instant.
    void advance(double seconds);
    // Number of jobs still scheduled (posted or timed, not cancelled).
    std::size_t pending() const;
    // How many jobs were handed to background().
    int backgroundJobs() const { return backgroundJobs_; }

private:
    struct Job {
        std::function<void()> fn;
        std::shared_ptr<std::atomic<bool>> cancelled;
        std::int64_t periodMicros = 0;
    };
    using Key = std::tuple<std::int64_t, std::uint64_t>;  // due time, order of scheduling

    void schedule(std::int64_t dueMicros, Job job);
    bool runNextDue(std::int64_t limitMicros);

    mutable std::mutex mutex_;
    std::map<Key, Job> jobs_;
    std::int64_t nowMicros_ = 0;
    std::uint64_t sequence_ = 0;
    int backgroundJobs_ = 0;
};

}  // namespace vell::test
