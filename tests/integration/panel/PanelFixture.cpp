// The floating panel drawn with GTK over the real controller and its
// recording doubles, in its own process so that a test can find its widgets
// over AT-SPI and click it with the real pointer. It prints "ready" and
// answers one line per command on standard input:
//   show | visible | frame | xid | phase | webtext | insert TEXT
//   front (the process id the desktop calls front)
// A text entry stands in for the web view; insertions go through the real
// paste (clipboard and synthetic Ctrl+V).
#include <gtk/gtk.h>
#include <unistd.h>

#include <cstdio>
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

struct Fixture : test::ControllerParts<platform::GlibMainLoop> {
    platform::GtkClipboard systemClipboard{loop};
    platform::XTestKeyboard keyboard;
    fill::Paste realPaste{loop, systemClipboard, keyboard};
    platform::X11Desktop x11Desktop;
    platform::KeyFileSettings settings;
    std::shared_ptr<Controller> controller = Controller::create(
        {loop, recorder, recogniser, fillEngine, fillService, realPaste, session, desktop, clipboard, loginItem});
    GtkWidget* webView = gtk_entry_new();
    platform::GtkPanel gtkPanel{{controller, {}, settings, clipboard, {}, webView}};
    panel::FloatingPanel floating{gtkPanel.window()};

    Fixture() {
        atk_object_set_name(gtk_widget_get_accessible(webView), "Web application");
        controller->willInsert = [this] { floating.hide(); };
    }

    std::string answer(const std::string& line) {
        const std::string command = line.substr(0, line.find(' '));
        GdkWindow* window = gtk_widget_get_window(GTK_WIDGET(gtkPanel.window().window()));
        if (command == "show") floating.show();
        if (command == "insert") controller->insertText(line.substr(line.find(' ') + 1));
        if (command == "visible") return floating.isVisible() ? "1" : "0";
        if (command == "xid") return window ? std::to_string(GDK_WINDOW_XID(window)) : "0";
        if (command == "phase") return controller->phase().isRecording() ? "recording" : "other";
        if (command == "webtext") return gtk_entry_get_text(GTK_ENTRY(webView));
        if (command == "front") {
            auto front = x11Desktop.frontApplication();
            return front ? std::to_string(front->processId()) : "none";
        }
        if (command == "frame" && window) {
            GdkRectangle frame;
            gdk_window_get_frame_extents(window, &frame);
            return std::to_string(frame.x) + " " + std::to_string(frame.y) + " " + std::to_string(frame.width) + " " +
                   std::to_string(frame.height);
        }
        return "ok";
    }
};

Fixture* fixture = nullptr;

gboolean onCommand(GIOChannel* channel, GIOCondition condition, gpointer) {
    gchar* line = nullptr;
    gsize end = 0;  // where the line's terminator starts
    if ((condition & (G_IO_HUP | G_IO_ERR)) ||
        g_io_channel_read_line(channel, &line, nullptr, &end, nullptr) != G_IO_STATUS_NORMAL) {
        gtk_main_quit();
        return G_SOURCE_REMOVE;
    }
    const std::string command(line, end);
    g_free(line);
    std::fputs((fixture->answer(command) + "\n").c_str(), stdout);
    std::fflush(stdout);
    return G_SOURCE_CONTINUE;
}

}  // namespace

int main(int argc, char** argv) {
    gtk_init(&argc, &argv);
    Fixture instance;
    fixture = &instance;
    GIOChannel* input = g_io_channel_unix_new(STDIN_FILENO);
    g_io_add_watch(input, GIOCondition(G_IO_IN | G_IO_HUP | G_IO_ERR), onCommand, nullptr);
    g_io_channel_unref(input);
    std::fputs("ready\n", stdout);
    std::fflush(stdout);
    gtk_main();
    return 0;
}
