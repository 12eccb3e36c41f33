// The recorder on a real sound server: the headless session's virtual
// microphone hears whatever is played into the sink "vell_mic_sink".

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>

#include "MicrophoneFixtures.h"
#include "audio/Recorder.h"
#include "platform/linux/PulseAudioInput.h"

namespace fs = std::filesystem;
using vell::audio::Recorder;
using vell::platform::AudioInput;
using vell::platform::PulseAudioInput;
using namespace vell::test;

namespace {

// The product's input, with a window on the take in progress so a test can
// wait for a given captured duration.
class WatchedInput final : public AudioInput {
public:
    std::unique_ptr<Capture> record(const fs::path& file) override {
        auto capture = real.record(file);
        latest = capture.get();
        return capture;
    }
    Authorisation authorisation() override { return real.authorisation(); }
    vell::Task<bool> requestAccess() override { return real.requestAccess(); }
    std::optional<std::string> defaultDeviceName() override { return real.defaultDeviceName(); }
    fs::path temporaryDirectory() override { return real.temporaryDirectory(); }

    PulseAudioInput real;
    Capture* latest = nullptr;
};

class RecorderIntegrationTest : public testing::Test {
protected:
    fs::path scratch(const std::string& name) const { return real.temporaryDirectory() / name; }

    std::set<fs::path> recordingsOnDisk() const {
        std::set<fs::path> files;
        for (const auto& entry : fs::directory_iterator(real.temporaryDirectory()))
            if (entry.path().filename().string().starts_with("vell-dictation-")) files.insert(entry.path());
        return files;
    }

    mutable PulseAudioInput real;
};

}  // namespace

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
    EXPECT_GE(captured, 1.5);
    EXPECT_NEAR(facts.duration, captured, 0.03);
    EXPECT_NEAR(static_cast<double>(facts.decodedSamples) / 16000, captured, 0.07);
    EXPECT_GT(facts.loudestWindowDecibels, -35) << "the speech is not in the file";
}

TEST_F(RecorderIntegrationTest, EmptyTakeIsStillACompleteFile) {
    const fs::path file = scratch("empty-take.m4a");
    auto capture = real.record(file);
    capture->finish();
    const auto facts = inspect(file);
    ASSERT_TRUE(facts.opened);
    EXPECT_EQ(facts.codec, AV_CODEC_ID_AAC);
    EXPECT_EQ(facts.sampleRate, 16000);
    EXPECT_LT(facts.duration, 0.1);
}

TEST_F(RecorderIntegrationTest, LevelFollowsAToneAndFallsToNothingInSilence) {
    const fs::path tone = toneFile(-9, 2.0, scratch("tone.wav"));
    auto capture = real.record(scratch("tone-take.m4a"));

    ASSERT_TRUE(waitUntil([&] { return capture->duration() >= 0.3; }));
    EXPECT_EQ(meterScale(capture->averagePower()), 0.0) << capture->averagePower() << " dBFS before any sound";

    auto player = playIntoMicrophone(tone);
    ASSERT_TRUE(waitUntil([&] { return meterScale(capture->averagePower()) > 0.75; }))
        << "the tone never showed; level " << capture->averagePower();
    // Several readings over a few hundred milliseconds of steady tone.
    for (int i = 0; i < 5; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        const float level = capture->averagePower();
        if (meterScale(level) < 0.75) break;  // the tone ended on a slow machine
        EXPECT_NEAR(level, -9.0, 0.6);
        EXPECT_NEAR(meterScale(level), 0.82, 0.015);
    }
    EXPECT_EQ(player->wait(), 0);
    ASSERT_TRUE(waitUntil([&] { return capture->averagePower() < -100; }))
        << "silence after the tone reads " << capture->averagePower();
    EXPECT_EQ(meterScale(capture->averagePower()), 0.0);
    capture->finish();
}

TEST_F(RecorderIntegrationTest, UnreachableSoundServerFailsTheStart) {
    const auto before = recordingsOnDisk();
    ::setenv("PULSE_SERVER", ("unix:" + scratch("no-such-socket").string()).c_str(), 1);
    Recorder recorder(real);
    EXPECT_THROW(recorder.start(), AudioInput::Failure);
    EXPECT_EQ(recorder.stop(0.25), std::nullopt);
    EXPECT_EQ(PulseAudioInput().defaultDeviceName(), std::nullopt);
    ::unsetenv("PULSE_SERVER");
    EXPECT_EQ(recordingsOnDisk(), before);

    recorder.start();  // the server is back in reach
    EXPECT_TRUE(recorder.averagePower());
    Recorder::discard(recorder.stop(0));
}

