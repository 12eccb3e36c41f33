// The whole program on one machine, composed as the application composes it
// (app::Program over the Linux platform): the service on loopback, the panel's
// web application in WebKitGTK holding the session, the cloud recogniser, fill
// over AT-SPI and paste over the real clipboard and XTest keyboard, driving a
// GTK form in another process. One service and one program serve every case.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "AudioFixture.h"
#include "ChildProcesses.h"
#include "Polling.h"
#include "ScratchFolder.h"
#include "app/Program.h"
#include "integration/fill/FormProcess.h"
#include "integration/service/RunningService.h"
#include "session/PanelWebView.h"
#include "session/SessionStore.h"

namespace vell::app {
namespace {

using nlohmann::json;
using Controller = dictation::DictationController;
constexpr double patience = 90;  // a loaded two-core machine may be slow; never a fixed sleep

class EndToEnd : public ::testing::Test {
protected:
    struct World {
        test::ScratchFolder scratch{"vell-e2e"};
        test::RunningService service;
        Program program{options(), [] {}};
        fill::FillEngine fields{program.platform.accessibility};  // to see the form reach the bus

        Program::Options options() {
            Program::Options o;
            o.platform.webView = {scratch / "WebKit", scratch / "cache", false};
            o.platform.program = scratch / "vell";
            o.platform.configHome = scratch / "config";
            o.apiBase = o.authBase = "http://127.0.0.1:" + std::to_string(service.service().port());
            o.dataFolder = scratch / "Vell";
            o.recogniserIdleTimeout = patience;
            return o;
        }
    };

    static void SetUpTestSuite() {
        ASSERT_TRUE(gtk_init_check(nullptr, nullptr)) << "no display";
        world = new World;
        world->program.delegate().applicationDidFinishLaunching();
    }
    static void TearDownTestSuite() {
        delete world;
        // WebKit's processes end shortly after their view; none may outlive the suite.
        EXPECT_TRUE(platform::GlibMainLoop().runUntil([] { return test::childProcesses().empty(); }, patience));
    }
    void SetUp() override { waitForBridge(); }

    platform::GlibMainLoop& loop() { return world->program.platform.loop; }
    session::SessionStore& store() { return session::SessionStore::shared(); }
    Controller& controller() { return *world->program.delegate().controller(); }
    auto& page() { return static_cast<platform::WebKitWebView&>(session::PanelWebView::shared()->webView()); }

    // Waits for what another process does, giving the program's loop a turn between looks.
    bool until(const std::function<bool()>& done) {
        return test::waitUntil(done, patience, [this] { loop().runFor(0.1); });
    }
    // An async function body's value in the page; null when it has none.
    json js(const std::string& body, const json& arguments = json::object()) {
        std::optional<platform::WebView::ScriptResult> result;
        page().callAsyncJavaScript(body, arguments, [&](platform::WebView::ScriptResult value) { result = value; });
        EXPECT_TRUE(loop().runUntil([&] { return result.has_value(); }, patience)) << body;
        return result && *result ? **result : json();
    }
    json pageToken() { return js(std::string(session::PanelWebView::tokenScript)); }
    void waitForBridge() {
        ASSERT_TRUE(until([&] { return !page().isLoading() && js("return !!window.__vellBridge") == true; }))
            << "no web application at " << page().currentURL().value_or("nothing");
    }

    // A session from the service reaches the store as a vell://auth link, and the page adopts it.
    void signIn() {
        if (store().isSignedIn()) return;
        const json session = world->service.signIn();
        world->program.delegate().handleURL("vell://auth#access_token=" + session["access_token"].get<std::string>() +
                                            "&refresh_token=" + session["refresh_token"].get<std::string>());
        ASSERT_TRUE(until([&] { return pageToken() == session["access_token"]; }))
            << "the page did not adopt the desktop's session";
    }

