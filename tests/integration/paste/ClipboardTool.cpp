// Another program on the clipboard, for tests and benchmarks.
//   vell_paste_clipboard_tool own READY TARGET=FILE...
//       Takes the clipboard offering each TARGET with the bytes of its FILE,
//       writes READY, and serves until SIGTERM; SIGUSR1 takes it again.
//   vell_paste_clipboard_tool dump DIR
//       Writes DIR/TARGETS (one target a line) and, for every other target,
//       DIR/<target with '/' as '_'> holding the bytes served; then exits.

#include <glib-unix.h>
#include <gtk/gtk.h>

#include <string>
#include <vector>

namespace {

struct Offer {
    std::string target;
    std::string bytes;
};
std::vector<Offer> offers;
std::string readyPath;

void serve(GtkClipboard*, GtkSelectionData* data, guint index, gpointer) {
    const Offer& offer = offers.at(index);
    gtk_selection_data_set(data, gdk_atom_intern(offer.target.c_str(), FALSE), 8,
                           reinterpret_cast<const guchar*>(offer.bytes.data()), static_cast<gint>(offer.bytes.size()));
}

void forget(GtkClipboard*, gpointer) {}

gboolean own(gpointer) {
    std::vector<GtkTargetEntry> entries;
    for (guint i = 0; i < offers.size(); ++i) entries.push_back({const_cast<gchar*>(offers[i].target.c_str()), 0, i});
    GtkClipboard* clipboard = gtk_clipboard_get(GDK_SELECTION_CLIPBOARD);
    if (!gtk_clipboard_set_with_data(clipboard, entries.data(), static_cast<guint>(entries.size()), serve, forget,
                                     nullptr)) {
        g_printerr("clipboard tool: could not take the clipboard\n");
        exit(1);
    }
    g_file_set_contents(readyPath.c_str(), "", 0, nullptr);
    return G_SOURCE_CONTINUE;
}

gboolean quit(gpointer) {
    gtk_main_quit();
    return G_SOURCE_REMOVE;
}

std::string dumpDir;
std::vector<std::string> pending;

std::string fileName(std::string target) {
    for (char& c : target)
        if (c == '/') c = '_';
    return dumpDir + "/" + target;
}

void dumpNext();

void received(GtkClipboard*, GtkSelectionData* data, gpointer) {
    const gint length = gtk_selection_data_get_length(data);
    if (length >= 0) {
        const auto* bytes = reinterpret_cast<const gchar*>(gtk_selection_data_get_data(data));
        g_file_set_contents(fileName(pending.front()).c_str(), bytes ? bytes : "", length, nullptr);
    }
    pending.erase(pending.begin());
    dumpNext();
}

void dumpNext() {
    if (pending.empty()) return gtk_main_quit();
    gtk_clipboard_request_contents(gtk_clipboard_get(GDK_SELECTION_CLIPBOARD),
                                   gdk_atom_intern(pending.front().c_str(), FALSE), received, nullptr);
}

void targetsReceived(GtkClipboard*, GdkAtom* atoms, gint count, gpointer) {
    std::string list;
    for (gint i = 0; i < count; ++i) {
        gchar* name = gdk_atom_name(atoms[i]);
        list += std::string(name) + "\n";
        const std::string target = name;
        g_free(name);
        if (target != "TARGETS" && target != "MULTIPLE" && target != "TIMESTAMP" && target != "SAVE_TARGETS")
            pending.push_back(target);
    }
    g_file_set_contents((dumpDir + "/TARGETS").c_str(), list.c_str(), -1, nullptr);
    dumpNext();
}

}  // namespace

int main(int argc, char** argv) {
    gdk_set_allowed_backends("x11");
    gtk_init(&argc, &argv);
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "own" && argc > 3) {
        readyPath = argv[2];
        for (int i = 3; i < argc; ++i) {
            const std::string offer = argv[i];
            const auto equals = offer.rfind('=');
            gchar* bytes = nullptr;
            gsize length = 0;
            if (equals == std::string::npos ||
                !g_file_get_contents(offer.substr(equals + 1).c_str(), &bytes, &length, nullptr))
                return 2;
            offers.push_back({offer.substr(0, equals), std::string(bytes, length)});
            g_free(bytes);
        }
        own(nullptr);
        g_unix_signal_add(SIGUSR1, own, nullptr);
        g_unix_signal_add(SIGTERM, quit, nullptr);
        gtk_main();
        return 0;
    }
    if (mode == "dump" && argc == 3) {
        dumpDir = argv[2];
        gtk_clipboard_request_targets(gtk_clipboard_get(GDK_SELECTION_CLIPBOARD), targetsReceived, nullptr);
        gtk_main();
        return 0;
    }
    g_printerr("usage: %s own READY TARGET=FILE... | dump DIR\n", argv[0]);
    return 2;
}
