#include "platform/linux/GlibMainLoop.h"

#include <utility>

#include <cmath>
#include <memory>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace vell::platform {
namespace {

// GLib passes jobs and calls between threads under locks of its own (futexes
// in a library built without ThreadSanitizer), which the race detector cannot
// see; the hand-over is told to it, so it judges what the job itself touches.
#if defined(__SANITIZE_THREAD__)
void handOver(void* job) { __tsan_release(job); }
void takeOver(void* job) { __tsan_acquire(job); }
#else
void handOver(void*) {}
void takeOver(void*) {}
#endif

struct Call {
    std::function<void()> fn;
    std::shared_ptr<std::atomic<bool>> cancelled;
};

guint toMilliseconds(double seconds) { return seconds <= 0 ? 0 : static_cast<guint>(std::lround(seconds * 1000.0)); }

gboolean runOnce(gpointer data) {
    takeOver(data);
    auto* call = static_cast<Call*>(data);
    if (!call->cancelled || !*call->cancelled) call->fn();
    return G_SOURCE_REMOVE;
}

gboolean runRepeating(gpointer data) {
    takeOver(data);
    auto* call = static_cast<Call*>(data);
    if (*call->cancelled) return G_SOURCE_REMOVE;
    call->fn();
    return *call->cancelled ? G_SOURCE_REMOVE : G_SOURCE_CONTINUE;
}

void freeCall(gpointer data) { delete static_cast<Call*>(data); }

void runWork(gpointer data, gpointer loop) {
    takeOver(data);
    {
        std::unique_ptr<std::function<void()>> work(static_cast<std::function<void()>*>(data));
        (*work)();
    }
    handOver(loop);  // whoever waits for the pool to finish sees what the job did
}

}  // namespace

GlibMainLoop::GlibMainLoop() : pool_(g_thread_pool_new(runWork, this, 8, FALSE, nullptr)) {}

GlibMainLoop::~GlibMainLoop() {
    g_thread_pool_free(pool_, FALSE, TRUE);
    takeOver(this);
}

void GlibMainLoop::post(std::function<void()> fn) {
    auto* call = new Call{std::move(fn), nullptr};
    handOver(call);
    g_idle_add_full(G_PRIORITY_DEFAULT, runOnce, call, freeCall);
}

MainLoop::Timer GlibMainLoop::after(double seconds, std::function<void()> fn) {
    auto flag = newTimerFlag();
    g_timeout_add_full(G_PRIORITY_DEFAULT, toMilliseconds(seconds), runOnce, new Call{std::move(fn), flag}, freeCall);
    return Timer(flag);
}

MainLoop::Timer GlibMainLoop::every(double seconds, std::function<void()> fn) {
    auto flag = newTimerFlag();
    g_timeout_add_full(G_PRIORITY_DEFAULT, toMilliseconds(seconds), runRepeating, new Call{std::move(fn), flag},
                       freeCall);
    return Timer(flag);
}

void GlibMainLoop::finishBackgroundWork() {
    GThreadPool* finishing = std::exchange(pool_, g_thread_pool_new(runWork, this, 8, FALSE, nullptr));
    g_thread_pool_free(finishing, FALSE, TRUE);
    takeOver(this);
}

void GlibMainLoop::background(std::function<void()> work) {
    auto* job = new std::function<void()>(std::move(work));
    handOver(job);
    g_thread_pool_push(pool_, job, nullptr);
}

double GlibMainLoop::now() const { return static_cast<double>(g_get_monotonic_time()) / 1e6; }

bool GlibMainLoop::runUntil(const std::function<bool()>& done, double timeoutSeconds) {
    const double deadline = now() + timeoutSeconds;
    bool timedOut = false;
    guint guard = g_timeout_add(
        toMilliseconds(timeoutSeconds) + 1,
        [](gpointer flag) -> gboolean {
            *static_cast<bool*>(flag) = true;
            return G_SOURCE_REMOVE;
        },
        &timedOut);
    while (!done() && !timedOut && now() < deadline) g_main_context_iteration(nullptr, TRUE);
    if (!timedOut) g_source_remove(guard);
    return done();
}

void GlibMainLoop::runFor(double seconds) {
    runUntil([] { return false; }, seconds);
}

}  // namespace vell::platform
