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
#include <chrono>
#include <cstdlib>
#include <optional>
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

// ---- own-slow: a busy, slow owner that still answers requests side by side ----

using Clock = std::chrono::steady_clock;

struct Reply {
    Clock::time_point due;
    XSelectionRequestEvent request;
};

void answer(Display* display, const XSelectionRequestEvent& request) {
    XSelectionEvent notice{};
    notice.type = SelectionNotify;
    notice.requestor = request.requestor;
    notice.selection = request.selection;
    notice.target = request.target;
    notice.time = request.time;
    notice.property = None;
    const Atom targets = XInternAtom(display, "TARGETS", False);
    Atom property = request.property != None ? request.property : request.target;
    if (request.target == targets) {
        std::vector<Atom> atoms{targets};
        for (const auto& offer : offers) atoms.push_back(XInternAtom(display, offer.target.c_str(), False));
        XChangeProperty(display, request.requestor, property, XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(atoms.data()), static_cast<int>(atoms.size()));
        notice.property = property;
    } else {
        for (const auto& offer : offers)
            if (XInternAtom(display, offer.target.c_str(), False) == request.target) {
                XChangeProperty(display, request.requestor, property, request.target, 8, PropModeReplace,
                                reinterpret_cast<const unsigned char*>(offer.bytes.data()),
                                static_cast<int>(offer.bytes.size()));
                notice.property = property;
            }
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

    auto seconds = [](double s) {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
    };
    std::optional<Clock::time_point> busyUntil;
    std::vector<Reply> replies;
    for (;;) {
        while (XPending(display)) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type != SelectionRequest) continue;
            const auto now = Clock::now();
            if (!busyUntil) busyUntil = now + seconds(busy);
            const auto& request = event.xselectionrequest;
            gchar* name = XGetAtomName(display, request.target);
            const bool image = name && g_str_has_prefix(name, "image/");
            if (name) XFree(name);
            replies.push_back({std::max(now, *busyUntil) + seconds(image ? delay : 0), request});
        }
        const auto now = Clock::now();
        std::erase_if(replies, [&](const Reply& reply) {
            if (reply.due > now) return false;
            answer(display, reply.request);
            return true;
        });
        int wait = 50;
        for (const auto& reply : replies)
            wait = std::min<int>(
                wait, static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(reply.due - now).count()));
        pollfd fd{ConnectionNumber(display), POLLIN, 0};
        poll(&fd, 1, std::max(wait, 0));
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
