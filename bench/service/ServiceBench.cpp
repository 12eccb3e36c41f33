// How long the service spends on its work: mapping a form, decoding an
// upload, recognising a dictation.
#include "AudioDecoder.h"
#include "FieldMapper.h"
#include "SpeechRecogniser.h"

#include <benchmark/benchmark.h>

#include "BenchLine.h"

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>

using namespace vell::service;

namespace {

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// A spoken sentence as the desktop uploads it, or "" without flite/ffmpeg.
std::string spokenM4a() {
    static std::string bytes = [] {
        auto folder = std::filesystem::temp_directory_path();
        auto wav = folder / "vell-bench.wav", m4a = folder / "vell-bench.m4a";
        std::string make = "flite -voice slt -t 'please send the report to my office before noon' -o '" + wav.string() +
                           "' </dev/null && ffmpeg -nostdin -loglevel error -y -i '" + wav.string() +
                           "' -ar 16000 -ac 1 -c:a aac -b:a 32k '" + m4a.string() + "'";
        if (std::system(make.c_str()) != 0) return std::string();
        return readFile(m4a);
    }();
    return bytes;
}

void MapJobApplication(benchmark::State& state) {
    std::vector<FieldMapper::Field> fields = {
        {"f0", "text", "Full name", "", ""},           {"f1", "text", "Email address", "", ""},
        {"f2", "text", "Phone number", "", ""},        {"f3", "text", "Current employer", "", ""},
        {"f4", "text", "Job title", "", ""},           {"f5", "text", "LinkedIn or portfolio URL", "", ""},
        {"f6", "text", "Salary expectations", "", ""}, {"f7", "text", "Start date", "", ""},
        {"f8", "textarea", "Cover letter", "", ""}};
    std::string transcript =
        "my name is alan turing my email address is alan dot turing at example dot org phone number plus four four "
        "two zero seven nine four six zero nine five eight i work at bletchley park and my job title is cryptanalyst "
        "cover letter i would love to build thinking machines with you";
    FieldMapper mapper;
    for (auto _ : state) benchmark::DoNotOptimize(mapper.map(transcript, fields));
}
BENCHMARK(MapJobApplication);

void DecodeDictation(benchmark::State& state) {
    std::string audio = spokenM4a();
    if (audio.empty()) return state.SkipWithError("flite or ffmpeg missing");
    for (auto _ : state) benchmark::DoNotOptimize(AudioDecoder::decode(audio, 300));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * audio.size()));
}
BENCHMARK(DecodeDictation)->Unit(benchmark::kMillisecond);

void RecogniseDictation(benchmark::State& state) {
    std::string audio = spokenM4a();
    if (audio.empty()) return state.SkipWithError("flite or ffmpeg missing");
    auto samples = AudioDecoder::decode(audio, 300);
    static SpeechRecogniser recogniser(VELL_SPHINX_MODEL_DIR);
    recogniser.warmUp();
    for (auto _ : state) benchmark::DoNotOptimize(recogniser.recognise(samples));
    state.counters["real_time_factor"] = benchmark::Counter(
        static_cast<double>(samples.size()) / AudioDecoder::kSampleRate * static_cast<double>(state.iterations()),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(RecogniseDictation)->Unit(benchmark::kMillisecond)->Iterations(5);

void LoadSpeechModel(benchmark::State& state) {
    for (auto _ : state) {
        SpeechRecogniser recogniser(VELL_SPHINX_MODEL_DIR);
        recogniser.warmUp();
    }
}
BENCHMARK(LoadSpeechModel)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace

int main(int argc, char** argv) {
    return vell::bench::runBenchmarks(
        argc, argv,
        {{"MapJobApplication", "service.map_9_fields", "ms"},
         {"DecodeDictation", "service.decode", "ms"},
         {"RecogniseDictation", "service.recognise", "ms"},
         {"RecogniseDictation", "service.real_time_factor", "x", "-", "real_time_factor"}});
}
