// The sign-in marker file as read at launch: any bytes on disk.
#include "FuzzInput.h"
#include "session/SessionStore.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using vell::session::SessionStore;
    auto reading = SessionStore::read(std::string(reinterpret_cast<const char*>(data), size));
    // A file that holds a session always marks a sign-in, with the same address.
    if (reading.legacy) {
        vell::fuzz::require(reading.marker.has_value(), "a legacy session comes with a marker");
        vell::fuzz::require(reading.marker->email == reading.legacy->email, "one address for both");
    }
    return 0;
}
