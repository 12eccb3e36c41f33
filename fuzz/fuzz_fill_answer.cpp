// The service's answer to a fill request: two bytes of status, then the body.
#include "FuzzInput.h"
#include "fill/FillService.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vell;
    fuzz::FuzzInput input(data, size);
    const int status = input.twoBytes();
    const std::string body = input.rest();
    try {
        fill::FillService::readAnswer(status, body);
        fuzz::require(status == 200, "only 200 gives a mapping");
    } catch (const fill::FillService::FillError&) {
        fuzz::require(status != 200, "200 is never a failure");
    }
    return 0;
}
