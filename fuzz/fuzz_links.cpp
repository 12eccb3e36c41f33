// Any text the system may hand the program as a link: both readers (the
// sign-in fragment and the debug command) must neither crash nor read out of
// bounds, whatever the host says.
#include "FuzzInput.h"
#include "app/Links.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace links = vell::app::links;
    const std::string text = vell::fuzz::FuzzInput(data, size).rest();
    (void)links::read(text);
    if (auto parts = links::split(text)) {
        (void)links::signIn(*parts);
        (void)links::debugCommand(*parts);
    }
    return 0;
}