TEST_F(RecorderIntegrationTest, UnwritableFileFailsTheStartAndReleasesTheMicrophone) {
    EXPECT_THROW(real.record(scratch("missing-folder") / "take.m4a"), AudioInput::Failure);
    EXPECT_FALSE(fs::exists(scratch("missing-folder")));
    auto capture = real.record(scratch("after-failure.m4a"));  // the source is free again
    ASSERT_TRUE(waitUntil([&] { return capture->duration() > 0.1; }));
    capture->finish();
    EXPECT_TRUE(inspect(scratch("after-failure.m4a")).opened);
}

TEST_F(RecorderIntegrationTest, VirtualMicrophoneIsNamedAndAuthorised) {
    Recorder recorder(real);
    EXPECT_EQ(recorder.deviceName(), "Vell-Virtual-Microphone");
    // The name follows the server's default source, from its change events.
    ASSERT_EQ(std::system("pactl set-default-source vell_mic_sink.monitor"), 0);
    EXPECT_TRUE(vell::test::waitUntil([&] { return !recorder.deviceName(); }));
    ASSERT_EQ(std::system("pactl set-default-source vell_mic"), 0);
    EXPECT_TRUE(vell::test::waitUntil([&] { return recorder.deviceName() == "Vell-Virtual-Microphone"; }));
    EXPECT_EQ(recorder.authorisation(), AudioInput::Authorisation::authorised);
    auto permission = recorder.requestPermission();
    ASSERT_TRUE(permission.done());
    EXPECT_TRUE(permission.get());
}

// A sound server that stops answering mid-take: the stop still returns (after
// at most one bounded wait) with a complete file.
TEST_F(RecorderIntegrationTest, StoppingATakeOnAHungSoundServerReturns) {
    pid_t server = 0;
    std::ifstream(std::string(std::getenv("PULSE_RUNTIME_PATH")) + "/pid") >> server;
    ASSERT_GT(server, 0);
    WatchedInput input;
    Recorder recorder(input);
    recorder.start();
    ASSERT_TRUE(vell::test::waitUntil([&] { return input.latest->duration() >= 0.3; }));
    ::kill(server, SIGSTOP);
    ::usleep(200'000);  // the server's buffered audio is read up
    const auto file = recorder.stop(0.25);
    ::kill(server, SIGCONT);
    ASSERT_TRUE(file);
    EXPECT_TRUE(inspect(*file).opened);
    Recorder::discard(file);
}

// Run on its own by the test below (sound servers refuse a forked child):
// starts a take, reports its file and waits to be killed.
TEST(RecordingRun, UntilKilled) {
    if (!std::getenv("VELL_RECORD_UNTIL_KILLED")) GTEST_SKIP() << "only as the run the next test kills";
    ::umask(0);
    PulseAudioInput input;
    Recorder recorder(input);
    recorder.start();
    for (const auto& entry : fs::directory_iterator(input.temporaryDirectory()))
        if (entry.path().filename().string().starts_with("vell-dictation-"))
            std::printf("take:%s\n", entry.path().c_str());
    std::fflush(stdout);
    for (;;) ::pause();
}

// A take belongs to the person alone: a folder only they can open and a file
// only they can read from its first byte, whatever the umask; and a take that
// a killed run left behind is gone once the next recorder is made.
TEST_F(RecorderIntegrationTest, TakesArePrivateAndOneLeftByAKilledRunIsRemoved) {
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(report[1], 1);
        ::setenv("VELL_RECORD_UNTIL_KILLED", "1", 1);
        ::execl("/proc/self/exe", "recording-run", "--gtest_filter=RecordingRun.UntilKilled", nullptr);
        ::_exit(127);
    }
    ::close(report[1]);
    std::string output;
    char c = 0;
    while (output.find('\n', output.find("take:")) == std::string::npos && ::read(report[0], &c, 1) == 1) output += c;
    ::close(report[0]);
    const auto at = output.find("take:");
    const fs::path take = at == std::string::npos ? "" : output.substr(at + 5, output.find('\n', at) - at - 5);
    struct stat folder {
    }, file{};
    const bool seen = ::stat(take.parent_path().c_str(), &folder) == 0 && ::stat(take.c_str(), &file) == 0;
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ASSERT_TRUE(seen) << "the killed run reported no take: " << output;
    EXPECT_EQ(folder.st_mode & 0777, 0700u);
    EXPECT_EQ(file.st_mode & 0777, 0600u);
    EXPECT_EQ(take.parent_path(), real.temporaryDirectory());

    ASSERT_TRUE(fs::exists(take));
    Recorder next(real);
    EXPECT_FALSE(fs::exists(take));
}
