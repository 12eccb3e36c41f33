#pragma once
// A clipboard in memory that behaves like the shared one: the change count
// grows on every change, ours or another program's, and a read by another
// program of contents we put there is reported as served. Tests play the
// other programs with copyElsewhere() and readElsewhere().

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Async.h"
#include "platform/Clipboard.h"
#include "platform/MainLoop.h"

namespace vell::test {

class FakeClipboard final : public platform::Clipboard {
public:
    // The type setText() puts the text under.
    static constexpr const char* plainText = "text/plain;charset=utf-8";

    std::vector<std::string> texts;  // every text put with setText(), in order

    // ---- the interface ----
    Task<Snapshot> capture() override {
        ++captures_;
        if (captureLoop_) co_await sleep(*captureLoop_, captureSeconds_);
        co_return contents_;
    }
    std::optional<std::uint64_t> setText(const std::string& utf8,
                                         std::optional<std::uint64_t> expected = std::nullopt) override {
        if (expected && *expected != changeCount_) return std::nullopt;
        texts.push_back(utf8);
        put(Snapshot{{{{plainText, utf8}}}}, true);
        return changeCount_;
    }
    bool restore(const Snapshot& snapshot, std::optional<std::uint64_t> expected = std::nullopt) override {
        if (expected && *expected != changeCount_) return false;
        ++restores_;
        put(snapshot, true);
        return true;
    }
    std::uint64_t changeCount() override { return changeCount_; }
    void setOnServed(std::function<void(std::uint64_t)> onServed) override { onServed_ = std::move(onServed); }

    // Reading takes this long from now on, like an owner in another program;
    // the contents are those at the end of the read.
    void answerCapturesAfter(platform::MainLoop& loop, double seconds) {
        captureLoop_ = &loop;
        captureSeconds_ = seconds;
    }

    // ---- other programs ----
    // Another program copies: it becomes the owner of the contents.
    void copyElsewhere(Snapshot contents) { put(std::move(contents), false); }
    // Another program reads one type (the target of a paste reads plain text);
    // nothing when the clipboard has no such type.
    std::optional<std::string> readElsewhere(const std::string& type = plainText) {
        for (const auto& item : contents_.items)
            for (const auto& [itemType, bytes] : item)
                if (itemType == type) {
                    if (ownedByUs_ && onServed_) onServed_(changeCount_);
                    return bytes;
                }
        return std::nullopt;
    }

    // ---- what happened ----
    const Snapshot& contents() const { return contents_; }
    // The plain text on the clipboard, empty when there is none.
    std::string text() const {
        for (const auto& item : contents_.items)
            for (const auto& [type, bytes] : item)
                if (type == plainText) return bytes;
        return {};
    }
    bool ownedByUs() const { return ownedByUs_; }
    int captures() const { return captures_; }
    int restores() const { return restores_; }

private:
    void put(Snapshot contents, bool ours) {
        contents_ = std::move(contents);
        ownedByUs_ = ours;
        ++changeCount_;
    }

    Snapshot contents_;
    bool ownedByUs_ = false;
    std::uint64_t changeCount_ = 0;
    std::function<void(std::uint64_t)> onServed_;
    int captures_ = 0;
    int restores_ = 0;
    platform::MainLoop* captureLoop_ = nullptr;
    double captureSeconds_ = 0;
};

}  // namespace vell::test
