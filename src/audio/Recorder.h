#pragma once
// One dictation take at a time from the default microphone into
// "vell-dictation-<UUID>.m4a" in the input's private recordings folder. Takes
// left there by an earlier run are deleted when the recorder is made.

#include <filesystem>
#include <memory>
#include <optional>

#include "platform/AudioInput.h"
#include "platform/Task.h"

namespace vell::audio {

class Recorder {
public:
    using Authorisation = platform::AudioInput::Authorisation;

    explicit Recorder(platform::AudioInput& input);
    virtual ~Recorder() = default;

    // Begins a new take; throws platform::AudioInput::Failure when capture cannot start.
    virtual void start();
    // Ends the take in progress and returns its file, or nothing when there was
    // no take or it was shorter than minimumDuration (its file is then deleted).
    virtual std::optional<std::filesystem::path> stop(double minimumDuration);
    // Deletes a finished recording; every failure is ignored.
    static void discard(const std::optional<std::filesystem::path>& file);
    // True when capture is (or has just been) allowed; prompts only when not determined.
    virtual Task<bool> requestPermission();

    // Average power of the take in progress in dBFS; absent when not recording.
    virtual std::optional<float> averagePower() const;
    virtual bool isRecording() const { return capture_ != nullptr; }

    virtual Authorisation authorisation();
    virtual std::optional<std::string> deviceName();

protected:
    Recorder() = default;  // for test doubles that replace every operation

private:
    void removeLeftovers();

    platform::AudioInput* input_ = nullptr;
    std::unique_ptr<platform::AudioInput::Capture> capture_;
    std::optional<std::filesystem::path> url_;
};

}  // namespace vell::audio
