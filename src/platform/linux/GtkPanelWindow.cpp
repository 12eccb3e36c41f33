#include "platform/linux/GtkPanelWindow.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <gdk/gdkx.h>

#include <cmath>
#include <memory>

namespace vell::platform {

namespace {

// The shape of a rounded rectangle, one row of pixels at a time in the corners.
cairo_region_t* roundedRegion(int width, int height, int radius) {
    cairo_region_t* region = cairo_region_create();
    const cairo_rectangle_int_t middle{0, radius, width, height - 2 * radius};
    cairo_region_union_rectangle(region, &middle);
    for (int y = 0; y < radius; ++y) {
        const double dy = radius - y - 0.5;
        const int inset = static_cast<int>(std::lround(radius - std::sqrt(radius * radius - dy * dy)));
        const cairo_rectangle_int_t top{inset, y, width - 2 * inset, 1};
        const cairo_rectangle_int_t bottom{inset, height - 1 - y, width - 2 * inset, 1};
        cairo_region_union_rectangle(region, &top);
        cairo_region_union_rectangle(region, &bottom);
    }
    return region;
}

bool contains(const GdkRectangle& r, int x, int y) {
    return x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height;
}

// Whether a mapped window of this program (the panel, a menu it opened) holds the point.
bool ownWindowAt(int x, int y) {
    GList* windows = gtk_window_list_toplevels();
    bool found = false;
    for (GList* item = windows; item && !found; item = item->next) {
        GtkWidget* widget = GTK_WIDGET(item->data);
        GdkWindow* gdkWindow = gtk_widget_get_window(widget);
        if (!gtk_widget_get_mapped(widget) || !gdkWindow) continue;
        GdkRectangle frame;
        gdk_window_get_frame_extents(gdkWindow, &frame);
        found = contains(frame, x, y);
    }
    g_list_free(windows);
    return found;
}

// The window the window manager calls active, when there is one.
Window activeWindow(Display* display) {
    const Atom property = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
    Atom type = None;
    int format = 0;
    unsigned long count = 0, remaining = 0;
    unsigned char* data = nullptr;
    Window window = None;
    if (XGetWindowProperty(display, DefaultRootWindow(display), property, 0, 1, False, XA_WINDOW, &type, &format,
                           &count, &remaining, &data) == Success &&
        data && type == XA_WINDOW && format == 32 && count == 1)
        window = static_cast<Window>(*reinterpret_cast<unsigned long*>(data));
    if (data) XFree(data);
    return window;
}

// Raw button presses on the whole screen, read on a connection of its own so
// that GTK's event handling never sees or steals them.
class PressWatch {
public:
    explicit PressWatch(std::function<void()> onPress) : onPress_(std::move(onPress)), display_(XOpenDisplay(nullptr)) {
        int event = 0, error = 0;
        if (!display_ || !XQueryExtension(display_, "XInputExtension", &opcode_, &event, &error)) return;
        unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
        XISetMask(bits, XI_RawButtonPress);
        XIEventMask mask{XIAllMasterDevices, sizeof bits, bits};
        XISelectEvents(display_, DefaultRootWindow(display_), &mask, 1);
        XSync(display_, False);  // the selection holds once show() returns
        GIOChannel* channel = g_io_channel_unix_new(ConnectionNumber(display_));
        source_ = g_io_add_watch(channel, G_IO_IN, &PressWatch::readable, this);
        g_io_channel_unref(channel);
    }
    ~PressWatch() {
        if (source_) g_source_remove(source_);
        if (display_) XCloseDisplay(display_);
    }
    PressWatch(const PressWatch&) = delete;
    PressWatch& operator=(const PressWatch&) = delete;

private:
    static gboolean readable(GIOChannel*, GIOCondition, gpointer data) {
        auto* self = static_cast<PressWatch*>(data);
        if (!self->pressedOutside()) return G_SOURCE_CONTINUE;
        // The handler may drop this watch: nothing of it is touched afterwards.
        auto onPress = self->onPress_;
        onPress();
        return G_SOURCE_CONTINUE;
    }

    // Drains the connection; true when a left or right press landed outside.
    bool pressedOutside() {
        bool pressed = false;
        while (XPending(display_)) {
            XEvent event;
            XNextEvent(display_, &event);
            XGenericEventCookie* cookie = &event.xcookie;
            if (cookie->type != GenericEvent || cookie->extension != opcode_ || !XGetEventData(display_, cookie))
                continue;
            if (cookie->evtype == XI_RawButtonPress) {
                const int button = static_cast<XIRawEvent*>(cookie->data)->detail;
                pressed = pressed || button == Button1 || button == Button3;
            }
            XFreeEventData(display_, cookie);
        }
        if (!pressed) return false;
        // Raw events carry no position: the pointer has not gone far since.
        Window root = None, child = None;
        int x = 0, y = 0, wx = 0, wy = 0;
        unsigned int mask = 0;
        if (!XQueryPointer(display_, DefaultRootWindow(display_), &root, &child, &x, &y, &wx, &wy, &mask)) return false;
        return !ownWindowAt(x, y);
    }

