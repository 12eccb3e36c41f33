#include "VirtualLoop.h"

#include <cmath>

namespace vell::test {
namespace {
std::int64_t toMicros(double seconds) { return std::llround(seconds * 1e6); }
}  // namespace

void VirtualLoop::schedule(std::int64_t dueMicros, Job job) {
    std::lock_guard lock(mutex_);
    jobs_.emplace(Key{dueMicros, sequence_++}, std::move(job));
}

void VirtualLoop::post(std::function<void()> fn) { schedule(nowMicros_, Job{std::move(fn), nullptr}); }

platform::MainLoop::Timer VirtualLoop::after(double seconds, std::function<void()> fn) {
    auto flag = newTimerFlag();
    schedule(nowMicros_ + toMicros(seconds), Job{std::move(fn), flag});
    return Timer(flag);
}

platform::MainLoop::Timer VirtualLoop::every(double seconds, std::function<void()> fn) {
    auto flag = newTimerFlag();
    schedule(nowMicros_ + toMicros(seconds), Job{std::move(fn), flag, toMicros(seconds)});
    return Timer(flag);
}

void VirtualLoop::background(std::function<void()> work) {
    ++backgroundJobs_;
    post(std::move(work));
}

bool VirtualLoop::runNextDue(std::int64_t limitMicros) {
    Job job;
    std::int64_t due = 0;
    {
        std::lock_guard lock(mutex_);
        auto it = jobs_.begin();
        if (it == jobs_.end() || std::get<0>(it->first) > limitMicros) return false;
        due = std::get<0>(it->first);
        job = std::move(it->second);
        jobs_.erase(it);
    }
    nowMicros_ = due;
    if (job.cancelled && *job.cancelled) return true;
    if (job.periodMicros > 0) {
        // Reschedule before running, so a callback that cancels its own timer wins.
        schedule(due + job.periodMicros, job);
    }
    job.fn();
    return true;
}

void VirtualLoop::runUntilIdle() {
    while (runNextDue(nowMicros_)) {}
}

void VirtualLoop::advance(double seconds) {
    const std::int64_t target = nowMicros_ + toMicros(seconds);
    while (runNextDue(target)) {}
    nowMicros_ = target;
}

std::size_t VirtualLoop::pending() const {
    std::lock_guard lock(mutex_);
    std::size_t count = 0;
    for (const auto& [key, job] : jobs_)
        if (!job.cancelled || !*job.cancelled) ++count;
    return count;
}

}  // namespace vell::test
