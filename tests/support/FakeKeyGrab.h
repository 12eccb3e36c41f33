#pragma once
// A key grab the test drives by hand: keyDown() and keyUp() play the key, a
// combination can be marked as taken by another program, and what is held is
// visible.

#include <optional>

#include "platform/KeyGrab.h"

namespace vell::test {

class FakeKeyGrab final : public platform::KeyGrab {
public:
    bool grab(Combination combination, Handler handler) override {
        release();
        if (taken) return false;
        held_ = combination;
        handler_ = std::move(handler);
        return true;
    }
    void release() override {
        held_.reset();
        handler_ = nullptr;
    }

    // Plays one event of the key; nothing happens while nothing is grabbed.
    void keyDown() { send(true); }
    void keyUp() { send(false); }

    // True plays another program holding every combination.
    bool taken = false;
    const std::optional<Combination>& held() const { return held_; }

private:
    void send(bool pressed) {
        if (handler_) handler_(pressed);
    }
    std::optional<Combination> held_;
    Handler handler_;
};

}  // namespace vell::test
