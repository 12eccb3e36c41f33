#pragma once
// The recogniser of the Vell service: uploads the recording as it is to
// POST apiBase + "/api/v1/dictate" and reads "text" from the JSON answer.

#include <filesystem>
#include <string>

#include "audio/Recogniser.h"
#include "platform/HttpClient.h"
#include "platform/MainLoop.h"
#include "session/Session.h"

namespace vell::audio {

class CloudRecogniser final : public Recogniser {
public:
    // How long the request may go without a byte moving before it counts as unreachable.
    static constexpr double defaultIdleTimeout = 20;

    // `apiBase` is the service's base address; the path is appended as text.
    CloudRecogniser(session::Session& session, platform::HttpClient& http, platform::MainLoop& loop,
                    std::string apiBase, double idleTimeoutSeconds = defaultIdleTimeout);

    // Asks the session for a token first (no token, no request), then reads the
    // file and talks to the service off the main thread.
    Task<std::string> transcribe(std::filesystem::path audio, std::string mimeType) override;

    // The transcript of a service answer, or the RecogniserError it stands for.
    static std::string interpret(const platform::HttpClient::Response& response);

private:
    // The dictation request without its body.
    platform::HttpClient::Request request(const std::string& token, const std::string& mimeType) const;

    session::Session& session_;
    platform::HttpClient& http_;
    platform::MainLoop& loop_;
    std::string apiBase_;
    double idleTimeout_;
};

}  // namespace vell::audio
