#include "fill/Paste.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "platform/Async.h"

namespace vell::fill {

using platform::Clipboard;

// What the inserts share: which of our clipboard contents other programs have
// fetched, who is waiting for that, and the restore still to come.
struct Paste::State {
    struct Reader {
        std::uint64_t changeCount;  // the contents it waits to see fetched
        Resolver<bool> fetched;
    };
    // The latest insert: what it put on the clipboard and what it will put back.
    struct Pending {
        std::uint64_t changeCount;
        Clipboard::Snapshot snapshot;
    };

    std::uint64_t lastServed = 0;
    std::vector<Reader> readers;
    std::optional<Pending> pending;

    void served(std::uint64_t changeCount) {
        lastServed = std::max(lastServed, changeCount);
        std::erase_if(readers, [&](const Reader& reader) {
            if (reader.changeCount > lastServed) return reader.fetched.answered();
            reader.fetched(true);
            return true;
        });
    }
};

Paste::Paste(platform::MainLoop& loop, platform::Clipboard& clipboard, platform::Keyboard& keyboard)
    : loop_(&loop), clipboard_(&clipboard), keyboard_(&keyboard), state_(std::make_shared<State>()) {
    clipboard.setOnServed([weak = std::weak_ptr<State>(state_)](std::uint64_t changeCount) {
        if (auto state = weak.lock()) state->served(changeCount);
    });
}

Task<> Paste::insert(std::string text) {
    if (text.empty()) co_return;
    // Everything the flow needs after a suspension is copied here; the state is
    // held weakly so an insert outliving its Paste stops instead of touching it.
    platform::MainLoop& loop = *loop_;
    Clipboard& clipboard = *clipboard_;
    platform::Keyboard& keyboard = *keyboard_;
    const std::weak_ptr<State> weakState = state_;

    Clipboard::Snapshot snapshot;
    std::optional<std::uint64_t> placed;
    for (int attempt = 0; !placed && attempt < captureAttempts; ++attempt) {
        const std::uint64_t before = clipboard.changeCount();
        bool held = false;
        {
            // While an earlier insert's text is still on the clipboard, the person's
            // own contents are in that insert's snapshot, not on the clipboard.
            const auto state = weakState.lock();
            if (!state) co_return;
            held = state->pending && state->pending->changeCount == before;
            if (held) snapshot = state->pending->snapshot;
        }
        if (!held) {
            snapshot = co_await clipboard.capture();
            if (weakState.expired()) co_return;
        }
        // A program holds the clipboard but would not say what: taking it over
        // would lose the person's contents for good, so the text is not typed.
        // It stays in the history, from where it can be inserted again.
        // FIXME: the person is not told; the history entry still reads as pasted.
        if (!snapshot.readable) co_return;
        // Contents that changed while (or since) they were read may be half old,
        // half new, and a copy that lands before our text must not be replaced
        // by it: read again. The last read stands.
        const bool last = attempt + 1 == captureAttempts;
        placed = clipboard.setText(text, last ? std::nullopt : std::optional(before));
    }
    const std::uint64_t ours = *placed;
    weakState.lock()->pending = State::Pending{ours, snapshot};

    if (keyboard.sendPaste()) {
        const double sentAt = loop.now();
        co_await untilCalled<bool>(loop, [&](Resolver<bool> fetched) {
            auto state = weakState.lock();
            if (!state || state->lastServed >= ours) return fetched(true);
            std::erase_if(state->readers, [](const State::Reader& reader) { return reader.fetched.answered(); });
            state->readers.push_back({ours, fetched});
            loop.after(readTimeout, [fetched] { fetched(false); });
        });
        const double elapsed = loop.now() - sentAt;
        if (elapsed < restoreDelay) co_await sleep(loop, restoreDelay - elapsed);
    } else {
        // No keystroke went out: the text waits on the clipboard a moment, then
        // the old contents come back as they would after a paste.
        co_await sleep(loop, restoreDelay);
    }

    const auto state = weakState.lock();
    if (!state) co_return;
    if (state->pending && state->pending->changeCount == ours) state->pending.reset();
    // Anything put on the clipboard since (a copy elsewhere, a later insert)
    // is newer than the snapshot and wins, even when its notice is still on
    // the way to us.
    clipboard.restore(snapshot, ours);
}

}  // namespace vell::fill
