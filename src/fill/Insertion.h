#pragma once
// What the flows need to put a text at the cursor of the front application.

#include <string>

#include "platform/Task.h"

namespace vell::fill {

class Insertion {
public:
    virtual ~Insertion() = default;

    // Main thread. Finishes when the person's clipboard is back as it was;
    // callers need not wait for it.
    virtual Task<> insert(std::string text) = 0;
};

}  // namespace vell::fill
