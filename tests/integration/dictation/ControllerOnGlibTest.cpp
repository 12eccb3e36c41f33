// The controller's flows on the product's GLib main loop: steps resume on the
// main thread, the fill engine runs on the thread pool, and the meter and the
// delayed paste run on real timers.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "ControllerDoubles.h"
#include "dictation/DictationController.h"
#include "platform/linux/GlibMainLoop.h"

namespace {

using namespace vell::test;
using Controller = vell::dictation::DictationController;
using Phase = Controller::Phase;
using Mode = Controller::Mode;

class ControllerOnGlibTest : public ::testing::Test, protected ControllerParts<vell::platform::GlibMainLoop> {
protected:
    ControllerOnGlibTest() {
        fillEngine.fields = {FillEngineDouble::field("f0", "Name")};
        fillEngine.outcomes = {{"Name", "Ada", vell::fill::FormAccess::Applied::applied}};
        fillService.mapping.values = {{"f0", "Ada"}};
        controller = Controller::create(services());
    }
    ~ControllerOnGlibTest() override {
        controller.reset();
        loop.runFor(0.2);
    }

    std::shared_ptr<Controller> controller;
};

TEST_F(ControllerOnGlibTest, ANoteFillReadsAndWritesOffTheMainThreadAndEndsOnIt) {
    const auto main = std::this_thread::get_id();
    controller->fillFromNote("note-1", "Trip");
    ASSERT_TRUE(loop.runUntil([&] { return controller->phase() == Phase::idle(); }, 30));
    ASSERT_EQ(controller->history().size(), 1u);
    EXPECT_EQ(controller->history()[0].text, "Trip");
    ASSERT_EQ(fillEngine.threads.size(), 2u);
    for (auto id : fillEngine.threads) EXPECT_NE(id, main);

    controller->undoLastFill();
    ASSERT_TRUE(loop.runUntil([&] { return fillEngine.undoneCount == 1; }, 30));
    EXPECT_NE(fillEngine.threads.back(), main);
}

TEST_F(ControllerOnGlibTest, ADictationRecordsMetersTranscribesAndPastes) {
    int hidden = 0;
    controller->willInsert = [&] { ++hidden; };
    recogniser.text = "typed by Vell";
    recogniser.uploadSeconds = 0.1;
    controller->begin(Mode::dictate);
    ASSERT_TRUE(loop.runUntil([&] { return controller->phase() == Phase::recording(Mode::dictate); }, 30));
    ASSERT_TRUE(loop.runUntil([&] { return controller->elapsed() >= 0.4; }, 30));
    EXPECT_GT(controller->micLevel(), 0.0);
    controller->finish();
    EXPECT_EQ(controller->phase(), Phase::transcribing(Mode::dictate));
    ASSERT_TRUE(loop.runUntil([&] { return paste.inserts.size() == 1; }, 30));
    EXPECT_EQ(paste.inserts[0].text, "typed by Vell");
    EXPECT_EQ(hidden, 1);
    EXPECT_EQ(controller->phase(), Phase::idle());
    ASSERT_EQ(controller->history().size(), 1u);
    EXPECT_EQ(controller->history()[0].delivery, Controller::Delivery::pasted);
    ASSERT_EQ(recorder.files.size(), 1u);
    EXPECT_FALSE(std::filesystem::exists(recorder.files[0]));
}

}  // namespace
