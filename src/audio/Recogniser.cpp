#include "audio/Recogniser.h"

namespace vell::audio {

RecogniserError RecogniserError::server(int status, const std::string& message) {
    std::string description = message.empty() ? "Dictation failed (" + std::to_string(status) + ")." : message;
    return RecogniserError(Kind::server, status, message, description);
}

RecogniserError RecogniserError::tooLong() {
    return RecogniserError(Kind::tooLong, 413, "",
                           "That was longer than a dictation \u2014 record it in the app instead.");
}

RecogniserError RecogniserError::unreachable() {
    return RecogniserError(Kind::unreachable, 0, "", "Could not reach Vell. Check your connection.");
}

}  // namespace vell::audio
