// The sound server is killed in the middle of a take, on the real sound
// server of the test session: the take ends at once with one sentence, no
// recording is left and nothing is uploaded; once the server is back, the
// next take is recorded and typed.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "ControllerDoubles.h"
#include "audio/Recorder.h"
#include "dictation/DictationController.h"
#include "platform/linux/GlibMainLoop.h"
#include "platform/linux/PulseAudioInput.h"

namespace {

using namespace vell::test;
using Controller = vell::dictation::DictationController;
using Phase = Controller::Phase;
using Mode = Controller::Mode;

int recordingsIn(const std::filesystem::path& folder) {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        count += entry.path().filename().string().starts_with("vell-dictation-");
    return count;
}

bool killSoundServer() {
    const char* runtime = std::getenv("PULSE_RUNTIME_PATH");
    if (!runtime) return false;
    pid_t pid = 0;
    if (!(std::ifstream(std::filesystem::path(runtime) / "pid") >> pid) || pid <= 0 || ::kill(pid, SIGKILL) != 0)
        return false;
    for (int i = 0; i < 200 && (::kill(pid, 0) == 0 || errno != ESRCH); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    return true;
}

// Starts the server again with the session's own configuration.
bool startSoundServer() {
    const char* session = std::getenv("VELL_SESSION_DIR");
    if (!session) return false;
    const std::string start = "pulseaudio -n -F '" + std::string(session) +
                              "/vell.pa' --daemonize=yes --exit-idle-time=-1 --use-pid-file=yes >/dev/null 2>&1";
    if (std::system(start.c_str()) != 0) return false;
    for (int i = 0; i < 100; ++i) {
        if (std::system("pactl info >/dev/null 2>&1") == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

class SoundServerFaultTest : public ::testing::Test {
protected:
    SoundServerFaultTest() : recorder(input), recogniser(loop), fillService(loop), paste(loop) {
        recogniser.text = "after the restart";
        recogniser.uploadSeconds = 0.05;
        controller = Controller::create(
            {loop, recorder, recogniser, fillEngine, fillService, paste, session, desktop, clipboard, loginItem});
    }
    ~SoundServerFaultTest() override {
        controller.reset();
        loop.runFor(0.2);
    }

    void startTake() {
        controller->begin(Mode::dictate);
        ASSERT_TRUE(loop.runUntil([&] { return controller->phase() == Phase::recording(Mode::dictate); }, 30));
        ASSERT_TRUE(loop.runUntil([&] { return controller->elapsed() >= 0.5; }, 30));
    }

    vell::platform::GlibMainLoop loop;
    vell::platform::PulseAudioInput input;
    // Where the recorder puts its takes: the session's private runtime folder.
    const std::filesystem::path folder = input.temporaryDirectory();
    vell::audio::Recorder recorder;
    RecogniserDouble recogniser;
    FillEngineDouble fillEngine;
    FillServiceDouble fillService;
    PasteDouble paste;
    SessionDouble session;
    DesktopDouble desktop;
    ControllerClipboardDouble clipboard;
    LoginItemDouble loginItem;
    std::shared_ptr<Controller> controller;
};

TEST_F(SoundServerFaultTest, ATakeWhoseSoundServerIsKilledEndsWithOneSentenceAndTheNextWorksOnceItIsBack) {
    startTake();
    ASSERT_EQ(recordingsIn(folder), 1);
    ASSERT_TRUE(killSoundServer());

    // Still holding the key: the take ends by itself.
    ASSERT_TRUE(loop.runUntil([&] { return controller->phase() == Phase::idle(); }, 10));
    EXPECT_EQ(controller->problem(), "The microphone stopped \u2014 try again.");
    EXPECT_EQ(recordingsIn(folder), 0);
    EXPECT_TRUE(recogniser.calls.empty());
    controller->finish();  // the key let go afterwards changes nothing
    EXPECT_EQ(controller->phase(), Phase::idle());

    ASSERT_TRUE(startSoundServer());
    startTake();
    controller->finish();
    ASSERT_TRUE(loop.runUntil([&] { return paste.inserts.size() == 1; }, 30));
    EXPECT_EQ(paste.inserts[0].text, "after the restart");
    EXPECT_EQ(recogniser.calls.size(), 1u);
    EXPECT_EQ(recordingsIn(folder), 0);
}

}  // namespace
