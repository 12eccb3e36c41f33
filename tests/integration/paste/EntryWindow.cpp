// A separate GTK application with one focused text entry, the target of a
// paste. Usage: vell_paste_entry_window DIR
// Writes DIR/ready once the entry has the keyboard focus and DIR/text (the
// entry's whole text) after every change. Ends on SIGTERM.

#include <gdk/gdkx.h>
#include <glib-unix.h>
#include <glib/gstdio.h>
#include <gtk/gtk.h>

#include <string>

namespace {

std::string directory;

void writeFile(const std::string& name, const char* contents) {
    // Written aside and renamed, so a reader never sees half a file.
    const std::string path = directory + "/" + name;
    const std::string partial = path + ".partial";
    g_file_set_contents(partial.c_str(), contents, -1, nullptr);
    g_rename(partial.c_str(), path.c_str());
}

void onChanged(GtkEditable* entry, gpointer) { writeFile("text", gtk_entry_get_text(GTK_ENTRY(entry))); }

void onFocus(GtkWindow* window, GParamSpec*, gpointer) {
    if (gtk_window_has_toplevel_focus(window)) writeFile("ready", "");
}

gboolean onMapped(GtkWidget* window, GdkEvent*, gpointer) {
    // Without a window manager nobody gives the new window the focus.
    GdkWindow* gdkWindow = gtk_widget_get_window(window);
    GdkDisplay* display = gdk_window_get_display(gdkWindow);
    gdk_x11_display_error_trap_push(display);
    XSetInputFocus(gdk_x11_display_get_xdisplay(display), gdk_x11_window_get_xid(gdkWindow), RevertToParent,
                   CurrentTime);
    gdk_x11_display_error_trap_pop_ignored(display);
    return FALSE;
}

gboolean quit(gpointer) {
    gtk_main_quit();
    return G_SOURCE_REMOVE;
}

}  // namespace

int main(int argc, char** argv) {
    gdk_set_allowed_backends("x11");
    gtk_init(&argc, &argv);
    if (argc != 2) return 2;
    directory = argv[1];

    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), "Paste target");
    gtk_window_set_default_size(GTK_WINDOW(window), 400, 60);
    GtkWidget* entry = gtk_entry_new();
    gtk_container_add(GTK_CONTAINER(window), entry);
    g_signal_connect(entry, "changed", G_CALLBACK(onChanged), nullptr);
    g_signal_connect(window, "notify::has-toplevel-focus", G_CALLBACK(onFocus), nullptr);
    g_signal_connect(window, "map-event", G_CALLBACK(onMapped), nullptr);
    g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
    g_unix_signal_add(SIGTERM, quit, nullptr);

    gtk_widget_show_all(window);
    gtk_widget_grab_focus(entry);
    gtk_window_present(GTK_WINDOW(window));
    gtk_main();
    return 0;
}
