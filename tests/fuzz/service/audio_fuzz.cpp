// Any upload through the audio decoder.
#include "AudioDecoder.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        vell::service::AudioDecoder::decode(std::string_view(reinterpret_cast<const char*>(data), size), 5);
    } catch (const std::runtime_error&) {
        // Unreadable and TooLong are answers, not faults.
    }
    return 0;
}
