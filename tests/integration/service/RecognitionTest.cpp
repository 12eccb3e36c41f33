// Dictation end to end: synthetic speech of known sentences, encoded the way
// the desktop uploads it (AAC, 16 kHz mono, .m4a), recognised by the service.
#include "RunningService.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

using nlohmann::json;
using vell::test::RunningService;

namespace {

std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

// Word-level edit distance: substitutions, insertions and deletions.
size_t wordErrors(const std::vector<std::string>& expected, const std::vector<std::string>& heard) {
    std::vector<size_t> row(heard.size() + 1);
    for (size_t j = 0; j <= heard.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= expected.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= heard.size(); ++j) {
            size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (expected[i - 1] == heard[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[heard.size()];
}

std::string speak(const std::string& sentence, const std::filesystem::path& folder, int index) {
    auto wav = folder / ("sentence" + std::to_string(index) + ".wav");
    auto m4a = folder / ("sentence" + std::to_string(index) + ".m4a");
    std::string synthesise = "flite -voice slt -t '" + sentence + "' -o '" + wav.string() + "' </dev/null";
    std::string encode = "ffmpeg -nostdin -loglevel error -y -i '" + wav.string() +
                         "' -ar 16000 -ac 1 -c:a aac -b:a 32k '" + m4a.string() + "'";
    if (std::system(synthesise.c_str()) != 0 || std::system(encode.c_str()) != 0) return {};
    std::ifstream in(m4a, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

}  // namespace

TEST(ServiceRecognition, RecognisesPlainSentencesWithAtLeast85PercentWordAccuracy) {
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
    RunningService running;
    auto client = running.client();
    auto auth = RunningService::bearer(running.signIn()["access_token"]);
    auto folder = std::filesystem::temp_directory_path();

    size_t total = 0, errors = 0;
    for (size_t i = 0; i < sentences.size(); ++i) {
        std::string audio = speak(sentences[i], folder, static_cast<int>(i));
        ASSERT_FALSE(audio.empty()) << "flite or ffmpeg failed for: " << sentences[i];
        auto result = client.Post("/api/v1/dictate", auth, audio, "audio/m4a");
        ASSERT_TRUE(result);
        ASSERT_EQ(result->status, 200) << result->body;
        std::string heard = json::parse(result->body)["text"];
        size_t sentenceErrors = wordErrors(words(sentences[i]), words(heard));
        std::printf("  said:  %s\n  heard: %s  (%zu errors)\n", sentences[i].c_str(), heard.c_str(), sentenceErrors);
        total += words(sentences[i]).size();
        errors += sentenceErrors;
    }
    double accuracy = 100.0 * (1.0 - static_cast<double>(errors) / static_cast<double>(total));
    std::printf("word accuracy: %.1f %% (%zu errors in %zu words)\n", accuracy, errors, total);
    EXPECT_GE(accuracy, 85.0);
}
