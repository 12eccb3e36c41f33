// The recorder where there is no microphone: run under a session without a
// sound server (NoSoundServer.*) and under one whose only source is the
// monitor of an output (MonitorOnly.*).

#include <gtest/gtest.h>

#include <filesystem>

#include "MicrophoneFixtures.h"
#include "audio/Recorder.h"
#include "platform/linux/PulseAudioInput.h"

namespace fs = std::filesystem;
using vell::audio::Recorder;
using vell::platform::AudioInput;
using vell::platform::PulseAudioInput;

namespace {

bool anyRecordingIn(const fs::path& directory) {
    for (const auto& entry : fs::directory_iterator(directory))
        if (entry.path().filename().string().starts_with("vell-dictation-")) return true;
    return false;
}

}  // namespace

TEST(NoSoundServer, StartFailsAndLeavesTheRecorderIdle) {
    PulseAudioInput input;
    Recorder recorder(input);
    EXPECT_THROW(recorder.start(), AudioInput::Failure);
    EXPECT_EQ(recorder.averagePower(), std::nullopt);
    EXPECT_EQ(recorder.stop(0.25), std::nullopt);
    EXPECT_FALSE(anyRecordingIn(input.temporaryDirectory()));
}

TEST(NoSoundServer, ThereIsNoMicrophone) {
    PulseAudioInput input;
    EXPECT_EQ(input.defaultDeviceName(), std::nullopt);
}

TEST(MonitorOnly, TheMonitorOfAnOutputIsNotAMicrophone) {
    PulseAudioInput input;
    EXPECT_EQ(input.defaultDeviceName(), std::nullopt);
}
