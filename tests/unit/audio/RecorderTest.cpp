// The recorder's take handling over a scripted microphone: file names, the
// shortest take, clean-up of short takes and failed starts, permission.

#include <gtest/gtest.h>

#include <filesystem>

#include "FakeAudioInput.h"
#include "audio/Recorder.h"

namespace fs = std::filesystem;
using vell::audio::Recorder;
using vell::platform::AudioInput;
using vell::test::FakeAudioInput;
using Authorisation = AudioInput::Authorisation;

namespace {

struct RecorderTest : testing::Test {
    std::size_t filesInTemporaryDirectory() const {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(input.directory()), {}));
    }
    // Starts a take that captures `seconds` and stops it.
    std::optional<fs::path> take(double seconds) {
        recorder.start();
        input.latest().duration = seconds;
        return recorder.stop(0.25);
    }

    FakeAudioInput input;
    Recorder recorder{input};
};

TEST_F(RecorderTest, EachTakeGoesToItsOwnFileInTheTemporaryDirectoryAndDiscardDeletesIt) {
    EXPECT_EQ(recorder.stop(0.25), std::nullopt);  // no take yet
    const auto first = take(1), second = take(1);
    ASSERT_TRUE(first && second);
    EXPECT_NE(*first, *second);
    for (const auto& file : {*first, *second}) {
        EXPECT_EQ(file.parent_path(), input.temporaryDirectory());
        EXPECT_TRUE(file.filename().string().starts_with("vell-dictation-")) << file;
        EXPECT_EQ(file.extension(), ".m4a");
        EXPECT_TRUE(fs::exists(file));
        Recorder::discard(file);
        EXPECT_FALSE(fs::exists(file));
        EXPECT_NO_THROW(Recorder::discard(file));  // never complains
    }
    EXPECT_NO_THROW(Recorder::discard(fs::path("/proc/definitely/not/here.m4a")));
}

TEST_F(RecorderTest, TakeShorterThanTheMinimumIsDeletedAndOneOfExactlyTheMinimumKept) {
    for (const auto& [seconds, kept] : {std::pair{0.2, false}, {0.249999, false}, {0.25, true}, {3.0, true}}) {
        SCOPED_TRACE(seconds);
        const auto file = take(seconds);
        EXPECT_TRUE(input.latest().finished);
        EXPECT_EQ(fs::exists(input.latest().file), kept);
        EXPECT_EQ(file, kept ? std::optional(input.latest().file) : std::nullopt);
        EXPECT_EQ(recorder.stop(0.25), std::nullopt) << "the take belongs to the caller now";
        Recorder::discard(file);
    }
}

TEST_F(RecorderTest, FailedStartLeavesTheRecorderAsItWas) {
    input.failNextRecord("no source");
    EXPECT_THROW(recorder.start(), AudioInput::Failure);
    EXPECT_EQ(recorder.averagePower(), std::nullopt);
    EXPECT_EQ(recorder.stop(0.25), std::nullopt);
    EXPECT_EQ(filesInTemporaryDirectory(), 0u);

    recorder.start();  // the next attempt works again; a failed one during it keeps it running
    const fs::path running = input.latest().file;
    input.failNextRecord();
    EXPECT_THROW(recorder.start(), AudioInput::Failure);
    input.latest().power = -9;
    EXPECT_EQ(recorder.averagePower(), -9.0f);
    input.latest().duration = 2;
    EXPECT_EQ(recorder.stop(0.25), running);
}

TEST_F(RecorderTest, StartingAgainEndsAndRemovesTheEarlierTake) {
    recorder.start();
    auto& earlier = *input.takes().front();
    earlier.duration = 3;
    const auto later = take(1);
    EXPECT_TRUE(earlier.finished);
    EXPECT_FALSE(fs::exists(earlier.file));
    EXPECT_EQ(later, input.latest().file);
    EXPECT_EQ(filesInTemporaryDirectory(), 1u);
}

TEST_F(RecorderTest, PermissionPromptsOnlyWhenNotYetDecided) {
    const struct {
        Authorisation status;
        bool answer, granted;
        int prompts;
    } cases[] = {{Authorisation::authorised, false, true, 0},
                 {Authorisation::denied, true, false, 0},
                 {Authorisation::notDetermined, true, true, 1},
                 {Authorisation::notDetermined, false, false, 1}};
    for (const auto& c : cases) {
        FakeAudioInput input;
        input.status = c.status;
        input.accessAnswer = c.answer;
        Recorder recorder(input);
        auto answer = recorder.requestPermission();
        ASSERT_TRUE(answer.done());
        EXPECT_EQ(answer.get(), c.granted) << static_cast<int>(c.status);
        EXPECT_EQ(input.accessRequests, c.prompts) << static_cast<int>(c.status);
    }
}

}  // namespace
