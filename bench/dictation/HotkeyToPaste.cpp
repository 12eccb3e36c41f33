// From the keys to the words, through the program as it is built
// (app::Program over LinuxPlatform) with the real recorder and vell-service on
// loopback: Control+Alt+Space pressed with XTest until the take is capturing,
// and the release of a 2 s take until the paste keystroke reaches the front
// window (a window of another process that reports each Control+V it gets).
// The service's own time for each take (timed by a relay in front of it) and
// the fixed pause before the paste are printed apart and taken off the
// program's figure.
// Run inside scripts/headless-session.sh.

#include <arpa/inet.h>
#include <gio/gio.h>
#include <glib-unix.h>
#include <gtk/gtk.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "BenchLine.h"
#include "LoopbackServer.h"
#include "app/Program.h"
#include "dictation/DictationController.h"
#include "session/SessionStore.h"

// Xlib's macros (None, Success, …) come last: they clash with names in the headers above.
#include <X11/Xatom.h>

#include "X11Keys.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using vell::dictation::DictationController;

constexpr int takes = 8;  // the first apart, then seven
constexpr double takeSeconds = 2.0;
constexpr double patience = 60;

double milliseconds(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// The front application: a bare X window of a process of its own that writes
// the steady-clock time of every Control+V it receives to `out`. Forked
// before any thread exists.
[[noreturn]] void runPasteTarget(int out) {
    Display* display = XOpenDisplay(nullptr);
    if (!display) ::_exit(1);
    const Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 200, 80, 0, 0, 0);
    const unsigned long pid = static_cast<unsigned long>(::getpid());
    XChangeProperty(display, window, XInternAtom(display, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&pid), 1);
    XSelectInput(display, window, KeyPressMask | StructureNotifyMask);
    XMapWindow(display, window);
    for (XEvent event; XNextEvent(display, &event) == 0;) {
        std::int64_t at = 0;  // 0: ready
        if (event.type == MapNotify) {
            XSetInputFocus(display, window, RevertToParent, CurrentTime);
            XSync(display, False);
        } else if (event.type == KeyPress && (event.xkey.state & ControlMask) &&
                   XLookupKeysym(&event.xkey, 0) == XK_v) {
            at = Clock::now().time_since_epoch().count();
        } else {
            continue;
        }
        if (::write(out, &at, sizeof at) != sizeof at) break;
    }
    ::_exit(0);
}

// vell-service on a free loopback port; its first account's credentials.
struct Service {
    explicit Service(const fs::path& data) : port(vell::test::closedLoopbackPort()) {
        const std::string portText = std::to_string(port);
        GSubprocessLauncher* launcher = g_subprocess_launcher_new(G_SUBPROCESS_FLAGS_STDOUT_PIPE);
        g_subprocess_launcher_set_child_setup(
            launcher, [](gpointer) { ::prctl(PR_SET_PDEATHSIG, SIGTERM); }, nullptr, nullptr);
        process = g_subprocess_launcher_spawn(launcher, nullptr, VELL_SERVICE_BINARY, "--port", portText.c_str(),
                                              "--data-dir", data.c_str(), nullptr);
        g_object_unref(launcher);
        if (!process) throw std::runtime_error("vell-service does not start");
        GDataInputStream* lines = g_data_input_stream_new(g_subprocess_get_stdout_pipe(process));
        while (char* line = g_data_input_stream_read_line_utf8(lines, nullptr, nullptr, nullptr)) {
            const std::string text(line);
            g_free(line);
            if (auto at = text.find("e-mail "); at != std::string::npos)
                email = text.substr(at + 7, text.find(',', at) - at - 7);
            if (auto at = text.find("password "); at != std::string::npos)
                password = text.substr(at + 9, text.find(' ', at + 9) - at - 9);
            if (text.find("/app") != std::string::npos) break;
        }
        g_object_unref(lines);
    }
    ~Service() {
        g_subprocess_send_signal(process, SIGTERM);
        g_subprocess_wait(process, nullptr, nullptr);
        g_object_unref(process);
    }
    std::string base() const { return "http://127.0.0.1:" + std::to_string(port); }

    int port;
    GSubprocess* process = nullptr;
    std::string email, password;
};

// A loopback relay in front of the service that notes, for every request,
// the service's own time: from the request's last byte passed on to the first
// byte of its answer. One thread per connection, for the life of the process.
class TimingRelay {
public:
    struct Answer {
        Clock::time_point asked, at;
        double milliseconds;
    };

    explicit TimingRelay(int servicePort) : servicePort_(servicePort) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 || ::listen(listener_, 16) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
            throw std::runtime_error("no relay");
        port = ntohs(address.sin_port);
        std::thread([this] {
            for (int client; (client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;)
                std::thread([this, client] { relay(client); }).detach();
        }).detach();
    }

