// The whole program on one machine: the real vell-service as a child process,
// the panel's web application in WebKitGTK holding the session, the session
// store over it, the cloud recogniser, the fill service and engine over
// AT-SPI, the paste over the real clipboard and XTest keyboard, and the
// controller built as the application builds it, driving a GTK form in
// another process. One service and one web view serve every case.
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <sys/prctl.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "ChildProcesses.h"
#include "LoopbackServer.h"
#include "app/Program.h"
#include "dictation/DictationController.h"
#include "fill/FillEngine.h"
#include "integration/fill/FormProcess.h"
#include "platform/linux/CurlHttpClient.h"
#include "platform/linux/GlibMainLoop.h"
#include "platform/linux/GtkClipboard.h"
#include "platform/linux/WebKitWebView.h"
#include "platform/linux/X11Desktop.h"
#include "session/PanelWebView.h"
#include "session/SessionStore.h"

// Xlib's macros (None, Success, …) come last: they clash with names in the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <gdk/gdkx.h>

namespace vell {
namespace {

namespace fs = std::filesystem;
using dictation::DictationController;
using nlohmann::json;

constexpr double patience = 90;  // a loaded two-core machine may be slow; never a fixed sleep

fs::path scratchFolder(const std::string& name) {
    const char* session = std::getenv("VELL_SESSION_DIR");
    fs::path dir =
        (session ? fs::path(session) : fs::temp_directory_path()) / ("e2e-" + name + "-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    return dir;
}

// Speech of a known sentence (no quotes in it) by flite, as a WAV file.
bool speak(const std::string& sentence, const std::string& wav) {
    return std::system(("flite -voice slt -t '" + sentence + "' -o '" + wav + "'").c_str()) == 0;
}

// vell-service as a child on a free loopback port with a scratch data folder;
// it ends with this process, however this process ends.
class ServiceProcess {
public:
    explicit ServiceProcess(const fs::path& dataDir) : port_(test::closedLoopbackPort()) {
        std::string port = std::to_string(port_);
        std::unique_ptr<GSubprocessLauncher, decltype(&g_object_unref)> launcher(
            g_subprocess_launcher_new(G_SUBPROCESS_FLAGS_STDOUT_PIPE), &g_object_unref);
        g_subprocess_launcher_set_child_setup(
            launcher.get(), [](gpointer) { ::prctl(PR_SET_PDEATHSIG, SIGTERM); }, nullptr, nullptr);
        GError* error = nullptr;
        process_ = g_subprocess_launcher_spawn(launcher.get(), &error, VELL_SERVICE_BINARY, "--port", port.c_str(),
                                               "--data-dir", dataDir.c_str(), nullptr);
        if (!process_) {
            std::string message = error ? error->message : "cannot start vell-service";
            if (error) g_error_free(error);
            throw std::runtime_error(message);
        }
        // The first account's line comes first, the web application's address once it listens.
        GDataInputStream* lines = g_data_input_stream_new(g_subprocess_get_stdout_pipe(process_));
        for (;;) {
            char* line = g_data_input_stream_read_line_utf8(lines, nullptr, nullptr, nullptr);
            if (!line) break;
            std::string text(line);
            g_free(line);
            if (auto at = text.find("e-mail "); at != std::string::npos)
                email = text.substr(at + 7, text.find(',', at) - at - 7);
            if (auto at = text.find("password "); at != std::string::npos)
                password = text.substr(at + 9, text.find(' ', at + 9) - at - 9);
            if (text.find("/app") != std::string::npos) break;
        }
        g_object_unref(lines);
        if (email.empty() || password.empty()) throw std::runtime_error("vell-service printed no first account");
    }
    ~ServiceProcess() {
        if (!process_) return;
        g_subprocess_send_signal(process_, SIGTERM);
        g_subprocess_wait(process_, nullptr, nullptr);
        g_object_unref(process_);
    }
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
    int port() const { return port_; }

    std::string email, password;

private:
    int port_;
    GSubprocess* process_ = nullptr;
};

// The program built as the application builds it and launched, with scratch
// folders for the web view's data, the marker and the login item, and the
// service's address as its deployment.
struct World {
    static app::Program::Options options(const fs::path& scratch, const std::string& base) {
        app::Program::Options o;
        o.platform.webView = {scratch / "WebKit", scratch / "cache", false};
        o.platform.program = scratch / "vell";
        o.platform.configHome = scratch / "config";
        o.apiBase = o.authBase = base;
        o.dataFolder = scratch / "Vell";
        o.recogniserIdleTimeout = patience;
        return o;
    }

    explicit World(const fs::path& scratch)
        : service(scratch / "service"), program(options(scratch, service.base()), [] {}) {
        program.delegate().applicationDidFinishLaunching();
        store = &session::SessionStore::shared();
        raw = static_cast<platform::WebKitWebView*>(&session::PanelWebView::shared()->webView());
        controller = program.delegate().controller();
        // Notes the page asks to fill are counted on their way to the controller.
        auto& onNoteFill = session::PanelWebView::shared()->onNoteFill;
        onNoteFill = [this, forward = onNoteFill](std::string noteId, std::optional<std::string> title) {
            notesFilled.push_back(noteId);
            forward(noteId, title);
        };
    }

    ServiceProcess service;
    app::Program program;
    platform::GlibMainLoop& loop = program.platform.loop;
    platform::CurlHttpClient& http = program.platform.http;
    platform::GtkClipboard& clipboard = program.platform.clipboard;
    platform::X11Desktop& desktop = program.platform.desktop;
    fill::FillEngine fillEngine{program.platform.accessibility};
    session::SessionStore* store = nullptr;
    platform::WebKitWebView* raw = nullptr;
    DictationController* controller = nullptr;
    std::vector<std::string> notesFilled;
};

class EndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(gtk_init_check(nullptr, nullptr)) << "no display";
        scratch = scratchFolder("suite");
        try {
            world = new World(scratch);
        } catch (const std::exception& error) {
            FAIL() << error.what();
        }
    }
    static void TearDownTestSuite() {
        delete world;
        world = nullptr;
        // WebKit's processes end shortly after their view; none may outlive the suite.
        platform::GlibMainLoop loop;
        EXPECT_TRUE(loop.runUntil([] { return test::childProcesses().empty(); }, patience));
    }
    void SetUp() override {
        ASSERT_NE(world, nullptr);
        w = world;
        waitForBridge();
    }

