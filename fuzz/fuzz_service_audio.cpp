// Any upload through the service's audio decoder: unreadable and too long are
// answers, anything else (a crash, a leak of another exception) is a fault.
#include "FuzzInput.h"
#include "service/AudioDecoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using vell::service::AudioDecoder;
    try {
        AudioDecoder::decode(vell::fuzz::FuzzInput(data, size).rest(), 5);
    } catch (const AudioDecoder::Unreadable&) {
    } catch (const AudioDecoder::TooLong&) {}
    return 0;
}
