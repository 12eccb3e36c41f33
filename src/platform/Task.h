#pragma once
// Task<T>: the coroutine type every asynchronous flow is written in.
//
// A Task starts running at once (eagerly) and runs until its first suspension.
// Awaiting it from another coroutine resumes the awaiter when it finishes and
// hands over its value or rethrows its exception. A Task that is dropped before
// it finishes becomes detached: it runs to its end and frees itself. An
// exception that escapes a detached task is a bug; it is printed and dropped.
//
// Coroutine arguments are taken by value: a reference would dangle after the
// first suspension.

#include <coroutine>
#include <cstdio>
#include <exception>
#include <optional>
#include <utility>

namespace vell {

template <typename T>
class Task;

namespace detail {

struct TaskPromiseBase {
    std::coroutine_handle<> continuation;
    std::exception_ptr error;
    bool detached = false;

    std::suspend_never initial_suspend() noexcept { return {}; }

    template <typename Promise>
    struct FinalAwaiter {
        bool await_ready() noexcept { return false; }
        std::coroutine_handle<> await_suspend(std::coroutine_handle<Promise> self) noexcept {
            auto& promise = self.promise();
            if (promise.continuation) return promise.continuation;
            if (promise.detached) {
                if (promise.error) reportDetachedError(promise.error);
                self.destroy();
            }
            return std::noop_coroutine();
        }
        void await_resume() noexcept {}
    };

    void unhandled_exception() noexcept { error = std::current_exception(); }

    static void reportDetachedError(const std::exception_ptr& error) noexcept {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "vell: unhandled error in a background step: %s\n", e.what());
        } catch (...) {
            std::fprintf(stderr, "vell: unhandled error in a background step\n");
        }
    }
};

// What a task hands its awaiter: a value, or nothing for Task<void>.
template <typename T>
struct TaskResult {
    std::optional<T> value;
    template <typename U>
    void return_value(U&& v) {
        value.emplace(std::forward<U>(v));
    }
    T take() { return std::move(*value); }
};

template <>
struct TaskResult<void> {
    void return_void() {}
    void take() {}
};

}  // namespace detail

template <typename T = void>
class Task {
public:
    struct promise_type : detail::TaskPromiseBase, detail::TaskResult<T> {
        Task get_return_object() { return Task(std::coroutine_handle<promise_type>::from_promise(*this)); }
        auto final_suspend() noexcept { return FinalAwaiter<promise_type>{}; }
    };
    using Handle = std::coroutine_handle<promise_type>;

    Task() = default;
    explicit Task(Handle h) : handle_(h) {}
    Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
    Task& operator=(Task&& other) noexcept {
        if (this != &other) {
            release();
            handle_ = std::exchange(other.handle_, {});
        }
        return *this;
    }
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;
    ~Task() { release(); }

    bool done() const { return !handle_ || handle_.done(); }

    // For tests and synchronous callers: the result of a finished task.
    T get() {
        auto& p = handle_.promise();
        if (p.error) std::rethrow_exception(p.error);
        return p.take();
    }

    // Lets the task run on by itself: it frees itself when it ends.
    void detach() { release(); }

    bool await_ready() const noexcept { return handle_.done(); }
    void await_suspend(std::coroutine_handle<> awaiter) noexcept { handle_.promise().continuation = awaiter; }
    T await_resume() { return get(); }

private:
    // A finished coroutine is freed; a running one is left to free itself.
    void release() {
        if (!handle_) return;
        if (handle_.done())
            handle_.destroy();
        else
            handle_.promise().detached = true;
        handle_ = {};
    }
    Handle handle_;
};

}  // namespace vell