    // The service's time for the requests answered between two moments.
    double serviceMilliseconds(Clock::time_point from, Clock::time_point to) {
        std::lock_guard lock(mutex_);
        double total = 0;
        for (const auto& answer : answers_)
            if (answer.at >= from && answer.at <= to) total += answer.milliseconds;
        return total;
    }

    // The latest answer's times.
    Answer latest() {
        std::lock_guard lock(mutex_);
        return answers_.empty() ? Answer{} : answers_.back();
    }

    int port = 0;

private:
    void relay(int client) {
        const int service = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(servicePort_));
        if (::connect(service, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            Clock::time_point asked{};  // zero: no request waits for its answer
            char buffer[65536];
            for (pollfd ends[2] = {{client, POLLIN, 0}, {service, POLLIN, 0}}; ::poll(ends, 2, -1) > 0;) {
                const bool fromClient = ends[0].revents != 0;
                const ssize_t n = ::read(fromClient ? client : service, buffer, sizeof buffer);
                if (n <= 0) break;
                const auto now = Clock::now();
                if (fromClient) {
                    asked = now;
                } else if (asked != Clock::time_point{}) {
                    std::lock_guard lock(mutex_);
                    answers_.push_back({asked, now, milliseconds(now - asked)});
                    asked = {};
                }
                std::string bytes(buffer, static_cast<std::size_t>(n));
                swap(bytes, fromClient ? relayHost() : serviceHost(), fromClient ? serviceHost() : relayHost());
                if (!writeAll(fromClient ? service : client, bytes.data(), bytes.size())) break;
            }
        }
        ::close(service);
        ::close(client);
    }
    // The service answers only to its own address (Host, Origin): the relay's
    // is swapped for it on the way in and back on the way out. Both ports
    // are ephemeral, five digits, so no length changes.
    std::string relayHost() const { return "127.0.0.1:" + std::to_string(port); }
    std::string serviceHost() const { return "127.0.0.1:" + std::to_string(servicePort_); }
    static void swap(std::string& bytes, const std::string& from, const std::string& to) {
        if (from.size() != to.size()) return;
        for (auto at = bytes.find(from); at != std::string::npos; at = bytes.find(from, at + to.size()))
            bytes.replace(at, from.size(), to);
    }
    static bool writeAll(int fd, const char* data, std::size_t size) {
        for (ssize_t n; size > 0; data += n, size -= static_cast<std::size_t>(n))
            if ((n = ::write(fd, data, size)) <= 0) return false;
        return true;
    }

    int servicePort_;
    int listener_ = -1;
    std::mutex mutex_;
    std::vector<Answer> answers_;
};

GSubprocess* play(const fs::path& sound) {
    return g_subprocess_new(G_SUBPROCESS_FLAGS_NONE, nullptr, "paplay", "-d", "vell_mic_sink", sound.c_str(), nullptr);
}

}  // namespace