    // ---- the page ----------------------------------------------------------------------

    // An async function body's value in the page; null when it has none.
    json js(const std::string& body, const json& arguments = json::object()) {
        std::optional<platform::WebView::ScriptResult> result;
        w->raw->callAsyncJavaScript(body, arguments, [&](platform::WebView::ScriptResult value) { result = value; });
        EXPECT_TRUE(w->loop.runUntil([&] { return result.has_value(); }, patience)) << body;
        return result && *result ? **result : json();
    }
    bool visible(const std::string& id) {
        return js("const e = document.getElementById(id); return !!e && !e.hidden", {{"id", id}}) == true;
    }
    void waitForBridge() {
        ASSERT_TRUE(w->loop.runUntil([&] { return !w->raw->isLoading() && js("return !!window.__vellBridge") == true; },
                                     patience))
            << "no web application at " << w->raw->currentURL().value_or("nothing");
    }
    json pageToken() { return js(std::string(session::PanelWebView::tokenScript)); }

    // Signs in through the page's own form, as a person would, then presses
    // Connect: the session the service hands the desktop for it reaches the
    // store as the vell://auth link's handler passes it on.
    void signInThroughThePage() {
        if (pageToken().is_string() && w->store->isSignedIn()) return;
        if (!pageToken().is_string()) {
            ASSERT_TRUE(w->loop.runUntil([&] { return visible("auth"); }, patience)) << "no sign-in form";
            js("document.getElementById('email').value = e; document.getElementById('password').value = p;"
               "document.getElementById('auth-form').requestSubmit();",
               {{"e", w->service.email}, {"p", w->service.password}});
            ASSERT_TRUE(w->loop.runUntil([&] { return !visible("auth") && visible("notes"); }, patience))
                << "sign-in did not finish";
        }
        platform::HttpClient::Request request;
        request.url = w->service.base() + "/api/v1/auth/handoff";
        request.headers = {{"Authorization", "Bearer " + pageToken().get<std::string>()}};
        request.timeoutSeconds = 30;
        const auto answer = w->http.send(request);
        ASSERT_EQ(answer.status, 200) << answer.body;
        const json handed = json::parse(answer.body);
        w->store->adopt(handed["access_token"], handed["refresh_token"], handed["expires_at"].get<double>(),
                        handed["email"].get<std::string>());
        // The page takes the handed-over session in the background.
        ASSERT_TRUE(w->loop.runUntil([&] { return pageToken() == handed["access_token"]; }, patience))
            << "the page did not adopt the desktop's session";
    }

