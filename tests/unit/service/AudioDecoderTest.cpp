#include "AudioDecoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>

using vell::service::AudioDecoder;

namespace {

// A PCM WAV file of a 440 Hz tone.
std::string wavTone(int sampleRate, int channels, double seconds) {
    int frames = static_cast<int>(sampleRate * seconds);
    std::string data;
    for (int i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c) {
            auto sample = static_cast<std::int16_t>(8000 * std::sin(2 * M_PI * 440 * i / sampleRate));
            data.append(reinterpret_cast<const char*>(&sample), 2);
        }
    auto u32 = [](std::uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [](std::uint16_t v) { return std::string(reinterpret_cast<const char*>(&v), 2); };
    std::string header = "RIFF" + u32(36 + static_cast<std::uint32_t>(data.size())) + "WAVEfmt " + u32(16) + u16(1) +
                         u16(static_cast<std::uint16_t>(channels)) + u32(static_cast<std::uint32_t>(sampleRate)) +
                         u32(static_cast<std::uint32_t>(sampleRate * channels * 2)) +
                         u16(static_cast<std::uint16_t>(channels * 2)) + u16(16) + "data" +
                         u32(static_cast<std::uint32_t>(data.size()));
    return header + data;
}

}  // namespace

TEST(AudioDecoder, ResamplesToSixteenKilohertzMono) {
    auto samples = AudioDecoder::decode(wavTone(44100, 2, 1.0), 60);
    EXPECT_NEAR(static_cast<double>(samples.size()), 16000, 50);
    auto loudest = *std::max_element(samples.begin(), samples.end());
    EXPECT_GT(loudest, 6000);  // the tone survives the mixdown
}

TEST(AudioDecoder, RefusesWhatIsNotAudio) {
    EXPECT_THROW(AudioDecoder::decode("", 60), AudioDecoder::Unreadable);
    EXPECT_THROW(AudioDecoder::decode("this is not a recording", 60), AudioDecoder::Unreadable);
    std::string truncated = wavTone(16000, 1, 0.5).substr(0, 30);
    EXPECT_THROW(AudioDecoder::decode(truncated, 60), AudioDecoder::Unreadable);
}

TEST(AudioDecoder, RefusesRecordingsAboveTheLimit) {
    EXPECT_THROW(AudioDecoder::decode(wavTone(16000, 1, 3.0), 2.0), AudioDecoder::TooLong);
    EXPECT_NO_THROW(AudioDecoder::decode(wavTone(16000, 1, 1.5), 2.0));
}

TEST(AudioDecoder, SurvivesRandomBytes) {
    std::mt19937 random(7);
    std::string valid = wavTone(16000, 1, 0.2);
    for (int round = 0; round < 200; ++round) {
        std::string bytes = round % 2 ? valid : std::string(random() % 4096, '\0');
        for (auto& b : bytes)
            if (round % 2 == 0 || random() % 50 == 0) b = static_cast<char>(random());
        try {
            AudioDecoder::decode(bytes, 10);
        } catch (const AudioDecoder::Unreadable&) {
        } catch (const AudioDecoder::TooLong&) {}
    }
}
