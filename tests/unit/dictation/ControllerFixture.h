#pragma once
// A controller on the virtual clock with every collaborator replaced by a
// recording double, ready to dictate: signed in, microphone present and
// allowed, accessibility granted, an editor in front.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "ControllerDoubles.h"
#include "VirtualLoop.h"

namespace vell::test {

class ControllerTest : public ::testing::Test, protected ControllerParts<VirtualLoop> {
protected:
    using Controller = dictation::DictationController;
    using Mode = Controller::Mode;
    using Phase = Controller::Phase;
    using Authorisation = platform::AudioInput::Authorisation;

    ~ControllerTest() override {
        controller.reset();
        loop.advance(60);  // let every pending step and timer run out
    }

    Controller& make() {
        controller = Controller::create(services());
        return *controller;
    }

    // Press (dictation key or fill button), hold for `seconds`, release; then wait for the upload.
    void dictate(double seconds = 1.0, Mode mode = Mode::dictate) {
        mode == Mode::dictate ? controller->begin(mode) : controller->toggleFill();
        loop.runUntilIdle();
        loop.advance(seconds);
        mode == Mode::dictate ? controller->finish() : controller->toggleFill();
        loop.advance(recogniser.uploadSeconds + 0.01);
    }

    bool anyRecordingLeft() const {
        for (const auto& file : recorder.files)
            if (std::filesystem::exists(file)) return true;
        return false;
    }

    std::shared_ptr<Controller> controller;
};

}  // namespace vell::test
