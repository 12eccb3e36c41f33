#pragma once
// The default microphone: capture into a compressed file with a live level,
// the permission to use it, and its name.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/Error.h"
#include "platform/Task.h"

namespace vell::platform {

class AudioInput {
public:
    // Authorisation to capture audio, with the four values the checklist shows.
    enum class Authorisation { notDetermined = 0, restricted = 1, denied = 2, authorised = 3 };

    // Raised by record() when capture cannot start (no sound server, no source,
    // the encoder or the file cannot be opened).
    class Failure : public Error {
    public:
        using Error::Error;
    };

    // One take being captured and encoded into its file. Capture and encoding
    // run off the main thread; these calls return at once.
    class Capture {
    public:
        virtual ~Capture() = default;
        // Seconds of audio captured so far (samples / sample rate).
        virtual double duration() const = 0;
        // Average power of the latest 100 ms in dBFS (0 is full scale).
        virtual float averagePower() const = 0;
        // Stops capturing and completes the file so that it is playable.
        virtual void finish() = 0;
        // True once the source stopped delivering before finish() (the sound
        // server or the device went away); nothing more will be captured.
        virtual bool lost() const { return false; }
    };

    virtual ~AudioInput() = default;

    // Starts capturing the default microphone into `file` (MPEG-4 AAC, 16 kHz mono).
    virtual std::unique_ptr<Capture> record(const std::filesystem::path& file) = 0;
    virtual Authorisation authorisation() = 0;
    // Asks the person once; answers at once when already decided.
    virtual Task<bool> requestAccess() = 0;
    // Display name of the default input device; absent when there is no microphone.
    virtual std::optional<std::string> defaultDeviceName() = 0;
    // The folder for recordings: only this user can open it. Throws Failure
    // when no such folder can be had.
    virtual std::filesystem::path temporaryDirectory() = 0;
};

}  // namespace vell::platform
