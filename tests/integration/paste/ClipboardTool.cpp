// Another program on the clipboard, for tests and benchmarks.
//   vell_paste_clipboard_tool own READY TARGET=FILE...
//       Takes the clipboard offering each TARGET with the bytes of its FILE,
//       writes READY, and serves until SIGTERM; SIGUSR1 takes it again.
//   vell_paste_clipboard_tool own-slow READY BUSY DELAY TARGET=FILE...
//       As own, once, written on Xlib: the first request finds the program
//       busy for BUSY seconds, and every image/* target is answered DELAY
//       seconds after it was asked, requests side by side.
//   vell_paste_clipboard_tool dump DIR
//       Writes DIR/TARGETS (one target a line) and, for every other target,
//       DIR/<target with '/' as '_'> holding the bytes served; then exits.

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <glib-unix.h>
#include <gtk/gtk.h>
#include <poll.h>

#include <algorithm>
#include <cstdlib>
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

gboolean own(gpointer) {
    std::vector<GtkTargetEntry> entries;
    for (guint i = 0; i < offers.size(); ++i) entries.push_back({const_cast<gchar*>(offers[i].target.c_str()), 0, i});
    GtkClipboard* clipboard = gtk_clipboard_get(GDK_SELECTION_CLIPBOARD);
    if (!gtk_clipboard_set_with_data(clipboard, entries.data(), static_cast<guint>(entries.size()), serve, nullptr,
                                     nullptr)) {
        g_printerr("clipboard tool: could not take the clipboard\n");
        exit(1);
    }
    g_file_set_contents(readyPath.c_str(), "", 0, nullptr);
    return G_SOURCE_CONTINUE;
}

// Writes DIR/TARGETS and a file for every target but the clipboard's own.
int dump(const std::string& dir) {
    GtkClipboard* clipboard = gtk_clipboard_get(GDK_SELECTION_CLIPBOARD);
    GdkAtom* atoms = nullptr;
    gint count = 0;
    gtk_clipboard_wait_for_targets(clipboard, &atoms, &count);
    std::string list;
    for (gint i = 0; i < count; ++i) {
        gchar* name = gdk_atom_name(atoms[i]);
        std::string target = name;
        g_free(name);
        list += target + "\n";
        if (target == "TARGETS" || target == "MULTIPLE" || target == "TIMESTAMP" || target == "SAVE_TARGETS") continue;
        GtkSelectionData* data = gtk_clipboard_wait_for_contents(clipboard, atoms[i]);
        std::replace(target.begin(), target.end(), '/', '_');
        if (data && gtk_selection_data_get_length(data) >= 0)
            g_file_set_contents((dir + "/" + target).c_str(),
                                reinterpret_cast<const gchar*>(gtk_selection_data_get_data(data)),
                                gtk_selection_data_get_length(data), nullptr);
        if (data) gtk_selection_data_free(data);
    }
    g_free(atoms);
    return g_file_set_contents((dir + "/TARGETS").c_str(), list.c_str(), -1, nullptr) ? 0 : 1;
}

// ---- own-slow: a busy, slow owner that still answers requests side by side ----

struct Reply {
    double due;  // seconds on the monotonic clock
    XSelectionRequestEvent request;
};

void answer(Display* display, const XSelectionRequestEvent& request) {
    const Atom property = request.property != None ? request.property : request.target;
    XSelectionEvent notice{SelectionNotify, 0,    True,        display, request.requestor, request.selection,
                           request.target,  None, request.time};
    std::vector<Atom> atoms{XInternAtom(display, "TARGETS", False)};  // then one per offer
    for (const auto& offer : offers) atoms.push_back(XInternAtom(display, offer.target.c_str(), False));
    for (std::size_t i = 0; i < atoms.size(); ++i) {
        if (atoms[i] != request.target) continue;
        if (i == 0)
            XChangeProperty(display, request.requestor, property, XA_ATOM, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(atoms.data()), static_cast<int>(atoms.size()));
        else
            XChangeProperty(display, request.requestor, property, request.target, 8, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(offers[i - 1].bytes.data()),
                            static_cast<int>(offers[i - 1].bytes.size()));
        notice.property = property;
    }
    XSendEvent(display, request.requestor, False, NoEventMask, reinterpret_cast<XEvent*>(&notice));
    XFlush(display);
}

int ownSlowly(double busy, double delay) {
    Display* display = XOpenDisplay(nullptr);
    if (!display) return 1;
    const Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
    const Atom clipboard = XInternAtom(display, "CLIPBOARD", False);
    XSetSelectionOwner(display, clipboard, window, CurrentTime);
    if (XGetSelectionOwner(display, clipboard) != window) return 1;
    g_file_set_contents(readyPath.c_str(), "", 0, nullptr);

    double busyUntil = -1;  // set at the first request
    std::vector<Reply> replies;
    for (;;) {
        while (XPending(display)) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type != SelectionRequest) continue;
            const double now = g_get_monotonic_time() / 1e6;
            if (busyUntil < 0) busyUntil = now + busy;
            const auto& request = event.xselectionrequest;
            gchar* name = XGetAtomName(display, request.target);
            const bool image = name && g_str_has_prefix(name, "image/");
            if (name) XFree(name);
            replies.push_back({std::max(now, busyUntil) + (image ? delay : 0), request});
        }
        std::erase_if(replies, [&](const Reply& reply) {
            if (reply.due > g_get_monotonic_time() / 1e6) return false;
            answer(display, reply.request);
            return true;
        });
        pollfd fd{ConnectionNumber(display), POLLIN, 0};
        poll(&fd, 1, 10);  // or a reply falls due
    }
}

// Reads the TYPE=FILE arguments from `first` on into `offers`; false on a bad one.
bool readOffers(int argc, char** argv, int first) {
    for (int i = first; i < argc; ++i) {
        const std::string offer = argv[i];
        const auto equals = offer.rfind('=');
        gchar* bytes = nullptr;
        gsize length = 0;
        if (equals == std::string::npos ||
            !g_file_get_contents(offer.substr(equals + 1).c_str(), &bytes, &length, nullptr))
            return false;
        offers.push_back({offer.substr(0, equals), std::string(bytes, length)});
        g_free(bytes);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 5 && std::string(argv[1]) == "own-slow") {
        readyPath = argv[2];
        if (!readOffers(argc, argv, 5)) return 2;
        return ownSlowly(std::atof(argv[3]), std::atof(argv[4]));
    }
    gdk_set_allowed_backends("x11");
    gtk_init(&argc, &argv);
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "own" && argc > 3) {
        readyPath = argv[2];
        if (!readOffers(argc, argv, 3)) return 2;
        own(nullptr);
        g_unix_signal_add(SIGUSR1, own, nullptr);
        gtk_main();
        return 0;
    }
    if (mode == "dump" && argc == 3) return dump(argv[2]);
    g_printerr("usage: %s own READY TARGET=FILE... | dump DIR\n", argv[0]);
    return 2;
}
