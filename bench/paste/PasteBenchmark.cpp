// The paste path on a real X server (run inside scripts/headless-session.sh):
// the time from insert() being called to the Control+V keystroke posted, which
// is what a person waits for after letting go of the hotkey. It covers reading
// every target of the clipboard, putting our text on it and the XTest events.
//   ForeignOwner/N: another program owns text, HTML and an image of N bytes
//   OwnContents:    the clipboard holds what an earlier restore put back (ours)
//   SlowOwner/B/D:  another program busy B ms at the first request, answering
//                   each of four image types D ms late (side by side)
// insert_to_done_s is the whole insert, until the clipboard is back.

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>

#include "BenchLine.h"
#include "integration/paste/PasteScene.h"

namespace {

using Clock = std::chrono::steady_clock;

// Notes when the keystroke has gone out (the events are flushed and synced).
class TimedKeyboard final : public vell::platform::Keyboard {
public:
    explicit TimedKeyboard(vell::platform::Keyboard& keyboard) : keyboard_(keyboard) {}
    bool sendPaste() override {
        const bool sent = keyboard_.sendPaste();
        sentAt = Clock::now();
        return sent;
    }
    std::optional<Clock::time_point> sentAt;

private:
    vell::platform::Keyboard& keyboard_;
};

struct Bench {
    vell::test::PasteScene scene;
    TimedKeyboard keyboard{scene.keyboard};
    vell::fill::Paste paste{scene.loop, scene.clipboard, keyboard};
    std::size_t imageBytes = 0;

    Bench() { scene.openEntry(); }

    void offer(std::size_t bytes) {
        if (bytes == imageBytes) return scene.offerAgain();
        std::string image(bytes, '\0');
        for (std::size_t i = 0; i < bytes; ++i) image[i] = static_cast<char>((i * 7919) >> 3);
        scene.offerElsewhere({{"UTF8_STRING", std::string(200, 'a')},
                              {"text/plain;charset=utf-8", std::string(200, 'a')},
                              {"text/html", "<p>" + std::string(2000, 'h') + "</p>"},
                              {"image/png", image}});
        imageBytes = bytes;
    }

    // One insert; returns seconds to the keystroke and adds the whole insert's time.
    double insertOnce(double& wholeSeconds) {
        keyboard.sentAt.reset();
        const auto start = Clock::now();
        auto task = paste.insert("Hello from Vell \u2014 \u2713 na\u00efve ");
        scene.waitFor([&] { return keyboard.sentAt.has_value(); }, "the keystroke");
        scene.waitFor([&] { return task.done(); }, "the insert to finish");
        wholeSeconds += std::chrono::duration<double>(Clock::now() - start).count();
        return std::chrono::duration<double>(*keyboard.sentAt - start).count();
    }
};

Bench& bench() {
    static Bench instance;
    return instance;
}

void ForeignOwner(benchmark::State& state) {
    auto& b = bench();
    double whole = 0;
    for (auto _ : state) {
        b.offer(static_cast<std::size_t>(state.range(0)));
        state.SetIterationTime(b.insertOnce(whole));
    }
    state.counters["insert_to_done_s"] = benchmark::Counter(whole, benchmark::Counter::kAvgIterations);
}
BENCHMARK(ForeignOwner)->Arg(70)->Arg(1 << 20)->UseManualTime()->Iterations(15)->Unit(benchmark::kMillisecond);

void OwnContents(benchmark::State& state) {
    auto& b = bench();
    b.offer(70);
    double whole = 0;
    for (auto _ : state) state.SetIterationTime(b.insertOnce(whole));
    state.counters["insert_to_done_s"] = benchmark::Counter(whole, benchmark::Counter::kAvgIterations);
}
BENCHMARK(OwnContents)->UseManualTime()->Iterations(15)->Unit(benchmark::kMillisecond);

void SlowOwner(benchmark::State& state) {
    auto& b = bench();
    const std::string image(4096, 'i');
    double whole = 0;
    for (auto _ : state) {
        b.scene.offerElsewhere({{"UTF8_STRING", std::string(200, 'a')},
                                {"image/png", image},
                                {"image/bmp", image},
                                {"image/jpeg", image},
                                {"image/tiff", image}},
                               static_cast<double>(state.range(0)) / 1000, static_cast<double>(state.range(1)) / 1000);
        b.imageBytes = 0;
        state.SetIterationTime(b.insertOnce(whole));
    }
    state.counters["insert_to_done_s"] = benchmark::Counter(whole, benchmark::Counter::kAvgIterations);
}
BENCHMARK(SlowOwner)->Args({0, 500})->Args({0, 1300})->Args({1500, 0})->UseManualTime()->Iterations(3)->Unit(
    benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    return vell::bench::runBenchmarks(argc, argv,
                                      {{"ForeignOwner/70", "paste.to_keystroke", "ms"},
                                       {"ForeignOwner/1048576", "paste.to_keystroke.1MiB_image", "ms"},
                                       {"OwnContents", "paste.to_keystroke.own_contents", "ms"},
                                       {"ForeignOwner/70", "paste.to_restored", "s", "-", "insert_to_done_s"}});
}