    template <typename T>
    T finish(Task<T>& task) {
        EXPECT_TRUE(w->loop.runUntil([&] { return task.done(); }, patience));
        return task.get();
    }

    // ---- the form ----------------------------------------------------------------------

    // The sample form in its own process, made the front application.
    std::unique_ptr<test::FormProcess> startForm() {
        auto form = std::make_unique<test::FormProcess>(std::vector<std::string>{VELL_FORM_FIXTURE});
        EXPECT_TRUE(form->waitReady(patience)) << "the form fixture did not start";
        activate(form->pid());
        EXPECT_TRUE(w->loop.runUntil(
            [&] {
                auto front = w->desktop.frontApplication();
                return front && front->processId() == form->pid();
            },
            patience))
            << "the form never became the front application";
        // Its fields reach the accessibility bus a moment after its window.
        EXPECT_TRUE(w->loop.runUntil([&] { return w->fillEngine.enumerate(form->pid(), 40).size() >= 3; }, patience));
        return form;
    }

    // Gives the keyboard focus to the process's top-level window (this session runs no window manager).
    static void activate(pid_t pid) {
        Display* display = gdk_x11_get_default_xdisplay();
        Window window = findWindow(display, DefaultRootWindow(display), pid);
        ASSERT_NE(window, None) << "no window of the form";
        gdk_x11_display_error_trap_push(gdk_display_get_default());
        XSetInputFocus(display, window, RevertToParent, CurrentTime);
        XSync(display, False);
        gdk_x11_display_error_trap_pop_ignored(gdk_display_get_default());
    }
    static Window findWindow(Display* display, Window window, pid_t pid) {
        XWindowAttributes attributes{};
        if (XGetWindowAttributes(display, window, &attributes) && attributes.map_state == IsViewable) {
            Atom type = None;
            int format = 0;
            unsigned long count = 0, after = 0;
            unsigned char* data = nullptr;
            if (XGetWindowProperty(display, window, XInternAtom(display, "_NET_WM_PID", False), 0, 1, False,
                                   XA_CARDINAL, &type, &format, &count, &after, &data) == Success &&
                data) {
                const bool match = count == 1 && static_cast<pid_t>(*reinterpret_cast<unsigned long*>(data)) == pid;
                XFree(data);
                if (match) return window;
            }
        }
        Window root = None, parent = None, *children = nullptr;
        unsigned int count = 0;
        Window found = None;
        if (XQueryTree(display, window, &root, &parent, &children, &count)) {
            for (unsigned int i = 0; i < count && found == None; ++i) found = findWindow(display, children[i], pid);
            if (children) XFree(children);
        }
        return found;
    }

