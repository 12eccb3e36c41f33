#include "platform/linux/X11KeyGrab.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <glib.h>

#include <array>
#include <utility>

namespace vell::platform {
namespace {

// The program's key codes and modifier bits, and their X names.
constexpr std::array<std::pair<std::uint32_t, KeySym>, 4> keyTable{{
    {49, XK_space},
    {36, XK_Return},
    {48, XK_Tab},
    {53, XK_Escape},
}};
constexpr std::array<std::pair<std::uint32_t, unsigned int>, 4> modifierTable{{
    {0x1000, ControlMask},
    {0x0800, Mod1Mask},
    {0x0200, ShiftMask},
    {0x0100, Mod4Mask},
}};

// False when the key or any modifier bit has no X name.
bool translate(KeyGrab::Combination combination, KeySym& keysym, unsigned int& modifiers) {
    keysym = NoSymbol;
    for (const auto& [code, sym] : keyTable)
        if (code == combination.keyCode) keysym = sym;
    modifiers = 0;
    std::uint32_t left = combination.modifiers;
    for (const auto& [bit, mask] : modifierTable)
        if (left & bit) {
            modifiers |= mask;
            left &= ~bit;
        }
    return keysym != NoSymbol && left == 0;
}

// The modifier bit that NumLock sets on this server (usually Mod2).
unsigned int numLockMask(Display* display) {
    const KeyCode numLock = XKeysymToKeycode(display, XK_Num_Lock);
    XModifierKeymap* map = XGetModifierMapping(display);
    unsigned int mask = 0;
    for (int modifier = 0; numLock && modifier < 8 && !mask; ++modifier)
        for (int k = 0; k < map->max_keypermod; ++k)
            if (map->modifiermap[modifier * map->max_keypermod + k] == numLock) mask = 1u << modifier;
    XFreeModifiermap(map);
    return mask;
}

// X reports errors asynchronously through one process-wide handler; a grab
// installs this one around its requests and an XSync, so a refusal is known
// before grab() returns. Errors of other connections go to the previous handler.
Display* trappedDisplay = nullptr;
bool accessDenied = false;
XErrorHandler previousHandler = nullptr;

int trapError(Display* display, XErrorEvent* error) {
    if (display != trappedDisplay) return previousHandler ? previousHandler(display, error) : 0;
    if (error->error_code == BadAccess) accessDenied = true;
    return 0;
}

struct XSource {
    GSource base;
    X11KeyGrab* owner;
    Display* display;
};

GSourceFuncs xSourceFuncs = {
    // prepare: events Xlib has already read need no poll.
    [](GSource* source, gint* timeout) -> gboolean {
        *timeout = -1;
        return XEventsQueued(reinterpret_cast<XSource*>(source)->display, QueuedAlready) > 0;
    },
    [](GSource* source) -> gboolean { return XPending(reinterpret_cast<XSource*>(source)->display) > 0; },
    [](GSource* source, GSourceFunc, gpointer) -> gboolean {
        reinterpret_cast<XSource*>(source)->owner->dispatchPending();
        return G_SOURCE_CONTINUE;
    },
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

X11KeyGrab::X11KeyGrab() : display_(XOpenDisplay(nullptr)) {
    if (!display_) return;
    Bool supported = False;
    XkbSetDetectableAutoRepeat(display_, True, &supported);
    auto* source = reinterpret_cast<XSource*>(g_source_new(&xSourceFuncs, sizeof(XSource)));
    source->owner = this;
    source->display = display_;
    g_source_add_unix_fd(&source->base, ConnectionNumber(display_), G_IO_IN);
    g_source_attach(&source->base, nullptr);
    source_ = &source->base;
}

X11KeyGrab::~X11KeyGrab() {
    release();
    if (source_) {
        g_source_destroy(source_);
        g_source_unref(source_);
    }
    if (display_) XCloseDisplay(display_);
}

bool X11KeyGrab::grab(Combination combination, Handler handler) {
    release();
    KeySym keysym = NoSymbol;
    Grabbed key;
    if (!display_ || !translate(combination, keysym, key.modifiers)) return false;
    key.keycode = XKeysymToKeycode(display_, keysym);
    if (key.keycode == 0 || !grabAllLockStates(key)) return false;
    grabbed_ = std::make_unique<Grabbed>(key);
    handler_ = std::move(handler);
    return true;
}

void X11KeyGrab::release() {
    handler_ = nullptr;
    if (!grabbed_) return;
    ungrabAllLockStates(*grabbed_);
    grabbed_.reset();
}

bool X11KeyGrab::grabAllLockStates(const Grabbed& key) {
    const unsigned int numLock = numLockMask(display_);
    XSync(display_, False);  // errors of earlier requests are not this grab's
    trappedDisplay = display_;
    accessDenied = false;
    previousHandler = XSetErrorHandler(trapError);
    const Window root = DefaultRootWindow(display_);
    for (unsigned int locks : {0u, static_cast<unsigned int>(LockMask), numLock, LockMask | numLock})
        XGrabKey(display_, static_cast<int>(key.keycode), key.modifiers | locks, root, False, GrabModeAsync,
                 GrabModeAsync);
    XSync(display_, False);
    XSetErrorHandler(previousHandler);
    trappedDisplay = nullptr;
    if (!accessDenied) return true;
    // Some lock states may have been granted before one was refused.
    ungrabAllLockStates(key);
    return false;
}

void X11KeyGrab::ungrabAllLockStates(const Grabbed& key) {
    const unsigned int numLock = numLockMask(display_);
    const Window root = DefaultRootWindow(display_);
    // Ungrabbing a key this client never grabbed changes nothing.
    for (unsigned int locks : {0u, static_cast<unsigned int>(LockMask), numLock, LockMask | numLock})
        XUngrabKey(display_, static_cast<int>(key.keycode), key.modifiers | locks, root);
    XSync(display_, False);
}

void X11KeyGrab::dispatchPending() {
    while (display_ && XPending(display_) > 0) {
        XEvent event;
        XNextEvent(display_, &event);
        if (event.type != KeyPress && event.type != KeyRelease) continue;
        // During the hold every key comes to this client; only the grabbed
        // key counts, and its release whatever modifiers are still down.
        if (!grabbed_ || event.xkey.keycode != grabbed_->keycode || !handler_) continue;
        auto handler = handler_;  // the handler may release the grab
        handler(event.type == KeyPress);
    }
}

}  // namespace vell::platform
