// The recorder on a real sound server: the headless session's virtual
// microphone hears whatever is played into the sink "vell_mic_sink".

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "MicrophoneFixtures.h"
#include "audio/Recorder.h"
#include "platform/linux/PulseAudioInput.h"

namespace fs = std::filesystem;
using vell::audio::Recorder;
using vell::platform::AudioInput;
using vell::platform::PulseAudioInput;
using namespace vell::test;

namespace {

struct RecorderIntegrationTest : testing::Test {
    fs::path scratch(const std::string& name) const { return real.temporaryDirectory() / name; }

    std::set<fs::path> recordingsOnDisk() const {
        std::set<fs::path> files;
        for (const auto& entry : fs::directory_iterator(real.temporaryDirectory()))
            if (entry.path().filename().string().starts_with("vell-dictation-")) files.insert(entry.path());
        return files;
    }

    mutable PulseAudioInput real;
};

TEST_F(RecorderIntegrationTest, SpeechTakeIsSixteenKilohertzMonoAacWithTheCapturedDuration) {
    const fs::path speech =
        speechFile("Please schedule the design review for Tuesday afternoon at three.", scratch("speech.wav"));
    ASSERT_FALSE(speech.empty()) << "flite could not speak";

    const fs::path file = scratch("speech-take.m4a");
    auto capture = real.record(file);
    auto player = playIntoMicrophone(speech);
    float loudest = -160;
    ASSERT_TRUE(waitUntil([&] {
        loudest = std::max(loudest, capture->averagePower());
        return capture->duration() >= 1.5 && loudest > -40;
    })) << "no speech reached the microphone; loudest "
        << loudest;
    capture->finish();
    const double captured = capture->duration();

    const auto facts = inspect(file);
    ASSERT_TRUE(facts.opened);
    EXPECT_NE(facts.container.find("m4a"), std::string::npos) << facts.container;
    EXPECT_EQ(facts.codec, AV_CODEC_ID_AAC);
    EXPECT_EQ(facts.sampleRate, 16000);
    EXPECT_EQ(facts.channels, 1);
    EXPECT_NEAR(facts.duration, captured, 0.03);
    EXPECT_NEAR(static_cast<double>(facts.decodedSamples) / 16000, captured, 0.07);
    EXPECT_GT(facts.loudestWindowDecibels, -35) << "the speech is not in the file";
}

TEST_F(RecorderIntegrationTest, LevelFollowsAToneAndFallsToNothingInSilence) {
    auto capture = real.record(scratch("tone-take.m4a"));
    ASSERT_TRUE(waitUntil([&] { return capture->duration() >= 0.3; }));
    EXPECT_LT(capture->averagePower(), -50) << "before any sound";

    auto player = playIntoMicrophone(toneFile(-9, 2.0, scratch("tone.wav")));
    ASSERT_TRUE(waitUntil([&] { return capture->averagePower() > -12; })) << capture->averagePower();
    // Several readings over a few hundred milliseconds of steady tone.
    for (int i = 0; i < 5; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        const float level = capture->averagePower();
        if (level < -12) break;  // the tone ended on a slow machine
        EXPECT_NEAR(level, -9.0, 0.6);
    }
    EXPECT_EQ(player->wait(), 0);
    EXPECT_TRUE(waitUntil([&] { return capture->averagePower() < -100; })) << capture->averagePower();
    capture->finish();
}

TEST_F(RecorderIntegrationTest, UnreachableSoundServerFailsTheStartUntilItIsBack) {
    const auto before = recordingsOnDisk();
    ::setenv("PULSE_SERVER", ("unix:" + scratch("no-such-socket").string()).c_str(), 1);
    Recorder recorder(real);
    EXPECT_THROW(recorder.start(), AudioInput::Failure);
    EXPECT_EQ(recorder.stop(0.25), std::nullopt);
    EXPECT_EQ(PulseAudioInput().defaultDeviceName(), std::nullopt);
    ::unsetenv("PULSE_SERVER");
    EXPECT_EQ(recordingsOnDisk(), before);

    recorder.start();
    EXPECT_TRUE(recorder.averagePower());
    Recorder::discard(recorder.stop(0));
}

// An unwritable file fails the start and frees the source; a take finished at
// once is still a complete file.
TEST_F(RecorderIntegrationTest, UnwritableFileFailsTheStartAndAnEmptyTakeIsStillAFile) {
    EXPECT_THROW(real.record(scratch("missing-folder") / "take.m4a"), AudioInput::Failure);
    EXPECT_FALSE(fs::exists(scratch("missing-folder")));
    real.record(scratch("empty-take.m4a"))->finish();
    const auto facts = inspect(scratch("empty-take.m4a"));
    ASSERT_TRUE(facts.opened);
    EXPECT_EQ(facts.codec, AV_CODEC_ID_AAC);
    EXPECT_LT(facts.duration, 0.1);
}

TEST_F(RecorderIntegrationTest, TheMicrophoneIsNamedAfterTheDefaultSourceUnlessThatIsAMonitor) {
    Recorder recorder(real);
    EXPECT_EQ(recorder.deviceName(), "Vell-Virtual-Microphone");
    ASSERT_EQ(std::system("pactl set-default-source vell_mic_sink.monitor"), 0);
    EXPECT_TRUE(waitUntil([&] { return !recorder.deviceName(); }));
    ASSERT_EQ(std::system("pactl set-default-source vell_mic"), 0);
    EXPECT_TRUE(waitUntil([&] { return recorder.deviceName() == "Vell-Virtual-Microphone"; }));
    EXPECT_EQ(recorder.authorisation(), AudioInput::Authorisation::authorised);
}

// A sound server that stops answering mid-take: finishing still returns
// (after at most one bounded wait) with a complete file.
TEST_F(RecorderIntegrationTest, FinishingATakeOnAHungSoundServerReturns) {
    pid_t server = 0;
    std::ifstream(std::string(std::getenv("PULSE_RUNTIME_PATH")) + "/pid") >> server;
    ASSERT_GT(server, 0);
    auto capture = real.record(scratch("hung-take.m4a"));
    ASSERT_TRUE(waitUntil([&] { return capture->duration() >= 0.3; }));
    ::kill(server, SIGSTOP);
    ::usleep(200'000);  // the server's buffered audio is read up
    capture->duration();
    capture->finish();
    ::kill(server, SIGCONT);
    EXPECT_TRUE(inspect(scratch("hung-take.m4a")).opened);
}

// Run on its own by the test below (sound servers refuse a forked child):
// starts a take whatever the umask and waits to be killed.
TEST(RecordingRun, UntilKilled) {
    if (!std::getenv("VELL_RECORD_UNTIL_KILLED")) GTEST_SKIP() << "only as the run the next test kills";
    ::umask(0);
    PulseAudioInput input;
    Recorder recorder(input);
    recorder.start();
    for (;;) ::pause();
}

// A take belongs to the person alone: a folder only they can open and a file
// only they can read from its first byte, whatever the umask; and a take that
// a killed run left behind is gone once the next recorder is made.
TEST_F(RecorderIntegrationTest, TakesArePrivateAndOneLeftByAKilledRunIsRemoved) {
    const auto before = recordingsOnDisk();
    ::setenv("VELL_RECORD_UNTIL_KILLED", "1", 1);
    ChildProcess run({"/proc/self/exe", "--gtest_filter=RecordingRun.UntilKilled"});
    ::unsetenv("VELL_RECORD_UNTIL_KILLED");
    fs::path take;
    ASSERT_TRUE(waitUntil([&] {
        for (const auto& file : recordingsOnDisk())
            if (!before.contains(file)) take = file;
        return !take.empty();
    })) << "the run made no take";
    run.signal(SIGKILL);
    run.wait();

    struct stat folder {
    }, file{};
    ASSERT_EQ(::stat(take.parent_path().c_str(), &folder), 0);
    ASSERT_EQ(::stat(take.c_str(), &file), 0);
    EXPECT_EQ(folder.st_mode & 0777, 0700u);
    EXPECT_EQ(file.st_mode & 0777, 0600u);
    Recorder next(real);
    EXPECT_FALSE(fs::exists(take));
}

}  // namespace