    // Waits, while the loop runs, until the form's values satisfy `test`; the
    // form is asked ten times a second at most.
    bool formValuesBecome(test::FormProcess& form, const std::function<bool(const json&)>& test, json& seen) {
        auto tick = w->loop.every(0.05, [] {});  // wakes the loop to ask again
        double lastAsked = -1;
        bool satisfied = false;
        w->loop.runUntil(
            [&] {
                if (satisfied || w->loop.now() - lastAsked < 0.1) return satisfied;
                lastAsked = w->loop.now();
                seen = form.values();
                satisfied = seen.is_object() && test(seen);
                return satisfied;
            },
            patience);
        tick.cancel();
        return satisfied;
    }

    // The clipboard's plain text, read as any other program would.
    std::optional<std::string> clipboardText() {
        auto capture = w->clipboard.capture();
        auto snapshot = finish(capture);
        for (const auto& item : snapshot.items)
            for (const auto& [type, bytes] : item)
                if (type == "UTF8_STRING" || type == "text/plain;charset=utf-8") return bytes;
        return std::nullopt;
    }

    // Plays a sound into the headless session's virtual microphone to its end.
    bool playIntoMicrophone(const std::string& sound) {
        GError* error = nullptr;
        GSubprocess* player =
            g_subprocess_new(G_SUBPROCESS_FLAGS_NONE, &error, "paplay", "-d", "vell_mic_sink", sound.c_str(), nullptr);
        if (!player) {
            if (error) g_error_free(error);
            return false;
        }
        bool ended = false;
        g_subprocess_wait_async(
            player, nullptr, [](GObject*, GAsyncResult*, gpointer flag) { *static_cast<bool*>(flag) = true; }, &ended);
        const bool inTime = w->loop.runUntil([&] { return ended; }, patience);
        if (!inTime) {
            g_subprocess_force_exit(player);
            w->loop.runUntil([&] { return ended; }, patience);
        }
        const bool played = inTime && g_subprocess_get_if_exited(player) && g_subprocess_get_exit_status(player) == 0;
        g_object_unref(player);
        return played;
    }