int main() {
    int pipeEnds[2];
    if (::pipe(pipeEnds) != 0) return 1;
    const pid_t target = ::fork();
    if (target == 0) {
        ::close(pipeEnds[0]);
        runPasteTarget(pipeEnds[1]);
    }
    ::close(pipeEnds[1]);
    const int pastes = pipeEnds[0];
    auto readStamp = [&] {
        std::int64_t at = -1;
        return ::read(pastes, &at, sizeof at) == sizeof at ? at : -1;
    };
    if (readStamp() != 0 || !gtk_init_check(nullptr, nullptr)) {
        std::fprintf(stderr, "no display\n");
        return 1;
    }

    const fs::path scratch = fs::temp_directory_path() / ("vell-hotkey-to-paste-" + std::to_string(::getpid()));
    fs::create_directories(scratch);
    const fs::path speech = scratch / "speech.wav";
    if (std::system(("flite -voice slt -t 'please call me back about the meeting tomorrow morning' -o '" +
                     speech.string() + "'")
                        .c_str()) != 0)
        return 1;

    Service service(scratch / "service");
    vell::app::Program::Options options;
    options.platform.webView = {scratch / "WebKit", scratch / "cache", false};
    options.platform.program = scratch / "vell";
    options.platform.configHome = scratch / "config";
    TimingRelay relay(service.port);
    options.apiBase = "http://127.0.0.1:" + std::to_string(relay.port);  // dictation goes through the relay
    options.authBase = service.base();
    options.dataFolder = scratch / "Vell";
    vell::app::Program program(options, [] {});
    program.delegate().applicationDidFinishLaunching();
    auto& loop = program.platform.loop;
    auto& controller = *program.delegate().controller();

    // Signed in as the desktop program is after the web application's hand-over.
    vell::platform::HttpClient::Request signIn;
    signIn.url = service.base() + "/api/v1/auth/signin";
    signIn.headers = {{"Content-Type", "application/json"}};
    signIn.body = nlohmann::json{{"email", service.email}, {"password", service.password}}.dump();
    const auto session = nlohmann::json::parse(program.platform.http.send(signIn).body);
    vell::session::SessionStore::shared().adopt(session["access_token"], session["refresh_token"],
                                                session["expires_at"].get<double>(), service.email);
    if (!loop.runUntil(
            [&] {
                controller.refreshSetup();
                return controller.setup().signedIn && controller.setup().micDevice;
            },
            patience)) {
        std::fprintf(stderr, "not signed in, or no microphone\n");
        return 1;
    }
    // Launched and settled, as the program is long before a person dictates:
    // the page holds the session and hands out its token.
    auto token = vell::session::SessionStore::shared().accessToken();
    if (!loop.runUntil([&] { return token.done(); }, patience)) return 1;
    loop.runFor(1.0);

    // The moment the take is capturing: the first main-loop turn after the
    // controller's change to recording.
    Clock::time_point capturing{};
    auto watch = controller.subscribe([&] {
        loop.post([&] {
            if (capturing == Clock::time_point{} && controller.phase().isRecording()) capturing = Clock::now();
        });
    });
    bool pasteSeen = false;
    const guint pasteWatch = g_unix_fd_add(
        pastes, G_IO_IN,
        [](gint, GIOCondition, gpointer seen) -> gboolean {
            *static_cast<bool*>(seen) = true;
            return G_SOURCE_CONTINUE;
        },
        &pasteSeen);

    vell::test::X11Keys keys;
    std::vector<double> pressToCapture, releaseToPaste, serviceTime, own;
    for (int take = 0; take < takes; ++take) {
        const std::size_t earlier = controller.history().size();
        capturing = {};
        const auto pressed = Clock::now();
        keys.down({XK_Control_L, XK_Alt_L, XK_space});
        if (!loop.runUntil([&] { return capturing != Clock::time_point{}; }, patience)) {
            std::fprintf(stderr, "take %d never started: %s\n", take, controller.problem().value_or("").c_str());
            return 1;
        }
        pressToCapture.push_back(milliseconds(capturing - pressed));
        GSubprocess* player = play(speech);
        loop.runFor(takeSeconds - milliseconds(Clock::now() - capturing) / 1000);

        pasteSeen = false;
        const auto released = Clock::now();
        keys.up({XK_space});
        keys.up({XK_Alt_L, XK_Control_L});
        if (!loop.runUntil([&] { return pasteSeen; }, patience)) {
            std::fprintf(stderr, "take %d never pasted: %s\n", take, controller.problem().value_or("").c_str());
            return 1;
        }
        const Clock::time_point pasted{Clock::duration(readStamp())};
        releaseToPaste.push_back(milliseconds(pasted - released));
        serviceTime.push_back(relay.serviceMilliseconds(released, pasted));
        own.push_back(releaseToPaste.back() - serviceTime.back() - DictationController::pasteDelay * 1000);
        loop.runUntil([&] { return controller.phase().isIdle() && controller.history().size() > earlier; }, patience);
        loop.runFor(0.5);  // the person's clipboard comes back
        if (player) {
            g_subprocess_force_exit(player);
            g_object_unref(player);
        }
        const auto answer = relay.latest();
        std::fprintf(stderr,
                     "take %d: press to capture %.2f ms, release to paste %.1f ms (service %.1f ms; release to "
                     "request %.1f ms, answer to paste %.1f ms), \"%s\"\n",
                     take, pressToCapture.back(), releaseToPaste.back(), serviceTime.back(),
                     milliseconds(answer.asked - released), milliseconds(pasted - answer.at),
                     controller.history().empty() ? "" : controller.history().front().text.c_str());
    }
    g_source_remove(pasteWatch);

    // The first take also connects to the sound server: apart, and out of the medians.
    vell::bench::printLine("e2e.first_press_to_capture", {pressToCapture.front()}, "ms");
    vell::bench::printLine("e2e.first_release_to_paste.own", {own.front()}, "ms");
    for (auto* figures : {&pressToCapture, &releaseToPaste, &serviceTime, &own}) figures->erase(figures->begin());
    vell::bench::printLine("e2e.press_to_capture", pressToCapture, "ms", "<=30");
    vell::bench::printLine("e2e.release_to_paste", releaseToPaste, "ms");
    vell::bench::printLine("e2e.service_time", serviceTime, "ms");
    vell::bench::printLine("e2e.release_to_paste.own", own, "ms", "<=40");

    ::kill(target, SIGTERM);
    ::waitpid(target, nullptr, 0);
    std::error_code ignored;
    fs::remove_all(scratch, ignored);
    return 0;
}
