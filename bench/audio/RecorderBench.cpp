// What recording costs: the wait between stop and a finished file, the share
// of a core the capture thread takes, and how many bytes a second of speech
// makes. Run inside the headless session, whose virtual microphone hears
// whatever is played into "vell_mic_sink".

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

#include "BenchLine.h"
#include "integration/audio/MicrophoneFixtures.h"
#include "platform/linux/PulseAudioInput.h"

namespace fs = std::filesystem;
using vell::platform::PulseAudioInput;
using namespace vell::test;

namespace {

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double wallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

fs::path scratch(PulseAudioInput& input, const std::string& name) { return input.temporaryDirectory() / name; }

const fs::path& speech(PulseAudioInput& input) {
    static const fs::path file = speechFile(
        "Vell turns what you say into text at the cursor. Hold the keys, speak a sentence or two, "
        "and let go. The recording goes to the service and the words come back a moment later.",
        scratch(input, "bench-speech.wav"));
    return file;
}

// Stop to finished file, after one second of capture: the encoder's last
// frames and the container's index. With argument 0 the stop comes right
// after a block of audio arrived; with 1 at a random moment, as a key release does.
void BM_StopToFinishedFile(benchmark::State& state) {
    PulseAudioInput input;
    const fs::path file = scratch(input, "bench-stop.m4a");
    std::mt19937 random(1);
    std::uniform_int_distribution<int> offsetMicros(0, 19999);
    for (auto _ : state) {
        std::unique_ptr<PulseAudioInput::Capture> capture;
        try {
            capture = input.record(file);
        } catch (const std::exception& error) {
            state.SkipWithError(error.what());
            return;
        }
        waitUntil([&] { return capture->duration() >= 1.0; });
        if (state.range(0)) std::this_thread::sleep_for(std::chrono::microseconds(offsetMicros(random)));
        const auto start = std::chrono::steady_clock::now();
        capture->finish();
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    fs::remove(file);
}
BENCHMARK(BM_StopToFinishedFile)->Arg(0)->Arg(1)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

// One take of speech: CPU share of the whole process while capturing and
// encoding (this thread sleeps meanwhile), and the file's bytes per second.
void BM_RecordSpeech(benchmark::State& state) {
    PulseAudioInput input;
    const fs::path file = scratch(input, "bench-speech.m4a");
    const double seconds = static_cast<double>(state.range(0));
    double cpuShare = 0, bytesPerSecond = 0;
    for (auto _ : state) {
        std::unique_ptr<PulseAudioInput::Capture> capture;
        try {
            capture = input.record(file);
        } catch (const std::exception& error) {
            state.SkipWithError(error.what());
            return;
        }
        const double cpu0 = cpuSeconds(), wall0 = wallSeconds();
        auto player = playIntoMicrophone(speech(input));
        // Asleep rather than polling, so the share is the recorder's own.
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        waitUntil([&] { return capture->duration() >= seconds; }, 30);
        capture->finish();
        cpuShare = (cpuSeconds() - cpu0) / (wallSeconds() - wall0);
        bytesPerSecond = static_cast<double>(fs::file_size(file)) / capture->duration();
    }
    state.counters["cpu_share_%"] = cpuShare * 100;
    state.counters["bytes_per_s"] = bytesPerSecond;
    state.counters["kB_per_min"] = bytesPerSecond * 60 / 1000;
    fs::remove(file);
}
BENCHMARK(BM_RecordSpeech)->Arg(8)->Iterations(3)->Unit(benchmark::kMillisecond);

// Start: connecting to the sound server, opening the encoder and the file.
void BM_StartCapture(benchmark::State& state) {
    PulseAudioInput input;
    const fs::path file = scratch(input, "bench-start.m4a");
    for (auto _ : state) {
        std::unique_ptr<PulseAudioInput::Capture> capture;
        try {
            capture = input.record(file);
        } catch (const std::exception& error) {
            state.SkipWithError(error.what());
            return;
        }
        state.PauseTiming();
        capture->finish();
        state.ResumeTiming();
    }
    fs::remove(file);
}
BENCHMARK(BM_StartCapture)->Iterations(10)->Unit(benchmark::kMillisecond);

// The default microphone's name, as the setup checklist asks for it.
void BM_DeviceName(benchmark::State& state) {
    PulseAudioInput input;
    for (auto _ : state) benchmark::DoNotOptimize(input.defaultDeviceName());
}
BENCHMARK(BM_DeviceName)->Iterations(30)->Unit(benchmark::kMillisecond);

// Reading the level from the main thread, as the meter does every 0.1 s.
void BM_ReadLevel(benchmark::State& state) {
    PulseAudioInput input;
    const fs::path file = scratch(input, "bench-level.m4a");
    std::unique_ptr<PulseAudioInput::Capture> capture;
    try {
        capture = input.record(file);
    } catch (const std::exception& error) {
        state.SkipWithError(error.what());
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(capture->averagePower());
    capture->finish();
    fs::remove(file);
}
BENCHMARK(BM_ReadLevel);

}  // namespace

int main(int argc, char** argv) {
    return vell::bench::runBenchmarks(argc, argv,
                                      {{"BM_StopToFinishedFile/0", "recorder.stop_to_file.after_read", "ms", "<=3"},
                                       {"BM_StopToFinishedFile/1", "recorder.stop_to_file", "ms", "<=3"},
                                       {"BM_StartCapture", "recorder.start", "ms", "<=5"},
                                       {"BM_RecordSpeech/8", "recorder.cpu_share", "%", "<=1.5", "cpu_share_%"},
                                       {"BM_RecordSpeech/8", "recorder.kB_per_min", "kB", "-", "kB_per_min"},
                                       {"BM_DeviceName", "recorder.device_name", "ms"}});
}
