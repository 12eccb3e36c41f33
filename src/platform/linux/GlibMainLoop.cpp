#include "platform/linux/GlibMainLoop.h"

#include <utility>

#include <cmath>
#include <memory>

namespace vell::platform {
namespace {

struct Call {
    std::function<void()> fn;
    std::shared_ptr<std::atomic<bool>> cancelled;
};

guint toMilliseconds(double seconds) { return seconds <= 0 ? 0 : static_cast<guint>(std::lround(seconds * 1000.0)); }

gboolean runOnce(gpointer data) {
    auto* call = static_cast<Call*>(data);
    if (!call->cancelled || !*call->cancelled) call->fn();
    return G_SOURCE_REMOVE;
}

gboolean runRepeating(gpointer data) {
    auto* call = static_cast<Call*>(data);
    if (*call->cancelled) return G_SOURCE_REMOVE;
    call->fn();
    return *call->cancelled ? G_SOURCE_REMOVE : G_SOURCE_CONTINUE;
}

void freeCall(gpointer data) { delete static_cast<Call*>(data); }

void runWork(gpointer data, gpointer) {
    std::unique_ptr<std::function<void()>> work(static_cast<std::function<void()>*>(data));
    (*work)();
}

}  // namespace

GlibMainLoop::GlibMainLoop() : pool_(g_thread_pool_new(runWork, nullptr, 8, FALSE, nullptr)) {}

GlibMainLoop::~GlibMainLoop() { g_thread_pool_free(pool_, FALSE, TRUE); }

void GlibMainLoop::post(std::function<void()> fn) {
    g_idle_add_full(G_PRIORITY_DEFAULT, runOnce, new Call{std::move(fn), nullptr}, freeCall);
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
    GThreadPool* finishing = std::exchange(pool_, g_thread_pool_new(runWork, nullptr, 8, FALSE, nullptr));
    g_thread_pool_free(finishing, FALSE, TRUE);
}

void GlibMainLoop::background(std::function<void()> work) {
    g_thread_pool_push(pool_, new std::function<void()>(std::move(work)), nullptr);
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
