#pragma once
// What the dictation flows need of a recorder: one take at a time, its level
// while it runs, and the microphone's permission and name.

#include <filesystem>
#include <optional>
#include <string>

#include "platform/AudioInput.h"
#include "platform/Task.h"

namespace vell::audio {

class Recording {
public:
    using Authorisation = platform::AudioInput::Authorisation;

    virtual ~Recording() = default;

    // Begins a new take; throws platform::AudioInput::Failure when capture cannot start.
    virtual void start() = 0;
    // Ends the take in progress and returns its file, or nothing when there was
    // no take or it was shorter than minimumDuration (its file is then deleted).
    virtual std::optional<std::filesystem::path> stop(double minimumDuration) = 0;
    // True when capture is (or has just been) allowed; prompts only when not determined.
    virtual Task<bool> requestPermission() = 0;
    // Average power of the take in progress in dBFS; absent when not recording.
    virtual std::optional<float> averagePower() const = 0;
    // True when the take in progress can capture nothing more (the microphone
    // or the sound server went away); stop() still ends it.
    virtual bool interrupted() const { return false; }
    virtual Authorisation authorisation() = 0;
    virtual std::optional<std::string> deviceName() = 0;

    // Deletes a finished recording; every failure is ignored.
    static void discard(const std::optional<std::filesystem::path>& file);
};

}  // namespace vell::audio
