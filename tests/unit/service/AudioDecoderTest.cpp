#include "AudioDecoder.h"

#include <gtest/gtest.h>

#include "AudioFixture.h"

#include <cmath>
#include <cstring>
#include <random>
#include <string>

using vell::service::AudioDecoder;

using vell::test::wavTone;

TEST(AudioDecoder, ResamplesToSixteenKilohertzMono) {
    auto samples = AudioDecoder::decode(wavTone(-12, 1.0, 44100, 2), 60);
    EXPECT_NEAR(static_cast<double>(samples.size()), 16000, 50);
    auto loudest = *std::max_element(samples.begin(), samples.end());
    EXPECT_GT(loudest, 6000);  // the tone survives the mixdown
}

TEST(AudioDecoder, RefusesWhatIsNotAudio) {
    EXPECT_THROW(AudioDecoder::decode("", 60), AudioDecoder::Unreadable);
    EXPECT_THROW(AudioDecoder::decode("this is not a recording", 60), AudioDecoder::Unreadable);
    std::string truncated = wavTone(-12, 0.5).substr(0, 30);
    EXPECT_THROW(AudioDecoder::decode(truncated, 60), AudioDecoder::Unreadable);
}

TEST(AudioDecoder, RefusesRecordingsAboveTheLimit) {
    EXPECT_THROW(AudioDecoder::decode(wavTone(-12, 3.0), 2.0), AudioDecoder::TooLong);
    EXPECT_NO_THROW(AudioDecoder::decode(wavTone(-12, 1.5), 2.0));
}

TEST(AudioDecoder, SurvivesRandomBytes) {
    std::mt19937 random(7);
    std::string valid = wavTone(-12, 0.2);
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
