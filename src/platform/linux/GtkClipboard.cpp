#include "platform/linux/GtkClipboard.h"

#include <X11/Xlib.h>
#include <gdk/gdkx.h>
#include <gtk/gtk.h>

#include <algorithm>
#include <array>
#include <string_view>
#include <vector>

#include "platform/Async.h"

namespace vell::platform {
namespace {

// Targets that ask the owner to do something or describe the selection itself
// rather than hold contents; copying them would be wrong or meaningless.
constexpr std::array<std::string_view, 8> metaTargets = {
    "TARGETS", "MULTIPLE", "TIMESTAMP", "SAVE_TARGETS", "DELETE", "INSERT_SELECTION", "INSERT_PROPERTY", "TEXT_LENGTH"};

bool isMeta(std::string_view target) {
    return std::find(metaTargets.begin(), metaTargets.end(), target) != metaTargets.end();
}

std::string atomName(GdkAtom atom) {
    g_autofree gchar* name = gdk_atom_name(atom);
    return name ? std::string(name) : std::string();
}

// No other client's requests are handled while this lives; everything the
// server sent us before is in our queue once it is made. Nests: an event
// handled meanwhile may change the clipboard too.
struct ServerHeld {
    static inline int depth = 0;
    Display* display = gdk_x11_display_get_xdisplay(gdk_display_get_default());
    ServerHeld() {
        if (depth++ == 0) XGrabServer(display);
        XSync(display, False);
    }
    ~ServerHeld() {
        if (--depth == 0) XUngrabServer(display);
        XFlush(display);
    }
    ServerHeld(const ServerHeld&) = delete;
    ServerHeld& operator=(const ServerHeld&) = delete;
};

template <typename T>
Resolver<T>* hold(const Resolver<T>& resolver) {
    return new Resolver<T>(resolver);
}

template <typename T>
std::unique_ptr<Resolver<T>> unhold(gpointer data) {
    return std::unique_ptr<Resolver<T>>(static_cast<Resolver<T>*>(data));
}

}  // namespace

struct GtkClipboard::Core {
    ::GtkClipboard* clipboard = nullptr;
    std::uint64_t changeCount = 0;
    bool owning = false;       // our contents are on the clipboard
    bool replacing = false;    // inside our own change: the old contents' release is part of it
    int readingOurselves = 0;  // GTK answers our own requests for our own contents in place
    std::function<void(std::uint64_t)> onServed;
    gulong ownerChangeHandler = 0;
};

struct GtkClipboard::Served {
    std::weak_ptr<Core> core;
    std::uint64_t changeCount = 0;
    std::vector<std::string> targets;  // offered, in order
    std::optional<std::string> text;   // plain text, converted to whichever text target is asked
    std::vector<Answer> answers;       // otherwise the bytes of each target, as captured
};

namespace {

void serve(::GtkClipboard*, GtkSelectionData* data, guint index, gpointer contents) {
    const auto* served = static_cast<const GtkClipboard::Served*>(contents);
    if (served->text) {
        gtk_selection_data_set_text(data, served->text->data(), static_cast<gint>(served->text->size()));
    } else if (index < served->answers.size()) {
        const auto& answer = served->answers[index];
        gtk_selection_data_set(data, gdk_atom_intern(answer.type.c_str(), FALSE), 8,
                               reinterpret_cast<const guchar*>(answer.bytes.data()),
                               static_cast<gint>(answer.bytes.size()));
    }
    auto core = served->core.lock();
    if (core && core->readingOurselves == 0 && core->onServed) {
        auto onServed = core->onServed;
        onServed(served->changeCount);
    }
}

void release(::GtkClipboard*, gpointer contents) {
    std::unique_ptr<GtkClipboard::Served> served(static_cast<GtkClipboard::Served*>(contents));
    auto core = served->core.lock();
    if (!core || core->replacing) return;
    // Another program took the clipboard over.
    core->owning = false;
    ++core->changeCount;
}

void ownerChanged(::GtkClipboard*, GdkEvent*, gpointer data) {
    // While we own the clipboard, a change by someone else reaches us as the
    // release of our contents; notices about our own changes are ignored.
    auto* core = static_cast<GtkClipboard::Core*>(data);
    if (!core->owning) ++core->changeCount;
}

}  // namespace

GtkClipboard::GtkClipboard(MainLoop& loop) : loop_(loop), core_(std::make_shared<Core>()) {
    core_->clipboard = gtk_clipboard_get(GDK_SELECTION_CLIPBOARD);
    core_->ownerChangeHandler =
        g_signal_connect(core_->clipboard, "owner-change", G_CALLBACK(ownerChanged), core_.get());
}

GtkClipboard::~GtkClipboard() { g_signal_handler_disconnect(core_->clipboard, core_->ownerChangeHandler); }

Task<Clipboard::Snapshot> GtkClipboard::capture() {
    Snapshot snapshot;
    Display* display = gdk_x11_display_get_xdisplay(gdk_display_get_default());
    if (XGetSelectionOwner(display, gdk_x11_get_xatom_by_name("CLIPBOARD")) == None)
        co_return snapshot;  // nobody holds anything: the clipboard is empty

    const double deadline = loop_.now() + captureBudget;
    const auto offered = co_await offeredTargets(captureBudget);
    if (!offered) {
        snapshot.readable = false;
        co_return snapshot;
    }
    std::vector<std::string> wanted;
    for (const auto& target : *offered)
        if (!isMeta(target) && std::find(wanted.begin(), wanted.end(), target) == wanted.end())
            wanted.push_back(target);
    const Answers answers = co_await readAll(wanted, std::max(0.0, deadline - loop_.now()));

    Snapshot::Item item;
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        if (!answers[i]) continue;
        answerTypes_[wanted[i]] = answers[i]->type;
        item.emplace_back(wanted[i], answers[i]->bytes);
    }
    snapshot.items.push_back(std::move(item));
    co_return snapshot;
}

