// Any text the system may hand the program as a link: both readers (the
// sign-in fragment and the debug command) must neither crash nor read out of
// bounds, whatever the host says.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "app/Links.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    (void)vell::app::links::read(text);
    if (auto parts = vell::app::links::split(text)) {
        (void)vell::app::links::signIn(*parts);
        (void)vell::app::links::debugCommand(*parts);
    }
    return 0;
}
