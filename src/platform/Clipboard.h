#pragma once
// The general clipboard. On X11 this is the CLIPBOARD selection: one item with
// many targets (types), each served by its owner on request.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Task.h"

namespace vell::platform {

class Clipboard {
public:
    // Everything the clipboard held: items in order, each with its types in
    // order and the bytes of each type. Types that gave no data are left out.
    struct Snapshot {
        using Item = std::vector<std::pair<std::string, std::string>>;  // type, bytes
        std::vector<Item> items;
        // False when a program held the clipboard but did not say in time what
        // it holds: nothing is known, and replacing it would lose it.
        bool readable = true;
        bool operator==(const Snapshot&) const = default;
    };

    virtual ~Clipboard() = default;

    // Reads every item and type (asynchronously: the owner may be another program).
    virtual Task<Snapshot> capture() = 0;
    // Empties the clipboard and puts `utf8` on it as plain text. Returns the
    // change count after the change.
    // With `expected`, the change is made only if the change count would still
    // be `expected` once every change already made (by anyone, noticed here or
    // not yet) is counted, decided at the moment of the change: a copy in
    // another program that lands first always wins. Returns nothing then.
    virtual std::optional<std::uint64_t> setText(const std::string& utf8,
                                                 std::optional<std::uint64_t> expected = std::nullopt) = 0;
    // Empties the clipboard and puts the snapshot back (an empty snapshot
    // leaves the clipboard empty); `expected` as for setText(). Returns whether it did.
    virtual bool restore(const Snapshot& snapshot, std::optional<std::uint64_t> expected = std::nullopt) = 0;
    // Grows on every change of the clipboard's contents, ours or anyone's.
    virtual std::uint64_t changeCount() = 0;
    // Called on the main loop whenever another program fetched data we put on
    // the clipboard; the argument is the change count it was fetched under.
    virtual void setOnServed(std::function<void(std::uint64_t)> onServed) = 0;
};

}  // namespace vell::platform
