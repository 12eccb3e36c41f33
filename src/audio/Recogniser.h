#pragma once
// Speech to text for one finished recording.

#include <filesystem>
#include <string>

#include "platform/Error.h"
#include "platform/Task.h"

namespace vell::audio {

class RecogniserError : public Error {
public:
    enum class Kind { server, tooLong, unreachable };

    static RecogniserError server(int status, const std::string& message);
    static RecogniserError tooLong();
    static RecogniserError unreachable();

    Kind kind() const { return kind_; }
    int status() const { return status_; }
    const std::string& message() const { return message_; }

private:
    RecogniserError(Kind kind, int status, std::string message, const std::string& description)
        : Error(description), kind_(kind), status_(status), message_(std::move(message)) {}
    Kind kind_;
    int status_;
    std::string message_;
};

class Recogniser {
public:
    virtual ~Recogniser() = default;
    // The transcript of the audio file; throws RecogniserError, SessionError
    // or a file-reading Error.
    virtual Task<std::string> transcribe(std::filesystem::path audio, std::string mimeType) = 0;
};

}  // namespace vell::audio