// The owner's list of targets; nothing when it did not answer in time.
Task<std::optional<std::vector<std::string>>> GtkClipboard::offeredTargets(double seconds) {
    const auto core = core_;
    using Targets = std::optional<std::vector<std::string>>;
    co_return co_await untilCalled<Targets>(loop_, [&](Resolver<Targets> done) {
        ++core->readingOurselves;
        gtk_clipboard_request_targets(
            core->clipboard,
            [](::GtkClipboard*, GdkAtom* atoms, gint count, gpointer data) {
                std::vector<std::string> names;
                for (gint i = 0; i < count; ++i) names.push_back(atomName(atoms[i]));
                (*unhold<Targets>(data))(std::move(names));
            },
            hold(done));
        --core->readingOurselves;
        loop_.after(seconds, [done] { done(std::nullopt); });
    });
}

// Every target requested at once (GTK gives each request its own window), so
// an owner that answers side by side costs the slowest answer, not the sum.
Task<GtkClipboard::Answers> GtkClipboard::readAll(std::vector<std::string> targets, double seconds) {
    struct Gathering {
        Answers answers;
        std::size_t left = 0;
        Resolver<Answers> done;
    };
    struct Request {
        std::shared_ptr<Gathering> gathering;
        std::size_t index;
    };
    const auto core = core_;
    if (targets.empty()) co_return Answers{};
    co_return co_await untilCalled<Answers>(loop_, [&](Resolver<Answers> done) {
        auto gathering = std::make_shared<Gathering>(Gathering{Answers(targets.size()), targets.size(), done});
        ++core->readingOurselves;
        for (std::size_t i = 0; i < targets.size(); ++i)
            gtk_clipboard_request_contents(
                core->clipboard, gdk_atom_intern(targets[i].c_str(), FALSE),
                [](::GtkClipboard*, GtkSelectionData* data, gpointer held) {
                    std::unique_ptr<Request> request(static_cast<Request*>(held));
                    Gathering& gathering = *request->gathering;
                    const gint length = gtk_selection_data_get_length(data);
                    // Data in 16- or 32-bit units is stored as C longs on the client
                    // side and would not survive as bytes; contents are 8-bit.
                    if (length >= 0 && (length == 0 || gtk_selection_data_get_format(data) == 8)) {
                        const auto* bytes = reinterpret_cast<const char*>(gtk_selection_data_get_data(data));
                        gathering.answers[request->index] =
                            Answer{atomName(gtk_selection_data_get_data_type(data)),
                                   std::string(bytes ? bytes : "", static_cast<std::size_t>(length))};
                    }
                    if (--gathering.left == 0) gathering.done(gathering.answers);
                },
                new Request{gathering, i});
        --core->readingOurselves;
        loop_.after(seconds, [gathering] { gathering->done(gathering->answers); });
    });
}

