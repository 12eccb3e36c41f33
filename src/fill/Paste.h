#pragma once
// Types a text at the cursor of the front application by a synthetic paste
// and puts the person's clipboard back afterwards.

#include <memory>
#include <string>

#include "fill/Insertion.h"
#include "platform/Clipboard.h"
#include "platform/Keyboard.h"
#include "platform/MainLoop.h"
#include "platform/Task.h"

namespace vell::fill {

class Paste : public Insertion {
public:
    // The clipboard goes back no sooner than this after the keystroke, so the
    // target has handled the paste before its contents change under it.
    static constexpr double restoreDelay = 0.35;
    // Longest wait for the target to fetch our text; a target that never asks
    // (no text field in front, or it ignored the keystroke) gets this long.
    static constexpr double readTimeout = 1.5;
    // Reads of a clipboard that keeps changing while it is read; the last one stands.
    static constexpr int captureAttempts = 3;

    Paste(platform::MainLoop& loop, platform::Clipboard& clipboard, platform::Keyboard& keyboard);
    // Main thread. Finishes when the clipboard has been restored (or the
    // restore was skipped); callers need not wait for it.
    Task<> insert(std::string text) override;

private:
    struct State;  // shared with the inserts still running, which hold it weakly

    platform::MainLoop* loop_ = nullptr;
    platform::Clipboard* clipboard_ = nullptr;
    platform::Keyboard* keyboard_ = nullptr;
    std::shared_ptr<State> state_;
};

}  // namespace vell::fill
