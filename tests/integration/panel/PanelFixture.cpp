// The floating panel drawn with GTK over the real controller and its
// recording doubles, run in its own process so that a test can read and press
// its widgets over AT-SPI and click it with the real pointer. It prints
// "ready" and answers one line per command on standard input:
//   show | hide | visible | frame | xid | phase | problem
//   front (the process id the desktop calls front) | webtext | insert TEXT
//   state signed-out|complete|recording|fill-result|problem
// A text entry stands in for the web view; insertions go through the real
// paste (clipboard and synthetic Ctrl+V).

#include <gtk/gtk.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>

#include "ControllerDoubles.h"
#include "fill/Paste.h"
#include "panel/FloatingPanel.h"
#include "platform/linux/GlibMainLoop.h"
#include "platform/linux/GtkClipboard.h"
#include "platform/linux/GtkPanel.h"
#include "platform/linux/KeyFileSettings.h"
#include "platform/linux/X11Desktop.h"
#include "platform/linux/XTestKeyboard.h"

// Last: Xlib's macros (Status, None) clash with the names above.
#include <gdk/gdkx.h>

namespace {

using namespace vell;
using Controller = dictation::DictationController;
using Authorisation = platform::AudioInput::Authorisation;

struct Fixture {
    platform::GlibMainLoop loop;
    test::RecorderDouble recorder{loop, std::filesystem::temp_directory_path() / "vell-panel-fixture"};
    test::RecogniserDouble recogniser{loop};
    test::FillEngineDouble fillEngine;
    test::FillServiceDouble fillService{loop};
    platform::GtkClipboard systemClipboard{loop};
    platform::XTestKeyboard keyboard;
    fill::Paste paste{loop, systemClipboard, keyboard};
    platform::X11Desktop x11Desktop;
    test::SessionDouble session;
    test::DesktopDouble desktop;
    test::ControllerClipboardDouble clipboard;
    test::LoginItemDouble loginItem;
    platform::KeyFileSettings settings;
    std::shared_ptr<Controller> controller = Controller::create(
        {loop, recorder, recogniser, fillEngine, fillService, paste, session, desktop, clipboard, loginItem});
    GtkWidget* webView = gtk_entry_new();
    std::unique_ptr<platform::GtkPanel> gtkPanel;
    std::unique_ptr<panel::FloatingPanel> floating;

    Fixture() {
        setup(true);
        recogniser.uploadSeconds = 0.05;
        fillService.answerSeconds = 0.05;
        fillEngine.fields = {test::FillEngineDouble::field("f0", "Name"), test::FillEngineDouble::field("f1", "Email"),
                             test::FillEngineDouble::field("f2", "Phone")};
        fillService.mapping.values = {{"f0", "Ada Lovelace"}, {"f1", "ada@example.com"}, {"f2", "555 0100"}};
        fillService.mapping.unfilled = {"Company", "Notes"};
        using Applied = fill::FormAccess::Applied;
        fillEngine.outcomes = {{"Name", "Ada Lovelace", Applied::applied},
                               {"Email", "ada@example.com", Applied::applied},
                               {"Phone", "555 0100", Applied::check}};
        recogniser.text = "My name is Ada Lovelace, ada@example.com, phone 555 0100.";
        gtk_widget_set_name(webView, "Web application");
        atk_object_set_name(gtk_widget_get_accessible(webView), "Web application");
        gtkPanel =
            std::make_unique<platform::GtkPanel>(platform::GtkPanel::Services{controller,
                                                                              {{}, {}, {}, [] { gtk_main_quit(); }},
                                                                              settings,
                                                                              clipboard,
                                                                              [this] { session.signedIn = false; },
                                                                              webView});
        floating = std::make_unique<panel::FloatingPanel>(gtkPanel->window());
        controller->willInsert = [this] { floating->hide(); };
    }

    void setup(bool complete) {
        session.signedIn = complete;
        session.address = complete ? std::optional<std::string>("ada@example.com") : std::nullopt;
        recorder.status = complete ? Authorisation::authorised : Authorisation::notDetermined;
        recorder.power = -12.0f;
        desktop.trusted = complete;
        controller->refreshSetup();
    }

    std::string answer(const std::string& line) {
        std::istringstream words(line);
        std::string command, argument;
        words >> command >> argument;
        if (command == "show") floating->show();
        if (command == "hide") floating->hide();
        if (command == "visible") return floating->isVisible() ? "1" : "0";
        if (command == "frame") {
            GdkWindow* window = gtk_widget_get_window(GTK_WIDGET(gtkPanel->window().window()));
            if (!window) return "none";
            GdkRectangle frame;
            gdk_window_get_frame_extents(window, &frame);
            return std::to_string(frame.x) + " " + std::to_string(frame.y) + " " + std::to_string(frame.width) + " " +
                   std::to_string(frame.height);
        }
        if (command == "xid") {
            GdkWindow* window = gtk_widget_get_window(GTK_WIDGET(gtkPanel->window().window()));
            return window ? std::to_string(GDK_WINDOW_XID(window)) : "0";
        }
        if (command == "phase") {
            const auto& phase = controller->phase();
            return phase.isIdle() ? "idle" : phase.isRecording() ? "recording" : "busy";
        }
        if (command == "problem") return controller->problem().value_or("none");
        if (command == "front") {
            auto front = x11Desktop.frontApplication();
            return front ? std::to_string(front->processId()) : "none";
        }
        if (command == "webtext") return gtk_entry_get_text(GTK_ENTRY(webView));
        if (command == "insert") controller->insertText(line.substr(line.find(' ') + 1));
        if (command == "state") {
            if (controller->phase().isRecording()) controller->finish();
            setup(argument != "signed-out");
            if (argument == "recording") controller->begin(Controller::Mode::dictate);
            if (argument == "problem") {
                desktop.trusted = false;
                controller->insertText("hello");
                desktop.trusted = true;
            }
            if (argument == "fill-result") {
                // After any dictation that was stopped above has landed.
                loop.after(0.3, [this] { controller->toggleFill(); });
                loop.after(0.8, [this] { controller->toggleFill(); });
            }
        }
        return "ok";
    }
};

Fixture* fixture = nullptr;

gboolean onCommand(GIOChannel* channel, GIOCondition condition, gpointer) {
    gchar* line = nullptr;
    if ((condition & (G_IO_HUP | G_IO_ERR)) ||
        g_io_channel_read_line(channel, &line, nullptr, nullptr, nullptr) != G_IO_STATUS_NORMAL) {
        gtk_main_quit();
        return G_SOURCE_REMOVE;
    }
    std::string command(line);
    g_free(line);
    while (!command.empty() && (command.back() == '\n' || command.back() == '\r')) command.pop_back();
    if (command == "quit") {
        gtk_main_quit();
        return G_SOURCE_REMOVE;
    }
    std::fputs((fixture->answer(command) + "\n").c_str(), stdout);
    std::fflush(stdout);
    return G_SOURCE_CONTINUE;
}

}  // namespace

int main(int argc, char** argv) {
    gtk_init(&argc, &argv);
    {
        Fixture instance;
        fixture = &instance;
        GIOChannel* input = g_io_channel_unix_new(STDIN_FILENO);
        g_io_add_watch(input, GIOCondition(G_IO_IN | G_IO_HUP | G_IO_ERR), onCommand, nullptr);
        g_io_channel_unref(input);
        std::fputs("ready\n", stdout);
        std::fflush(stdout);
        gtk_main();
        fixture = nullptr;
    }
    return 0;
}