    static inline World* world = nullptr;
    static inline fs::path scratch;
    World* w = nullptr;
};

TEST_F(EndToEnd, SignInThroughThePageGivesTheStoreTheServicesTokenAndSignOutTakesItAway) {
    // Signed out to begin with, whichever case ran before.
    if (pageToken().is_string()) {
        w->store->clear();
        waitForBridge();
    }
    ASSERT_TRUE(w->loop.runUntil([&] { return visible("auth"); }, patience));
    EXPECT_EQ(pageToken(), json());
    signInThroughThePage();

    auto token = w->store->accessToken();
    std::string accessToken = finish(token);
    EXPECT_EQ(json(accessToken), pageToken());
    EXPECT_TRUE(w->store->isSignedIn());
    EXPECT_EQ(w->store->email(), w->service.email);
    w->controller->refreshSetup();
    EXPECT_TRUE(w->controller->setup().signedIn);

    w->store->clear();
    EXPECT_FALSE(w->store->isSignedIn());
    waitForBridge();
    ASSERT_TRUE(w->loop.runUntil([&] { return visible("auth"); }, patience)) << "the page is still signed in";
    EXPECT_EQ(pageToken(), json());
    auto after = w->store->accessToken();
    ASSERT_TRUE(w->loop.runUntil([&] { return after.done(); }, patience));
    EXPECT_THROW(after.get(), session::SessionError);
    EXPECT_FALSE(w->store->isSignedIn());
}

// The transcript is pasted through the clipboard, which holds the person's copy again afterwards.
TEST_F(EndToEnd, DictationFromTheMicrophoneIsTypedIntoTheFrontFormAndTheClipboardRestored) {
    signInThroughThePage();
    w->controller->refreshSetup();
    ASSERT_TRUE(w->controller->setup().micDevice) << "no microphone in the headless session";
    const fs::path dir = scratchFolder("dictation");
    const std::string wav = dir / "speech.wav";
    ASSERT_TRUE(speak("i would like a cup of coffee", wav));
    auto form = startForm();
    const json before = form->values();
    ASSERT_TRUE(before.is_object());
    w->clipboard.setText("what the person had copied");
    ASSERT_EQ(clipboardText(), "what the person had copied");

    const std::size_t earlier = w->controller->history().size();
    w->controller->begin(DictationController::Mode::dictate);
    ASSERT_TRUE(w->loop.runUntil([&] { return w->controller->phase().isRecording(); }, patience))
        << "no recording; problem: " << w->controller->problem().value_or("none");
    ASSERT_TRUE(playIntoMicrophone(wav));
    w->controller->finish();
    ASSERT_TRUE(w->loop.runUntil(
        [&] { return w->controller->phase().isIdle() && w->controller->history().size() > earlier; }, patience))
        << "no transcript; problem: " << w->controller->problem().value_or("none");

    const auto newest = w->controller->history().front();
    EXPECT_EQ(newest.mode, DictationController::Mode::dictate);
    EXPECT_EQ(newest.delivery, DictationController::Delivery::pasted);
    for (const char* word : {"cup", "coffee"}) EXPECT_NE(newest.text.find(word), std::string::npos) << newest.text;

    // The transcript lands in the form's focused entry.
    json after;
    EXPECT_TRUE(formValuesBecome(
        *form,
        [&](const json& v) {
            for (auto& [name, value] : v.items())
                if (value == newest.text && before[name] != newest.text) return true;
            return false;
        },
        after))
        << after.dump() << " lacks " << newest.text;
    std::optional<std::string> restored;
    EXPECT_TRUE(w->loop.runUntil(
        [&] {
            restored = clipboardText();
            return restored == "what the person had copied";
        },
        patience))
        << "the clipboard holds " << restored.value_or("nothing");
}

TEST_F(EndToEnd, ANoteFromThePageFillsTheFrontFormAndUndoPutsTheOriginalsBack) {
    signInThroughThePage();
    auto form = startForm();
    const json before = form->values();
    ASSERT_TRUE(before.is_object());

    // The page saves the note, then asks the desktop to fill from it.
    const std::size_t earlier = w->controller->history().size();
    js("document.getElementById('new-note').click();"
       "document.getElementById('note-title').value = 'Contact';"
       "document.getElementById('note-body').value = b;"
       "document.getElementById('fill-note').click();",
       {{"b", "My name is Ada Lovelace, email ada at example dot com, phone 555 0100"}});
    ASSERT_TRUE(w->loop.runUntil([&] { return !w->notesFilled.empty(); }, patience)) << "the page asked for no fill";
    ASSERT_TRUE(w->loop.runUntil(
        [&] { return w->controller->phase().isIdle() && w->controller->history().size() > earlier; }, patience))
        << "no fill recorded; problem: " << w->controller->problem().value_or("none");

    json after;
    EXPECT_TRUE(formValuesBecome(
        *form, [](const json& v) { return v["name"] == "Ada Lovelace"; }, after))
        << after.dump();
    EXPECT_EQ(after["email"], "ada@example.com");
    EXPECT_EQ(after["phone"], "555 0100");
    EXPECT_EQ(after["password"], before["password"]) << "a secure field is never written";

    const auto& newest = w->controller->history().front();
    EXPECT_EQ(newest.text, "Contact");
    EXPECT_EQ(newest.mode, DictationController::Mode::fill);
    ASSERT_TRUE(newest.fill.has_value());
    for (const auto& outcome : newest.fill->outcomes) EXPECT_TRUE(outcome.ok) << outcome.label;

    w->controller->undoLastFill();
    json undone;
    EXPECT_TRUE(formValuesBecome(
        *form, [&](const json& v) { return v == before; }, undone))
        << undone.dump() << " instead of " << before.dump();
}

}  // namespace
}  // namespace vell
