#pragma once
// AudioInput on a PulseAudio (or PipeWire-pulse) server: the default source at
// 16 kHz mono, received on PulseAudio's own thread through its asynchronous
// API and encoded as it arrives by FFmpeg's AAC encoder into an MPEG-4 audio
// (.m4a) file. One connection to the server is made at the first take and
// kept (a later take only opens a stream); a stop never waits for the server.
//
// Linux has no microphone permission outside sandboxes, so capture counts as
// authorised. The device name is the default source's description; a monitor
// of an output is not a microphone and counts as none. It is kept current on
// a thread of its own from the server's change events, so asking never blocks.
//
// Recordings go to "$XDG_RUNTIME_DIR/vell" (else "/tmp/vell-<uid>"), a folder
// of mode 0700 owned by the user; each file is 0600 from the moment it exists.

#include <memory>

#include "platform/AudioInput.h"

namespace vell::platform {

class PulseAudioInput final : public AudioInput {
public:
    static constexpr int sampleRate = 16000;

    PulseAudioInput();
    ~PulseAudioInput() override;

    // Throws Failure when there is no sound server or no source, or the file
    // cannot be written.
    std::unique_ptr<Capture> record(const std::filesystem::path& file) override;
    Authorisation authorisation() override { return Authorisation::authorised; }
    Task<bool> requestAccess() override;
    std::optional<std::string> defaultDeviceName() override;
    std::filesystem::path temporaryDirectory() override;

private:
    class Connection;
    class SourceWatch;
    std::shared_ptr<Connection> connection_;  // made at the first take, shared with the takes
    std::unique_ptr<SourceWatch> sources_;
};

}  // namespace vell::platform