    std::function<void()> onPress_;
    Display* display_;
    int opcode_ = 0;
    guint source_ = 0;
};

}  // namespace

GtkPanelWindow::GtkPanelWindow(int width, int height) : window_(GTK_WINDOW(gtk_window_new(GTK_WINDOW_TOPLEVEL))) {
    g_object_ref_sink(window_);
    gtk_window_set_title(window_, "Vell");
    gtk_window_set_decorated(window_, FALSE);
    gtk_window_set_resizable(window_, FALSE);
    gtk_widget_set_size_request(GTK_WIDGET(window_), width, height);
    gtk_window_set_default_size(window_, width, height);
    gtk_window_set_keep_above(window_, TRUE);
    gtk_window_stick(window_);
    gtk_window_set_skip_taskbar_hint(window_, TRUE);
    gtk_window_set_skip_pager_hint(window_, TRUE);
    gtk_window_set_type_hint(window_, GDK_WINDOW_TYPE_HINT_UTILITY);
    gtk_window_set_accept_focus(window_, FALSE);
    gtk_window_set_focus_on_map(window_, FALSE);

    GdkScreen* screen = gtk_widget_get_screen(GTK_WIDGET(window_));
    if (GdkVisual* rgba = gdk_screen_get_rgba_visual(screen); rgba && gdk_screen_is_composited(screen)) {
        gtk_widget_set_visual(GTK_WIDGET(window_), rgba);
        translucent_ = true;
    }
    gtk_style_context_add_class(gtk_widget_get_style_context(GTK_WIDGET(window_)),
                                translucent_ ? "vell-translucent" : "vell-opaque");
    cairo_region_t* shape = roundedRegion(width, height, cornerRadius);
    gtk_widget_shape_combine_region(GTK_WIDGET(window_), shape);
    cairo_region_destroy(shape);
}

GtkPanelWindow::~GtkPanelWindow() {
    gtk_widget_destroy(GTK_WIDGET(window_));
    g_object_unref(window_);
}

namespace {
Display* xDisplay() {
    GdkDisplay* display = gdk_display_get_default();
    return display && GDK_IS_X11_DISPLAY(display) ? GDK_DISPLAY_XDISPLAY(display) : nullptr;
}

// Asks the window manager to make `window` active, as a pager would.
void activate(Display* display, Window window) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = 2;  // source: a pager, which the window manager obeys
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, DefaultRootWindow(display), False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
    XFlush(display);
}
}  // namespace

void GtkPanelWindow::allowTyping(guint32 eventTime) {
    if (gtk_window_get_accept_focus(window_)) return;
    if (Display* display = xDisplay()) {
        GdkWindow* own = gtk_widget_get_window(GTK_WIDGET(window_));
        const Window active = activeWindow(display);
        typingFrom_ = own && active == GDK_WINDOW_XID(own) ? 0 : active;
    }
    gtk_window_set_accept_focus(window_, TRUE);
    gtk_window_present_with_time(window_, eventTime);
}

std::optional<PanelWindow::Rect> GtkPanelWindow::workArea() {
    GdkDisplay* display = gdk_display_get_default();
    if (!display) return std::nullopt;
    GdkMonitor* monitor = nullptr;
    if (GDK_IS_X11_DISPLAY(display)) {
        Display* x = GDK_DISPLAY_XDISPLAY(display);
        gdk_x11_display_error_trap_push(display);
        if (Window active = activeWindow(x); active != None) {
            XWindowAttributes attributes;
            Window child = None;
            int cx = 0, cy = 0;
            if (XGetWindowAttributes(x, active, &attributes) &&
                XTranslateCoordinates(x, active, DefaultRootWindow(x), attributes.width / 2, attributes.height / 2, &cx,
                                      &cy, &child))
                monitor = gdk_display_get_monitor_at_point(display, cx, cy);
        }
        gdk_x11_display_error_trap_pop_ignored(display);
    }
    if (!monitor) monitor = gdk_display_get_primary_monitor(display);
    if (!monitor && gdk_display_get_n_monitors(display) > 0) monitor = gdk_display_get_monitor(display, 0);
    if (!monitor) return std::nullopt;
    GdkRectangle area;
    gdk_monitor_get_workarea(monitor, &area);
    return Rect{area.x, area.y, area.width, area.height};
}

void GtkPanelWindow::setFrame(Rect frame) {
    gtk_window_move(window_, frame.x, frame.y);
    gtk_window_resize(window_, frame.width, frame.height);
}

void GtkPanelWindow::orderFront() {
    // Shown without focus (accept-focus and focus-on-map are off), then raised
    // without asking the window manager to activate it.
    gtk_widget_show(GTK_WIDGET(window_));
    if (GdkWindow* window = gtk_widget_get_window(GTK_WIDGET(window_))) gdk_window_raise(window);
}

void GtkPanelWindow::orderOut() {
    const bool hadFocus = gtk_window_is_active(window_);
    gtk_widget_hide(GTK_WIDGET(window_));
    gtk_window_set_accept_focus(window_, FALSE);
    // A paste follows a hide: it must land where the person was before typing here.
    if (Display* display = xDisplay(); display && hadFocus && typingFrom_) {
        gdk_x11_display_error_trap_push(gdk_display_get_default());
        activate(display, typingFrom_);
        gdk_x11_display_error_trap_pop_ignored(gdk_display_get_default());
    }
    typingFrom_ = 0;
}

bool GtkPanelWindow::isVisible() const { return gtk_widget_get_visible(GTK_WIDGET(window_)); }

PanelWindow::Watch GtkPanelWindow::watchOutsidePresses(std::function<void()> onPress) {
    return std::make_shared<PressWatch>(std::move(onPress));
}

}  // namespace vell::platform
