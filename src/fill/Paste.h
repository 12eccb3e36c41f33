#pragma once
// Types a text at the cursor of the front application by a synthetic paste
// and puts the person's clipboard back afterwards.

#include <string>

#include "platform/Clipboard.h"
#include "platform/Keyboard.h"
#include "platform/MainLoop.h"
#include "platform/Task.h"

namespace vell::fill {

class Paste {
public:
    Paste(platform::MainLoop& loop, platform::Clipboard& clipboard, platform::Keyboard& keyboard);
    virtual ~Paste() = default;

    // Main thread. Finishes when the clipboard has been restored (or the
    // restore was skipped); callers need not wait for it.
    virtual Task<> insert(std::string text);

protected:
    Paste() = default;  // for test doubles that replace every operation

private:
    platform::MainLoop* loop_ = nullptr;
    platform::Clipboard* clipboard_ = nullptr;
    platform::Keyboard* keyboard_ = nullptr;
};

}  // namespace vell::fill
