// The service's answer to a dictation upload: two bytes of status, then the body.
#include "FuzzInput.h"
#include "audio/CloudRecogniser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vell;
    fuzz::FuzzInput input(data, size);
    platform::HttpClient::Response response;
    response.status = input.twoBytes();
    response.body = input.rest();
    try {
        audio::CloudRecogniser::interpret(response);
        fuzz::require(response.status == 200, "only 200 gives a transcript");
    } catch (const audio::RecogniserError& error) {
        // Every failure has a sentence for the problem line.
        fuzz::require(error.what()[0] != '\0', "a failure is never silent");
        fuzz::require(response.status != 200, "200 is never a failure");
    }
    return 0;
}
