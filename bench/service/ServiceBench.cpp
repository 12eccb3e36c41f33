// How long the service spends on its work: mapping a form, decoding an
// upload, recognising a dictation.
#include "service/AudioDecoder.h"
#include "service/FieldMapper.h"
#include "service/SpeechRecogniser.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include "BenchLine.h"

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using namespace vell::service;

namespace {

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// A sentence spoken by flite and encoded as the desktop uploads it, or "" without flite/ffmpeg.
std::string speak(const std::string& sentence) {
    auto folder = std::filesystem::temp_directory_path();
    auto wav = folder / "vell-bench.wav", m4a = folder / "vell-bench.m4a";
    std::string make = "flite -voice slt -t '" + sentence + "' -o '" + wav.string() +
                       "' </dev/null && ffmpeg -nostdin -loglevel error -y -i '" + wav.string() +
                       "' -ar 16000 -ac 1 -c:a aac -b:a 32k '" + m4a.string() + "'";
    if (std::system(make.c_str()) != 0) return std::string();
    return readFile(m4a);
}

std::string spokenM4a() {
    static std::string bytes = speak("please send the report to my office before noon");
    return bytes;
}

std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

// Word-level edit distance: substitutions, insertions and deletions.
std::size_t wordErrors(const std::vector<std::string>& expected, const std::vector<std::string>& heard) {
    std::vector<std::size_t> row(heard.size() + 1);
    for (std::size_t j = 0; j <= heard.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= expected.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= heard.size(); ++j) {
            std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (expected[i - 1] == heard[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[heard.size()];
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

// Word accuracy on plain sentences; the recogniser is good enough at 85 % and above.
void WordAccuracy(benchmark::State& state) {
    const std::vector<std::string> sentences = {
        "please send the report to my office before noon",
        "the weather is nice today",
        "i will call you tomorrow morning",
        "can you open the window please",
        "we need to buy milk and bread",
        "the meeting starts in the afternoon",
        "thank you for your help",
        "let us go for a walk in the park",
        "i would like a cup of coffee",
        "the children are playing in the garden",
    };
    static SpeechRecogniser recogniser(VELL_SPHINX_MODEL_DIR);
    std::vector<std::vector<std::int16_t>> spoken;
    for (const auto& sentence : sentences) {
        std::string audio = speak(sentence);
        if (audio.empty()) return state.SkipWithError("flite or ffmpeg missing");
        spoken.push_back(AudioDecoder::decode(audio, 300));
    }
    std::size_t total = 0, errors = 0;
    for (auto _ : state) {
        for (std::size_t i = 0; i < sentences.size(); ++i) {
            total += words(sentences[i]).size();
            errors += wordErrors(words(sentences[i]), words(recogniser.recognise(spoken[i])));
        }
    }
    const double accuracy = 100.0 * (1.0 - static_cast<double>(errors) / static_cast<double>(total));
    state.counters["word_accuracy_percent"] = accuracy;
    if (accuracy < 85.0) state.SkipWithError("word accuracy below 85 %");
}
BENCHMARK(WordAccuracy)->Unit(benchmark::kMillisecond)->Iterations(1);

int main(int argc, char** argv) {
    return vell::bench::runBenchmarks(
        argc, argv,
        {{"MapJobApplication", "service.map_9_fields", "ms"},
         {"DecodeDictation", "service.decode", "ms"},
         {"RecogniseDictation", "service.recognise", "ms"},
         {"RecogniseDictation", "service.real_time_factor", "x", "-", "real_time_factor"},
         {"WordAccuracy", "service.word_accuracy", "%", ">=85", "word_accuracy_percent"}});
}
