// The service dies in the middle of an upload: a real process on loopback that
// takes the first part of the recording and is then killed. The take ends
// with one sentence on the problem line, its recording is deleted, and the
// next take goes through once the service answers on the same address again.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "ControllerDoubles.h"
#include "audio/CloudRecogniser.h"
#include "dictation/DictationController.h"
#include "platform/linux/CurlHttpClient.h"
#include "platform/linux/GlibMainLoop.h"

namespace {

using namespace vell::test;
using Controller = vell::dictation::DictationController;
using Phase = Controller::Phase;
using Mode = Controller::Mode;

// A listening socket on a free loopback port.
int listenOnLoopback(int& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd, 4) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return -1;
    port = ntohs(address.sin_port);
    return fd;
}

// A service process that reads `bytes` of the first request and is then
// killed, the way the system ends a process: no answer, the connection reset.
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

class ServiceFaultTest : public ::testing::Test {
protected:
    ServiceFaultTest()
        : folder(std::filesystem::temp_directory_path() / ("vell-service-fault-" + std::to_string(::getpid()))),
          listener(listenOnLoopback(port)),
          recorder(loop, folder),
          recogniser(session, http, loop, "http://127.0.0.1:" + std::to_string(port), 10),
          fillService(loop),
          paste(loop) {
        controller = Controller::create(
            {loop, recorder, recogniser, fillEngine, fillService, paste, session, desktop, clipboard, loginItem});
    }
    ~ServiceFaultTest() override {
        controller.reset();
        loop.runFor(0.2);
        if (listener >= 0) ::close(listener);
        std::filesystem::remove_all(folder);
    }

    // One take whose recording is `bytes` long.
    void take(std::size_t bytes) {
        controller->begin(Mode::dictate);
        ASSERT_TRUE(loop.runUntil([&] { return controller->phase() == Phase::recording(Mode::dictate); }, 30));
        std::ofstream(recorder.files.back(), std::ios::binary) << std::string(bytes, 'a');
        ASSERT_TRUE(loop.runUntil([&] { return controller->elapsed() >= 0.5; }, 30));
        controller->finish();
        ASSERT_TRUE(loop.runUntil([&] { return controller->phase() == Phase::idle(); }, 60));
    }

    std::filesystem::path folder;
    int port = 0;
    int listener = -1;
    vell::platform::GlibMainLoop loop;
    vell::platform::CurlHttpClient http;
    SessionDouble session;
    RecorderDouble recorder;
    vell::audio::CloudRecogniser recogniser;
    FillEngineDouble fillEngine;
    FillServiceDouble fillService;
    PasteDouble paste;
    DesktopDouble desktop;
    ControllerClipboardDouble clipboard;
    LoginItemDouble loginItem;
    std::shared_ptr<Controller> controller;
};

TEST_F(ServiceFaultTest, AServiceKilledDuringAnUploadEndsTheTakeWithOneSentenceAndNoRecordingLeft) {
    ASSERT_GE(listener, 0);
    // Far more than the loopback buffers hold, so the upload is still going when the service dies.
    const std::size_t recordingSize = 32 << 20;
    const pid_t service = serviceKilledAfter(listener, 256 << 10);
    ASSERT_GT(service, 0);

    take(recordingSize);
    int status = 0;
    ASSERT_EQ(::waitpid(service, &status, 0), service);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);  // killed, not finished

    EXPECT_EQ(controller->problem(), vell::audio::RecogniserError::unreachable().what());
    EXPECT_TRUE(paste.inserts.empty());
    ASSERT_EQ(recorder.files.size(), 1u);
    EXPECT_FALSE(std::filesystem::exists(recorder.files[0]));

    // The service comes back on the same address: the next take is typed.
    ::close(std::exchange(listener, -1));
    httplib::Server back;
    back.Post("/api/v1/dictate", [](const httplib::Request&, httplib::Response& answer) {
        answer.set_content(R"({"text":"back again"})", "application/json");
    });
    ASSERT_TRUE(back.bind_to_port("127.0.0.1", port));
    std::thread serving([&] { back.listen_after_bind(); });
    take(64 << 10);
    back.stop();
    serving.join();

    ASSERT_TRUE(loop.runUntil([&] { return paste.inserts.size() == 1; }, 30));
    EXPECT_EQ(paste.inserts[0].text, "back again");
    ASSERT_EQ(recorder.files.size(), 2u);
    EXPECT_FALSE(std::filesystem::exists(recorder.files[1]));
}

}  // namespace
