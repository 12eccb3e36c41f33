// What the panel costs the main loop: from show() until the window is mapped
// on screen, from a controller change until the panel is drawn again, and how
// many redraws happen while nothing changes (the goal is none).

#include <benchmark/benchmark.h>
#include <gtk/gtk.h>

#include <filesystem>
#include <memory>

#include "BenchLine.h"
#include "panel/FloatingPanel.h"
#include "platform/linux/GlibMainLoop.h"
#include "platform/linux/GtkPanel.h"
#include "support/ControllerDoubles.h"
#include "support/FakeSettings.h"

namespace {

using namespace vell;

// One panel over the controller and its doubles, shown, for every benchmark.
struct Scene {
    platform::GlibMainLoop loop;
    test::RecorderDouble recorder{loop, std::filesystem::temp_directory_path() / "vell-panel-bench"};
    test::RecogniserDouble recogniser{loop};
    test::FillEngineDouble fillEngine;
    test::FillServiceDouble fillService{loop};
    test::PasteDouble paste{loop};
    test::FakeSession session;
    test::DesktopDouble desktop;
    test::FakeClipboard clipboard;
    test::LoginItemDouble loginItem;
    test::FakeSettings settings;
    std::shared_ptr<dictation::DictationController> controller = dictation::DictationController::create(
        {loop, recorder, recogniser, fillEngine, fillService, paste, session, desktop, clipboard, loginItem});
    platform::GtkPanel gtkPanel{{controller, {}, settings, clipboard, {}, gtk_entry_new()}};
    panel::FloatingPanel floating{gtkPanel.window()};
    bool mapped = false;

    Scene() {
        auto* window = GTK_WIDGET(gtkPanel.window().window());
        g_signal_connect(window, "map-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer data) -> gboolean {
                             static_cast<Scene*>(data)->mapped = true;
                             return FALSE;
                         }),
                         this);
        g_signal_connect(window, "unmap-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer data) -> gboolean {
                             static_cast<Scene*>(data)->mapped = false;
                             return FALSE;
                         }),
                         this);
        floating.show();
        settle();
    }
    void iterateUntil(bool& flag, bool value) {
        while (flag != value) g_main_context_iteration(nullptr, TRUE);
    }
    void settle() {
        while (g_main_context_iteration(nullptr, FALSE)) {}
    }
};

Scene& scene() {
    static Scene instance;
    return instance;
}

void showToMapped(benchmark::State& state) {
    auto& s = scene();
    for (auto _ : state) {
        state.PauseTiming();
        s.floating.hide();
        s.iterateUntil(s.mapped, false);
        s.settle();
        state.ResumeTiming();
        s.floating.show();
        s.iterateUntil(s.mapped, true);
    }
    s.settle();
}
BENCHMARK(showToMapped)->Unit(benchmark::kMillisecond);

// A problem appears and goes, in turn: each change shows or hides the banner.
void redrawAfterChange(benchmark::State& state) {
    auto& s = scene();
    bool withProblem = false;
    for (auto _ : state) {
        const int before = s.gtkPanel.redraws();
        withProblem = !withProblem;
        if (withProblem) {
            s.desktop.trusted = false;
            s.controller->insertText("hello");
            s.desktop.trusted = true;
        } else {
            s.controller->clearProblem();
        }
        while (s.gtkPanel.redraws() == before) g_main_context_iteration(nullptr, TRUE);
        state.PauseTiming();
        s.settle();  // layout and paint belong to GTK, not to the redraw
        state.ResumeTiming();
    }
}
BENCHMARK(redrawAfterChange)->Unit(benchmark::kMicrosecond);

// One redraw of the model alone, with nothing to change on screen.
void redrawUnchanged(benchmark::State& state) {
    auto& s = scene();
    for (auto _ : state) s.gtkPanel.redraw();
}
BENCHMARK(redrawUnchanged)->Unit(benchmark::kMicrosecond);

// The main loop runs for a second with the panel shown and nothing happening.
void redrawsWhileIdle(benchmark::State& state) {
    auto& s = scene();
    s.settle();
    int redraws = 0, wakeups = 0;
    for (auto _ : state) {
        const int before = s.gtkPanel.redraws();
        const gint64 end = g_get_monotonic_time() + G_USEC_PER_SEC;
        bool over = false;
        g_timeout_add(
            1000, +[](gpointer flag) -> gboolean { return *static_cast<bool*>(flag) = true, G_SOURCE_REMOVE; }, &over);
        while (!over && g_get_monotonic_time() < end) {
            g_main_context_iteration(nullptr, TRUE);
            ++wakeups;
        }
        redraws += s.gtkPanel.redraws() - before;
    }
    state.counters["redraws_per_second"] = benchmark::Counter(redraws, benchmark::Counter::kAvgIterations);
    state.counters["wakeups_per_second"] = benchmark::Counter(wakeups, benchmark::Counter::kAvgIterations);
}
BENCHMARK(redrawsWhileIdle)->Iterations(2)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    gtk_init(&argc, &argv);
    return vell::bench::runBenchmarks(argc, argv,
                                      {{"showToMapped", "panel.show_to_mapped", "ms"},
                                       {"redrawAfterChange", "panel.redraw_after_change", "us"},
                                       {"redrawsWhileIdle", "panel.idle_redraws", "/s", "<=0", "redraws_per_second"},
                                       {"redrawsWhileIdle", "panel.idle_wakeups", "/s", "-", "wakeups_per_second"}});
}
