#pragma once
// Turns an uploaded recording (any container and codec FFmpeg reads, e.g. AAC
// in MP4/M4A, WAV, Ogg, WebM) into 16 kHz mono 16-bit samples, straight from
// memory.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace vell::service {

class AudioDecoder {
public:
    static constexpr int kSampleRate = 16000;

    struct Unreadable : std::runtime_error {
        using std::runtime_error::runtime_error;
    };
    struct TooLong : std::runtime_error {
        using std::runtime_error::runtime_error;
    };

    // Throws Unreadable when the bytes hold no decodable audio, TooLong when
    // they hold more than maxSeconds of it.
    static std::vector<std::int16_t> decode(std::string_view bytes, double maxSeconds);
};

}  // namespace vell::service
