// Field enumeration over AT-SPI on generated GTK windows of about 1,000 and
// 4,000 elements, and a fill of the sample GTK form. Reports the elements one
// walk visits, per element the D-Bus requests the walk sent to the
// application, and the processor time of both sides (ours alone too). Run
// inside a headless session.

#include <benchmark/benchmark.h>

#include <time.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "BenchLine.h"
#include "fill/FillEngine.h"
#include "integration/fill/FormProcess.h"
#include "platform/linux/AtspiAccessibility.h"

using vell::fill::FillEngine;
using vell::platform::Accessibility;

namespace {

// Counts elements taken by the walk (one role read each) and passes every call on.
class CountingAccessibility final : public Accessibility {
public:
    explicit CountingAccessibility(Accessibility& inner) : inner_(inner) {}
    long elements = 0;
    vell::platform::ElementRef application(pid_t pid) override { return inner_.application(pid); }
    void setMessagingTimeout(const vell::platform::ElementRef& e, double s) override {
        inner_.setMessagingTimeout(e, s);
    }
    int setAttribute(const vell::platform::ElementRef& e, Attribute a, const Value& v) override {
        return inner_.setAttribute(e, a, v);
    }
    Reading read(const vell::platform::ElementRef& e, Attribute a) override {
        elements += a == Attribute::role;
        return inner_.read(e, a);
    }
    bool isSettable(const vell::platform::ElementRef& e, Attribute a) override { return inner_.isSettable(e, a); }

private:
    Accessibility& inner_;
};

struct Window {
    std::unique_ptr<vell::test::FormProcess> form;
    std::size_t fields = 0;
};

Window& generated(int elements) {
    static std::map<int, Window> windows;
    auto& window = windows[elements];
    if (!window.form) {
        window.form = std::make_unique<vell::test::FormProcess>(
            std::vector<std::string>{VELL_FORM_FIXTURE, "--generated", std::to_string(elements)});
        window.form->waitReady();
    }
    return window;
}

// CPU seconds this process has used, all threads.
double ownCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// CPU seconds another process has used (user and system, in clock ticks).
double cpuSecondsOf(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string skip;
    for (int i = 3; i < 14; ++i) fields >> skip;
    double user = 0, system = 0;
    fields >> user >> system;
    return (user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::string describe(const std::vector<FillEngine::Field>& fields) {
    std::string out;
    auto o = [](const std::optional<std::string>& v) { return v ? "\"" + *v + "\"" : std::string("-"); };
    for (const auto& f : fields)
        out += f.id + " " + f.type + " " + o(f.label) + " " + o(f.placeholder) + " " + o(f.near) + " " + o(f.original) +
               "\n";
    return out;
}

// Arguments: elements in the window; 1 to read the application's cache in one
// request, 0 to ask every element.
void BM_Enumerate(benchmark::State& state) {
    auto& window = generated(static_cast<int>(state.range(0)));
    const bool snapshots = state.range(1) != 0;
    vell::platform::AtspiAccessibility atspi(0.4, snapshots);
    CountingAccessibility counting(atspi);
    FillEngine engine(counting);
    // The tree appears on the bus shortly after the window: wait for it.
    for (int i = 0; i < 100 && engine.enumerate(window.form->pid(), 40).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));

    vell::platform::AtspiAccessibility live(0.4, false);
    FillEngine plain(live);
    const std::string expected = describe(plain.enumerate(window.form->pid(), 40));

    counting.elements = 0;
    const long callsBefore = atspi.calls();
    long walks = 0;
    std::string result;
    const double ownBefore = ownCpuSeconds(), targetBefore = cpuSecondsOf(window.form->pid());
    for (auto _ : state) {
        result = describe(engine.enumerate(window.form->pid(), 40));
        ++walks;
    }
    // Both sides of the walk, which on a busy machine tells more than its wall time.
    const double own = ownCpuSeconds() - ownBefore;
    state.counters["cpuMs"] =
        (own + cpuSecondsOf(window.form->pid()) - targetBefore) * 1e3 / static_cast<double>(walks);
    state.counters["ownCpuMs"] = own * 1e3 / static_cast<double>(walks);
    const double elements = static_cast<double>(counting.elements) / static_cast<double>(walks);
    state.counters["elements"] = elements;
    state.counters["identicalToPlainWalk"] = result == expected ? 1 : 0;
    state.counters["requestsPerElement"] =
        static_cast<double>(atspi.calls() - callsBefore) / static_cast<double>(walks) / elements;
}

// A fill of the sample form: from the mapping's answer (a value for every
// field the walk found) to the last value written and read back. Values
// alternate between two sets so every write changes the field.
void BM_Fill(benchmark::State& state) {
    static vell::test::FormProcess form(std::vector<std::string>{VELL_FORM_FIXTURE});
    static const bool ready = form.waitReady();
    if (!ready) return state.SkipWithError("the sample form did not start");
    vell::platform::AtspiAccessibility atspi(2.0);
    CountingAccessibility counting(atspi);
    FillEngine engine(counting);
    std::vector<FillEngine::Field> fields;
    for (int i = 0; i < 100 && (fields = engine.enumerate(form.pid(), 40)).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));

    std::map<std::string, std::string> answers[2];
    for (const auto& field : fields) {
        answers[0][field.id] = "Ada Lovelace " + field.id;
        answers[1][field.id] = "Grace Hopper " + field.id;
    }
    long fills = 0, applied = 0;
    const long callsBefore = atspi.calls();
    const double ownBefore = ownCpuSeconds(), targetBefore = cpuSecondsOf(form.pid());
    for (auto _ : state) {
        for (const auto& outcome : engine.apply(answers[fills % 2], fields))
            applied += outcome.result == FillEngine::Applied::applied;
        ++fills;
    }
    state.counters["cpuMs"] =
        (ownCpuSeconds() - ownBefore + cpuSecondsOf(form.pid()) - targetBefore) * 1e3 / static_cast<double>(fills);
    state.counters["fields"] = static_cast<double>(fields.size());
    state.counters["allApplied"] = applied == fills * static_cast<long>(fields.size()) ? 1 : 0;
    state.counters["requests"] = static_cast<double>(atspi.calls() - callsBefore) / static_cast<double>(fills);
}

}  // namespace

