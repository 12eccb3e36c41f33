#include "app/Application.h"

#include <gtk/gtk.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

#include "app/Config.h"
#include "audio/CloudRecogniser.h"
#include "audio/Recorder.h"
#include "dictation/DictationController.h"
#include "fill/FillEngine.h"
#include "fill/FillService.h"
#include "fill/Paste.h"
#include "platform/linux/AtspiAccessibility.h"
#include "platform/linux/CurlHttpClient.h"
#include "platform/linux/GlibMainLoop.h"
#include "platform/linux/GtkClipboard.h"
#include "platform/linux/PulseAudioInput.h"
#include "platform/linux/WebKitWebView.h"
#include "platform/linux/X11Desktop.h"
#include "platform/linux/XTestKeyboard.h"
#include "platform/linux/XdgLoginItem.h"
#include "session/PanelWebView.h"
#include "session/SessionStore.h"

namespace vell::app {
namespace {

// How often the setup checklist is measured again while it is incomplete.
constexpr double setupWatchPeriod = 2.0;

std::filesystem::path ownExecutable() {
    std::error_code error;
    auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path("vell") : path;
}

std::string describe(const dictation::DictationController& controller) {
    using Case = dictation::DictationController::Phase::Case;
    if (controller.problem()) return *controller.problem();
    switch (controller.phase().kind()) {
        case Case::recording:
            return "Listening\u2026";
        case Case::transcribing:
            return "Transcribing\u2026";
        case Case::filling:
            return "Filling\u2026";
        case Case::idle:
            break;
    }
    if (!controller.setup().signedIn) return "Sign in below to get started.";
    if (!controller.history().empty()) return controller.history().front().text;
    return "Ready.";
}

}  // namespace

// Everything the program is made of, in the order it is built (and the reverse
// of the order it is torn down).
struct Application::Parts {
    platform::GlibMainLoop loop;
    platform::CurlHttpClient http;
    platform::PulseAudioInput microphone;
    platform::GtkClipboard clipboard{loop};
    platform::XTestKeyboard keyboard;
    platform::X11Desktop desktop;
    platform::XdgLoginItem loginItem{ownExecutable()};
    platform::AtspiAccessibility accessibility;

    std::shared_ptr<session::PanelWebView> webView;
    audio::Recorder recorder{microphone};
    std::optional<audio::CloudRecogniser> recogniser;
    fill::FillEngine fillEngine{accessibility};
    std::optional<fill::FillService> fillService;
    fill::Paste paste{loop, clipboard, keyboard};
    std::shared_ptr<dictation::DictationController> controller;

    GtkWidget* window = nullptr;
    GtkWidget* status = nullptr;
    dictation::ChangeSignal::Subscription redraw;
    platform::MainLoop::Timer setupWatch;

    // Torn down first: a fill or an undo still running in the background ends
    // (within its 2 s request limit) before the parts it uses go.
    struct BackgroundDrain {
        platform::GlibMainLoop& loop;
        ~BackgroundDrain() { loop.finishBackgroundWork(); }
    } drain{loop};
};

Application::Application() = default;
Application::~Application() = default;

int Application::run(int argc, char** argv) {
    if (!gtk_init_check(&argc, &argv)) {
        std::fprintf(stderr, "vell: no display to show the panel on (is DISPLAY set?)\n");
        return 1;
    }
    parts_ = std::make_unique<Parts>();
    Parts& p = *parts_;

    // The web view comes first: the session store asks it for tokens.
    p.webView = session::PanelWebView::create(
        p.loop, std::make_unique<platform::WebKitWebView>(platform::WebKitWebView::Options::standard()),
        {Config::apiBase(), Config::supabaseURL()}, [&p](std::string url) { p.desktop.openInBrowser(url); });
    session::PanelWebView::setShared(p.webView);
    session::SessionStore& sessionStore = session::SessionStore::shared();
    sessionStore.migrateIfNeeded();

    p.recogniser.emplace(sessionStore, p.http, p.loop, Config::apiBase());
    p.fillService.emplace(sessionStore, p.http, p.loop, Config::apiBase());
    p.controller =
        dictation::DictationController::create({p.loop, p.recorder, *p.recogniser, p.fillEngine, *p.fillService,
                                                p.paste, sessionStore, p.desktop, p.clipboard, p.loginItem});

    // The window: a status line over the web application.
    p.window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(p.window), "Vell");
    gtk_window_set_default_size(GTK_WINDOW(p.window), 420, 640);
    gtk_window_set_keep_above(GTK_WINDOW(p.window), TRUE);
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    p.status = gtk_label_new("");
    gtk_label_set_xalign(GTK_LABEL(p.status), 0);
    gtk_label_set_ellipsize(GTK_LABEL(p.status), PANGO_ELLIPSIZE_END);
    gtk_widget_set_margin_start(p.status, 10);
    gtk_widget_set_margin_end(p.status, 10);
    gtk_widget_set_margin_top(p.status, 6);
    gtk_widget_set_margin_bottom(p.status, 6);
    auto* web = static_cast<GtkWidget*>(p.webView->webView().nativeView());
    gtk_box_pack_start(GTK_BOX(box), p.status, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(box), web, TRUE, TRUE, 0);
    gtk_container_add(GTK_CONTAINER(p.window), box);
    g_signal_connect(p.window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);

    // The change signal comes before the change: read the new state on the next turn.
    auto redraw = [&p] { gtk_label_set_text(GTK_LABEL(p.status), describe(*p.controller).c_str()); };
    p.redraw = p.controller->subscribe([&p, redraw] { p.loop.post(redraw); });
    redraw();

    // The web application's two requests go to the controller; a paste goes
    // to the application underneath, so the window steps aside first.
    std::weak_ptr<dictation::DictationController> controller = p.controller;
    p.webView->onNoteFill = [controller](std::string noteId, std::optional<std::string> title) {
        if (auto c = controller.lock()) c->fillFromNote(noteId, title);
    };
    p.webView->onInsertText = [controller](std::string text) {
        if (auto c = controller.lock()) c->insertText(text);
    };
    p.controller->willInsert = [&p] { gtk_window_iconify(GTK_WINDOW(p.window)); };

    // The checklist is measured again until it is complete.
    p.setupWatch = p.loop.every(setupWatchPeriod, [controller, &p] {
        auto c = controller.lock();
        if (!c) return;
        c->refreshSetup();
        if (c->setup().complete()) p.setupWatch.cancel();
    });

    gtk_widget_show_all(p.window);
    gtk_main();
    p.setupWatch.cancel();
    return 0;
}

}  // namespace vell::app