std::optional<std::uint64_t> GtkClipboard::setText(const std::string& utf8, std::optional<std::uint64_t> expected) {
    auto contents = std::make_unique<Served>();
    GtkTargetList* list = gtk_target_list_new(nullptr, 0);
    gtk_target_list_add_text_targets(list, 0);
    gint count = 0;
    GtkTargetEntry* entries = gtk_target_table_new_from_list(list, &count);
    for (gint i = 0; i < count; ++i) contents->targets.emplace_back(entries[i].target);
    gtk_target_table_free(entries, count);
    gtk_target_list_unref(list);
    contents->text = utf8;
    return take(std::move(contents), expected);
}

bool GtkClipboard::restore(const Snapshot& snapshot, std::optional<std::uint64_t> expected) {
    auto contents = std::make_unique<Served>();
    for (const auto& item : snapshot.items)
        for (const auto& [type, bytes] : item) {
            if (std::find(contents->targets.begin(), contents->targets.end(), type) != contents->targets.end())
                continue;
            auto answered = answerTypes_.find(type);
            contents->targets.push_back(type);
            contents->answers.push_back({answered != answerTypes_.end() ? answered->second : type, bytes});
        }
    return take(std::move(contents), expected).has_value();
}

std::optional<std::uint64_t> GtkClipboard::take(std::unique_ptr<Served> contents,
                                                std::optional<std::uint64_t> expected) {
    Core& core = *core_;
    std::optional<ServerHeld> held;
    if (expected) {
        // What we know of the clipboard may lag behind the server: a copy made
        // elsewhere a moment ago is only a notice on its way to us. With the
        // server held, every change already made has been sent to us; taking
        // those notices in brings the count up to date, and no new change can
        // come before ours.
        held.emplace();
        while (GdkEvent* event = gdk_display_get_event(gdk_display_get_default())) {
            gtk_main_do_event(event);
            gdk_event_free(event);
        }
        if (core.changeCount != *expected) return std::nullopt;
    }
    const std::uint64_t next = core.changeCount + 1;
    contents->core = core_;
    contents->changeCount = next;
    core.replacing = true;
    if (contents->targets.empty()) {
        // Nothing to offer: the clipboard is left without an owner.
        if (core.owning)
            gtk_clipboard_clear(core.clipboard);
        else
            gtk_selection_owner_set_for_display(gdk_display_get_default(), nullptr, GDK_SELECTION_CLIPBOARD,
                                                GDK_CURRENT_TIME);
        core.owning = false;
    } else {
        std::vector<GtkTargetEntry> entries;
        for (std::size_t i = 0; i < contents->targets.size(); ++i)
            entries.push_back({const_cast<gchar*>(contents->targets[i].c_str()), 0, static_cast<guint>(i)});
        // GTK keeps the contents and hands them back to release() when they leave the clipboard.
        Served* served = contents.get();
        if (gtk_clipboard_set_with_data(core.clipboard, entries.data(), static_cast<guint>(entries.size()), serve,
                                        release, served)) {
            contents.release();
            core.owning = true;
            // A clipboard manager may keep all of it once we are gone.
            gtk_clipboard_set_can_store(core.clipboard, nullptr, 0);
        } else {
            core.owning = false;
        }
    }
    core.replacing = false;
    core.changeCount = next;
    return next;
}

std::uint64_t GtkClipboard::changeCount() { return core_->changeCount; }

void GtkClipboard::setOnServed(std::function<void(std::uint64_t)> onServed) { core_->onServed = std::move(onServed); }

}  // namespace vell::platform
