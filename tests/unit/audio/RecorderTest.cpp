// The recorder's take handling over a scripted microphone: file names, the
// minimum duration, clean-up of short takes and failed starts, permission.

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "FakeAudioInput.h"
#include "VirtualLoop.h"
#include "audio/Recorder.h"

namespace fs = std::filesystem;
using vell::audio::Recorder;
using vell::platform::AudioInput;
using vell::test::FakeAudioInput;
using Authorisation = AudioInput::Authorisation;

namespace {

class RecorderTest : public testing::Test {
protected:
    std::vector<fs::path> filesInTemporaryDirectory() const {
        std::vector<fs::path> files;
        for (const auto& entry : fs::directory_iterator(input.directory())) files.push_back(entry.path());
        return files;
    }

    FakeAudioInput input;
    Recorder recorder{input};
};

}  // namespace

TEST_F(RecorderTest, StopWithoutATakeReturnsNothingAndTouchesNoFile) {
    EXPECT_EQ(recorder.stop(0.25), std::nullopt);
    EXPECT_EQ(recorder.stop(0), std::nullopt);
    EXPECT_TRUE(filesInTemporaryDirectory().empty());
    EXPECT_EQ(input.recordCalls(), 0);
}

TEST_F(RecorderTest, TakeGoesToAFreshlyNamedFileInTheTemporaryDirectory) {
    recorder.start();
    ASSERT_EQ(input.takes().size(), 1u);
    const fs::path file = input.latest().file;
    EXPECT_EQ(file.parent_path(), input.temporaryDirectory());
    static const std::regex name(
        "vell-dictation-[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\\.m4a");
    EXPECT_TRUE(std::regex_match(file.filename().string(), name)) << file;
    EXPECT_TRUE(recorder.averagePower());
}

TEST_F(RecorderTest, TwoTakesNeverShareAFile) {
    recorder.start();
    input.latest().duration = 1;
    const auto first = recorder.stop(0.25);
    recorder.start();
    input.latest().duration = 1;
    const auto second = recorder.stop(0.25);
    ASSERT_TRUE(first && second);
    EXPECT_NE(*first, *second);
    EXPECT_TRUE(fs::exists(*first));
    EXPECT_TRUE(fs::exists(*second));
}

TEST_F(RecorderTest, ShortTakeIsDeletedAndNothingReturned) {
    recorder.start();
    input.latest().duration = 0.2;
    EXPECT_EQ(recorder.stop(0.25), std::nullopt);
    EXPECT_TRUE(input.latest().finished);
    EXPECT_FALSE(fs::exists(input.latest().file));
    EXPECT_EQ(recorder.stop(0.25), std::nullopt);
}

TEST_F(RecorderTest, TakeOfExactlyTheMinimumIsKeptAndFinished) {
    recorder.start();
    input.latest().duration = 0.25;
    const auto file = recorder.stop(0.25);
    ASSERT_TRUE(file);
    EXPECT_EQ(*file, input.latest().file);
    EXPECT_TRUE(input.latest().finished);
    EXPECT_TRUE(input.latest().released);
    EXPECT_TRUE(fs::exists(*file));
    EXPECT_EQ(recorder.stop(0.25), std::nullopt) << "the take belongs to the caller now";
    EXPECT_TRUE(fs::exists(*file));
}

TEST_F(RecorderTest, MinimumIsMeasuredOnTheCapturedDurationAtStop) {
    vell::test::VirtualLoop loop;
    input.clock = &loop;
    recorder.start();
    loop.advance(0.249999);
    EXPECT_EQ(recorder.stop(0.25), std::nullopt);

    recorder.start();
    loop.advance(0.25);
    EXPECT_TRUE(recorder.stop(0.25));
    EXPECT_GE(input.latest().durationReads, 1);
}

