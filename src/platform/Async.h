#pragma once
// Awaitables that connect coroutines to the main loop:
//   co_await sleep(loop, 0.7);                        resume on the main loop later
//   auto v = co_await onBackground(loop, [] { ... }); run blocking work off the main thread
//   auto v = co_await untilCalled<T>(loop, [](Resolver<T> r) { ... });
//                                                     resume when a callback answers
// Every resumption happens on the main loop, so a flow reads and writes its
// owner's state only on the main thread.

#include <atomic>
#include <coroutine>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include "platform/MainLoop.h"

namespace vell {

// ---- sleep ---------------------------------------------------------------------------

struct SleepAwaiter {
    platform::MainLoop& loop;
    double seconds;
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> h) {
        loop.after(seconds, [h] { h.resume(); });
    }
    void await_resume() const noexcept {}
};

inline SleepAwaiter sleep(platform::MainLoop& loop, double seconds) { return {loop, seconds}; }

// ---- resolver: a one-shot answer from any thread, delivered on the main loop --------

template <typename T>
class Resolver {
public:
    struct State {
        platform::MainLoop* loop = nullptr;
        std::atomic<bool> answered{false};
        std::optional<T> value;
        std::exception_ptr error;
        std::coroutine_handle<> waiter;
    };

    explicit Resolver(std::shared_ptr<State> state) : state_(std::move(state)) {}

    // The first answer wins; later ones are ignored. Callable from any thread.
    void operator()(T value) const {
        if (state_->answered.exchange(true)) return;
        auto state = state_;
        state->loop->post([state, v = std::move(value)]() mutable {
            state->value.emplace(std::move(v));
            state->waiter.resume();
        });
    }
    void fail(std::exception_ptr error) const {
        if (state_->answered.exchange(true)) return;
        auto state = state_;
        state->loop->post([state, error] {
            state->error = error;
            state->waiter.resume();
        });
    }
    bool answered() const { return state_->answered; }

private:
    std::shared_ptr<State> state_;
};

template <typename T, typename Start>
struct CallbackAwaiter {
    platform::MainLoop& loop;
    Start start;
    std::shared_ptr<typename Resolver<T>::State> state = std::make_shared<typename Resolver<T>::State>();

    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> h) {
        state->loop = &loop;
        state->waiter = h;
        start(Resolver<T>(state));
    }
    T await_resume() {
        if (state->error) std::rethrow_exception(state->error);
        return std::move(*state->value);
    }
};

// Suspends until `start` (called at once with a Resolver) or anything it hands
// the resolver to answers. The coroutine resumes on the main loop.
template <typename T, typename Start>
CallbackAwaiter<T, std::decay_t<Start>> untilCalled(platform::MainLoop& loop, Start&& start) {
    return {loop, std::forward<Start>(start)};
}

// ---- background work ------------------------------------------------------------------

template <typename F>
auto onBackground(platform::MainLoop& loop, F work) {
    using R = std::invoke_result_t<F&>;
    if constexpr (std::is_void_v<R>) {
        return untilCalled<bool>(loop, [&loop, work = std::move(work)](Resolver<bool> done) mutable {
            loop.background([done, work = std::move(work)]() mutable {
                try {
                    work();
                    done(true);
                } catch (...) {
                    done.fail(std::current_exception());
                }
            });
        });
    } else {
        return untilCalled<R>(loop, [&loop, work = std::move(work)](Resolver<R> done) mutable {
            loop.background([done, work = std::move(work)]() mutable {
                try {
                    done(work());
                } catch (...) {
                    done.fail(std::current_exception());
                }
            });
        });
    }
}

}  // namespace vell
