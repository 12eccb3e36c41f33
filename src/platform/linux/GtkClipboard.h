#pragma once
// The X11 CLIPBOARD selection through GTK's clipboard. The owner serves each
// target on request, so reading is asynchronous and goes target by target;
// what we put there we serve ourselves for as long as the process lives (or a
// clipboard manager takes it over).

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/Clipboard.h"
#include "platform/MainLoop.h"

namespace vell::platform {

class GtkClipboard final : public Clipboard {
public:
    // A capture asks for every target at once and waits this long in all for
    // the owner to answer: a busy or slow program still gets its contents
    // back. A target not answered by then is taken to have no data; an owner
    // that did not even list its targets makes the snapshot unreadable.
    static constexpr double captureBudget = 3.0;

    // Main thread, after gtk_init(). Uses the default display.
    explicit GtkClipboard(MainLoop& loop);
    ~GtkClipboard() override;
    GtkClipboard(const GtkClipboard&) = delete;
    GtkClipboard& operator=(const GtkClipboard&) = delete;

    // One item holding every target the owner offers, meta targets left out.
    Task<Snapshot> capture() override;
    // With `expected`, the X server is held for the moment of the check and
    // the change, so no other program's change can fall between them.
    std::optional<std::uint64_t> setText(const std::string& utf8,
                                         std::optional<std::uint64_t> expected = std::nullopt) override;
    // Every type of every item becomes one target; the first item that has a
    // type wins it.
    bool restore(const Snapshot& snapshot, std::optional<std::uint64_t> expected = std::nullopt) override;
    std::uint64_t changeCount() override;
    void setOnServed(std::function<void(std::uint64_t)> onServed) override;

    struct Core;    // what our served contents report back to; outlives us while they live
    struct Served;  // contents we put on the clipboard

private:
    struct Answer {
        std::string type;  // the type the owner answered with
        std::string bytes;
    };
    using Answers = std::vector<std::optional<Answer>>;
    Task<std::optional<std::vector<std::string>>> offeredTargets(double seconds);
    Task<Answers> readAll(std::vector<std::string> targets, double seconds);
    std::optional<std::uint64_t> take(std::unique_ptr<Served> contents, std::optional<std::uint64_t> expected);

    MainLoop& loop_;
    std::shared_ptr<Core> core_;
    // The type each target was answered with at the latest capture (e.g. TEXT
    // answered as UTF8_STRING), so a restore answers the same way.
    std::map<std::string, std::string> answerTypes_;
};

}  // namespace vell::platform