    // The sample form in its own process, the front application once the window manager focuses it.
    std::unique_ptr<test::FormProcess> startForm() {
        auto form = std::make_unique<test::FormProcess>(std::vector<std::string>{VELL_FORM_FIXTURE});
        EXPECT_TRUE(form->waitReady(patience)) << "the form fixture did not start";
        EXPECT_TRUE(until([&] {
            auto front = world->program.platform.desktop.frontApplication();
            return front && front->processId() == form->pid() && world->fields.enumerate(form->pid(), 40).size() >= 3;
        })) << "the form never became the front application with its fields on the bus";
        return form;
    }
    // The clipboard's plain text, read as any other program would.
    std::optional<std::string> clipboardText() {
        auto capture = world->program.platform.clipboard.capture();
        EXPECT_TRUE(loop().runUntil([&] { return capture.done(); }, patience));
        for (const auto& item : capture.get().items)
            for (const auto& [type, bytes] : item)
                if (type == "UTF8_STRING" || type == "text/plain;charset=utf-8") return bytes;
        return std::nullopt;
    }
    bool idleWithNewEntry(std::size_t earlier) {
        return until([&] { return controller().phase().isIdle() && controller().history().size() > earlier; });
    }

    static inline World* world = nullptr;
};

// The transcript is pasted through the clipboard, which holds the person's copy again afterwards.
TEST_F(EndToEnd, DictationFromTheMicrophoneIsTypedIntoTheFrontFormAndTheClipboardRestored) {
    signIn();
    controller().refreshSetup();
    ASSERT_TRUE(controller().setup().micDevice) << "no microphone in the headless session";
    const auto speech = test::speechFile("i would like a cup of coffee", world->scratch / "speech.wav");
    ASSERT_FALSE(speech.empty());
    auto form = startForm();
    const json before = form->values();
    world->program.platform.clipboard.setText("what the person had copied");

    const std::size_t earlier = controller().history().size();
    controller().begin(Controller::Mode::dictate);
    ASSERT_TRUE(until([&] { return controller().phase().isRecording(); }))
        << "no recording; problem: " << controller().problem().value_or("none");
    test::ChildProcess player({"paplay", "-d", "vell_mic_sink", speech.string()});
    ASSERT_TRUE(until([&] { return player.exited(); }) && player.succeeded());
    controller().finish();
    ASSERT_TRUE(idleWithNewEntry(earlier)) << "no transcript; problem: " << controller().problem().value_or("none");

    const auto newest = controller().history().front();
    EXPECT_EQ(newest.delivery, Controller::Delivery::pasted);
    EXPECT_NE(newest.text.find("coffee"), std::string::npos) << newest.text;
    json after;
    EXPECT_TRUE(until([&] {
        after = form->values();
        for (auto& [name, value] : after.items())
            if (value == newest.text && before[name] != newest.text) return true;
        return false;
    })) << after.dump()
        << " lacks " << newest.text;
    EXPECT_TRUE(until([&] { return clipboardText() == "what the person had copied"; }));
}

TEST_F(EndToEnd, ANoteFromThePageFillsTheFrontFormAndUndoPutsTheOriginalsBack) {
    signIn();
    auto form = startForm();
    const json before = form->values();

    // The page saves the note, then asks the desktop to fill from it.
    const std::size_t earlier = controller().history().size();
    js("document.getElementById('new-note').click();"
       "document.getElementById('note-title').value = 'Contact';"
       "document.getElementById('note-body').value = b;"
       "document.getElementById('fill-note').click();",
       {{"b", "My name is Ada Lovelace, email ada at example dot com, phone 555 0100"}});
    ASSERT_TRUE(idleWithNewEntry(earlier)) << "no fill recorded; problem: " << controller().problem().value_or("none");
    EXPECT_EQ(controller().history().front().text, "Contact");

    json after;
    EXPECT_TRUE(until([&] { return (after = form->values())["name"] == "Ada Lovelace"; })) << after.dump();
    EXPECT_EQ(after["email"], "ada@example.com");
    EXPECT_EQ(after["phone"], "555 0100");
    EXPECT_EQ(after["password"], before["password"]) << "a secure field is never written";

    controller().undoLastFill();
    EXPECT_TRUE(until([&] { return (after = form->values()) == before; }))
        << after.dump() << " instead of " << before.dump();
}

}  // namespace
}  // namespace vell::app