BENCHMARK(BM_Fill)->Unit(benchmark::kMillisecond)->MinTime(1);

BENCHMARK(BM_Enumerate)
    ->ArgNames({"elements", "cache"})
    ->Args({1000, 0})
    ->Args({1000, 1})
    ->Args({4000, 0})
    ->Args({4000, 1})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2);

int main(int argc, char** argv) {
    return vell::bench::runBenchmarks(
        argc, argv,
        {{"BM_Fill", "fill.form", "ms", "<=30"},
         {"BM_Fill", "fill.form.cpu", "ms", "-", "cpuMs"},
         {"BM_Fill", "fill.form.fields", "", ">=9", "fields"},
         {"BM_Fill", "fill.form.all_applied", "", ">=1", "allApplied"},
         {"BM_Enumerate/elements:4000/cache:0", "walk.4000.plain", "ms"},
         {"BM_Enumerate/elements:4000/cache:1", "walk.4000", "ms", "<=80", "", "walk.4000.plain"},
         {"BM_Enumerate/elements:4000/cache:1", "walk.4000.cpu", "ms", "-", "cpuMs"},
         {"BM_Enumerate/elements:4000/cache:1", "walk.4000.cpu.own", "ms", "-", "ownCpuMs"},
         {"BM_Enumerate/elements:4000/cache:1", "walk.4000.identical", "", ">=1", "identicalToPlainWalk"},
         {"BM_Enumerate/elements:1000/cache:1", "walk.1000", "ms", "-", "", "walk.1000.plain"},
         {"BM_Enumerate/elements:1000/cache:0", "walk.1000.plain", "ms"}});
}
