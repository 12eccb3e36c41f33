#include "service/AudioDecoder.h"

#include <gtest/gtest.h>

#include "AudioFixture.h"

using vell::service::AudioDecoder;
using vell::test::wavTone;

TEST(AudioDecoder, ResamplesToSixteenKilohertzMono) {
    auto samples = AudioDecoder::decode(wavTone(-12, 1.0, 44100, 2), 60);
    EXPECT_NEAR(static_cast<double>(samples.size()), 16000, 50);
    EXPECT_GT(*std::max_element(samples.begin(), samples.end()), 6000);  // the tone survives the mixdown
}

TEST(AudioDecoder, RefusesWhatIsNotAudioAndRecordingsAboveTheLimit) {
    for (auto bytes : {std::string(), std::string("this is not a recording"), wavTone(-12, 0.5).substr(0, 30)})
        EXPECT_THROW(AudioDecoder::decode(bytes, 60), AudioDecoder::Unreadable) << bytes.size();
    EXPECT_THROW(AudioDecoder::decode(wavTone(-12, 3.0), 2.0), AudioDecoder::TooLong);
    EXPECT_NO_THROW(AudioDecoder::decode(wavTone(-12, 1.5), 2.0));
}
