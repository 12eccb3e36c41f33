#pragma once
// One dictation take at a time from the default microphone into
// "vell-dictation-<UUID>.m4a" in the input's private recordings folder. Takes
// left there by an earlier run are deleted when the recorder is made.

#include <filesystem>
#include <memory>
#include <optional>

#include "audio/Recording.h"
#include "platform/AudioInput.h"
#include "platform/Task.h"

namespace vell::audio {

class Recorder : public Recording {
public:
    explicit Recorder(platform::AudioInput& input);

    void start() override;
    std::optional<std::filesystem::path> stop(double minimumDuration) override;
    Task<bool> requestPermission() override;
    std::optional<float> averagePower() const override;
    bool interrupted() const override;
    Authorisation authorisation() override;
    std::optional<std::string> deviceName() override;

    // Deletes every take in the recordings folder, the one being recorded
    // too: what an earlier run left, or this run's on an exit that cannot wait
    // for its flows to end.
    void discardAllTakes();

private:
    platform::AudioInput* input_ = nullptr;
    std::unique_ptr<platform::AudioInput::Capture> capture_;
    std::optional<std::filesystem::path> url_;
};

}  // namespace vell::audio
