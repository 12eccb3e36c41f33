#pragma once
// The one main loop of the program. Logic never blocks it: it posts work,
// schedules timers and hands blocking work to a background thread, whose
// result comes back with post(). Implemented by GLib in the product and by a
// virtual clock in tests, so timed behaviour is tested exactly and instantly.

#include <atomic>
#include <functional>
#include <memory>

namespace vell::platform {

class MainLoop {
public:
    // Handle of a scheduled timer. Copies share one timer; cancel() stops all
    // future firings. Dropping the handle does not cancel: a timer's callback
    // holds its owner weakly instead, so it outlives nothing it should not.
    class Timer {
    public:
        Timer() = default;
        explicit Timer(std::shared_ptr<std::atomic<bool>> cancelled) : cancelled_(std::move(cancelled)) {}
        void cancel() const {
            if (cancelled_) *cancelled_ = true;
        }
        bool cancelled() const { return !cancelled_ || *cancelled_; }

    private:
        std::shared_ptr<std::atomic<bool>> cancelled_;
    };

    virtual ~MainLoop() = default;

    // Runs fn on the main thread soon, never inside the caller. Any thread may post.
    virtual void post(std::function<void()> fn) = 0;
    // Runs fn once on the main thread after the delay. Main thread only.
    virtual Timer after(double seconds, std::function<void()> fn) = 0;
    // Runs fn on the main thread every period, the first time one period from now.
    virtual Timer every(double seconds, std::function<void()> fn) = 0;
    // Runs work on a background thread; it reports back with post().
    virtual void background(std::function<void()> work) = 0;
    // Monotonic time in seconds.
    virtual double now() const = 0;

protected:
    static std::shared_ptr<std::atomic<bool>> newTimerFlag() { return std::make_shared<std::atomic<bool>>(false); }
};

}  // namespace vell::platform