TEST_F(RecorderTest, FailedStartLeavesTheRecorderIdle) {
    input.failNextRecord("no source");
    EXPECT_THROW(recorder.start(), AudioInput::Failure);
    EXPECT_EQ(recorder.averagePower(), std::nullopt);
    EXPECT_EQ(recorder.stop(0.25), std::nullopt);
    EXPECT_TRUE(filesInTemporaryDirectory().empty());

    recorder.start();  // the next attempt works again
    EXPECT_TRUE(recorder.averagePower());
}

TEST_F(RecorderTest, FailedStartDuringATakeKeepsThatTakeRunning) {
    recorder.start();
    const fs::path running = input.latest().file;
    input.failNextRecord();
    EXPECT_THROW(recorder.start(), AudioInput::Failure);
    ASSERT_TRUE(recorder.averagePower());
    input.latest().duration = 2;
    EXPECT_EQ(recorder.stop(0.25), running);
}

TEST_F(RecorderTest, StartingAgainEndsAndRemovesTheEarlierTake) {
    recorder.start();
    auto& earlier = *input.takes().front();
    earlier.duration = 3;
    recorder.start();
    EXPECT_TRUE(earlier.finished);
    EXPECT_FALSE(fs::exists(earlier.file));
    input.latest().duration = 1;
    EXPECT_EQ(recorder.stop(0.25), input.latest().file);
    EXPECT_EQ(filesInTemporaryDirectory().size(), 1u);
}

TEST_F(RecorderTest, LevelIsTheCaptureAveragePowerWhileRecording) {
    EXPECT_EQ(recorder.averagePower(), std::nullopt);
    recorder.start();
    input.latest().power = -9;
    EXPECT_EQ(recorder.averagePower(), -9.0f);
    input.latest().power = -160;
    EXPECT_EQ(recorder.averagePower(), -160.0f);
    recorder.stop(0.25);
    EXPECT_EQ(recorder.averagePower(), std::nullopt);
}

TEST_F(RecorderTest, DiscardDeletesAndNeverComplains) {
    recorder.start();
    input.latest().duration = 1;
    const auto file = recorder.stop(0.25);
    ASSERT_TRUE(file && fs::exists(*file));
    Recorder::discard(file);
    EXPECT_FALSE(fs::exists(*file));
    EXPECT_NO_THROW(Recorder::discard(file));
    EXPECT_NO_THROW(Recorder::discard(std::nullopt));
    EXPECT_NO_THROW(Recorder::discard(fs::path("/proc/definitely/not/here.m4a")));
}

TEST_F(RecorderTest, PermissionAnswersAtOnceWhenDecided) {
    input.status = Authorisation::authorised;
    EXPECT_TRUE(recorder.requestPermission().get());
    for (auto refused : {Authorisation::denied, Authorisation::restricted}) {
        input.status = refused;
        auto answer = recorder.requestPermission();
        ASSERT_TRUE(answer.done());
        EXPECT_FALSE(answer.get());
    }
    EXPECT_EQ(input.accessRequests, 0) << "no prompt once decided";
}

TEST_F(RecorderTest, PermissionPromptsOnlyWhenNotDetermined) {
    input.status = Authorisation::notDetermined;
    input.accessAnswer = false;
    EXPECT_FALSE(recorder.requestPermission().get());
    EXPECT_EQ(input.accessRequests, 1);
    EXPECT_EQ(recorder.authorisation(), Authorisation::denied);
    EXPECT_FALSE(recorder.requestPermission().get());
    EXPECT_EQ(input.accessRequests, 1);

    input.status = Authorisation::notDetermined;
    input.accessAnswer = true;
    EXPECT_TRUE(recorder.requestPermission().get());
    EXPECT_EQ(input.accessRequests, 2);
}

TEST_F(RecorderTest, PermissionWaitsForThePersonsAnswer) {
    input.status = Authorisation::notDetermined;
    input.holdAccessPrompt = true;
    auto answer = recorder.requestPermission();
    EXPECT_TRUE(input.promptShowing());
    EXPECT_FALSE(answer.done());
    input.answerPrompt(true);
    ASSERT_TRUE(answer.done());
    EXPECT_TRUE(answer.get());
    EXPECT_EQ(recorder.authorisation(), Authorisation::authorised);
}
