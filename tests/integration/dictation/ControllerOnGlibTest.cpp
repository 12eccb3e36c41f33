// The controller on the product's GLib main loop with real neighbours: a
// service killed in the middle of an upload (a real process on loopback); the
// session's sound server killed in the middle of a take. Each fault ends the take with one sentence and no
// recording left, and the next take goes through once the neighbour is back.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "ControllerDoubles.h"
#include "Polling.h"
#include "audio/CloudRecogniser.h"
#include "audio/Recorder.h"
#include "platform/linux/CurlHttpClient.h"
#include "platform/linux/GlibMainLoop.h"
#include "platform/linux/PulseAudioInput.h"

namespace {

using namespace vell::test;
using Controller = vell::dictation::DictationController;
using Phase = Controller::Phase;
using Mode = Controller::Mode;

class ControllerOnGlibTest : public ::testing::Test, protected ControllerParts<vell::platform::GlibMainLoop> {
protected:
    ~ControllerOnGlibTest() override {
        controller.reset();
        loop.runFor(0.2);
    }

    bool until(const std::function<bool()>& done, double seconds = 30) { return loop.runUntil(done, seconds); }

    // Starts a take and lets the meter run for half a second.
    void startTake() {
        controller->begin(Mode::dictate);
        ASSERT_TRUE(until([&] { return controller->phase() == Phase::recording(Mode::dictate); }));
        ASSERT_TRUE(until([&] { return controller->elapsed() >= 0.5; }));
    }
    void finishTake() {
        controller->finish();
        ASSERT_TRUE(until([&] { return controller->phase() == Phase::idle(); }, 60));
    }

    std::shared_ptr<Controller> controller;
};

// A service process that reads `bytes` of the first request on `listener`
// and is then killed, the way the system ends a process: no answer, the
// connection reset.
pid_t serviceKilledAfter(int listener, std::size_t bytes) {
    pid_t pid = ::fork();
    if (pid != 0) return pid;
    // Only system calls from here: the parent's threads may hold any lock.
    int connection = ::accept(listener, nullptr, nullptr);
    static char buffer[64 * 1024];
    for (std::size_t got = 0; got < bytes;) {
        ssize_t n = ::read(connection, buffer, sizeof buffer);
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    ::kill(::getpid(), SIGKILL);
    ::_exit(1);
}

TEST_F(ControllerOnGlibTest, AServiceKilledDuringAnUploadEndsTheTakeWithOneSentence) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const int port = ntohs(address.sin_port);
    vell::platform::CurlHttpClient http;
    vell::audio::CloudRecogniser cloud(session, http, loop, "http://127.0.0.1:" + std::to_string(port), 10);
    controller = Controller::create(services(nullptr, &cloud));
    const pid_t service = serviceKilledAfter(listener, 256 << 10);
    ASSERT_GT(service, 0);

    startTake();
    // Far more than the loopback buffers hold, so the upload is still going when the service dies.
    std::ofstream(recorder.files.back(), std::ios::binary) << std::string(32 << 20, 'a');
    finishTake();
    int status = 0;
    ASSERT_EQ(::waitpid(service, &status, 0), service);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);  // killed, not finished
    EXPECT_EQ(controller->problem(), vell::audio::RecogniserError::unreachable().what());
    EXPECT_TRUE(paste.inserts.empty());
    EXPECT_FALSE(std::filesystem::exists(recorder.files.back()));

    // The service answers on the same address again: the next take is typed.
    ::close(listener);
    httplib::Server back;
    ASSERT_TRUE(back.bind_to_port("127.0.0.1", port));
    back.Post("/api/v1/dictate", [](const httplib::Request&, httplib::Response& answer) {
        answer.set_content(R"({"text":"back again"})", "application/json");
    });
    std::thread serving([&] { back.listen_after_bind(); });
    startTake();
    finishTake();
    back.stop();
    serving.join();
    ASSERT_TRUE(until([&] { return paste.inserts.size() == 1; }));
    EXPECT_EQ(paste.inserts[0].text, "back again");
    EXPECT_FALSE(std::filesystem::exists(recorder.files.back()));
}

int recordingsIn(const std::filesystem::path& folder) {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        count += entry.path().filename().string().starts_with("vell-dictation-");
    return count;
}

TEST_F(ControllerOnGlibTest, ASoundServerKilledDuringATakeEndsItWithOneSentence) {
    vell::platform::PulseAudioInput input;
    vell::audio::Recorder microphone(input);
    const auto folder = input.temporaryDirectory();  // the session's private runtime folder
    recogniser.text = "after the restart";
    recogniser.uploadSeconds = 0.05;
    controller = Controller::create(services(&microphone));

    startTake();
    ASSERT_EQ(recordingsIn(folder), 1);
    pid_t server = 0;
    ASSERT_TRUE(std::ifstream(std::filesystem::path(std::getenv("PULSE_RUNTIME_PATH")) / "pid") >> server);
    ASSERT_EQ(::kill(server, SIGKILL), 0);
    // Still holding the key: the take ends by itself.
    ASSERT_TRUE(until([&] { return controller->phase() == Phase::idle(); }, 10));
    EXPECT_EQ(controller->problem(), "The microphone stopped \u2014 try again.");
    EXPECT_EQ(recordingsIn(folder), 0);
    EXPECT_TRUE(recogniser.calls.empty());

    // Started again with the session's own configuration.
    waitUntil([&] { return ::kill(server, 0) != 0; }, 5);
    const std::string start = "pulseaudio -n -F '" + std::string(std::getenv("VELL_SESSION_DIR")) +
                              "/vell.pa' --daemonize=yes --exit-idle-time=-1 --use-pid-file=yes >/dev/null 2>&1";
    ASSERT_EQ(std::system(start.c_str()), 0);
    ASSERT_TRUE(waitUntil([] { return std::system("pactl info >/dev/null 2>&1") == 0; }));
    startTake();
    finishTake();
    ASSERT_TRUE(until([&] { return paste.inserts.size() == 1; }));
    EXPECT_EQ(paste.inserts[0].text, "after the restart");
    EXPECT_EQ(recordingsIn(folder), 0);
}

}  // namespace
