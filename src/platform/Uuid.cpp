#include "platform/Uuid.h"

#include <uuid/uuid.h>

namespace vell::platform {

Uuid Uuid::random() {
    Uuid id;
    uuid_generate_random(id.bytes.data());
    return id;
}

std::string Uuid::text() const {
    char buffer[37];
    uuid_unparse_upper(bytes.data(), buffer);
    return buffer;
}

}  // namespace vell::platform
