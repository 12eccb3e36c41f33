#include "platform/linux/GtkClipboard.h"

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
    std::unique_ptr<gchar, decltype(&g_free)> name(gdk_atom_name(atom), g_free);
    return name ? std::string(name.get()) : std::string();
}

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
    const auto core = core_;
    using Targets = std::vector<std::string>;
    const Targets offered = co_await untilCalled<Targets>(loop_, [&](Resolver<Targets> done) {
        ++core->readingOurselves;
        gtk_clipboard_request_targets(
            core->clipboard,
            [](::GtkClipboard*, GdkAtom* atoms, gint count, gpointer data) {
                Targets names;
                for (gint i = 0; i < count; ++i) names.push_back(atomName(atoms[i]));
                (*unhold<Targets>(data))(std::move(names));
            },
            hold(done));
        --core->readingOurselves;
        loop_.after(requestTimeout, [done] { done({}); });
    });

    Snapshot snapshot;
    if (offered.empty()) co_return snapshot;  // no owner: the clipboard is empty
    Snapshot::Item item;
    for (const auto& target : offered) {
        if (isMeta(target)) continue;
        if (std::any_of(item.begin(), item.end(), [&](const auto& entry) { return entry.first == target; })) continue;
        auto answer = co_await read(target);
        if (!answer) continue;
        answerTypes_[target] = answer->type;
        item.emplace_back(target, std::move(answer->bytes));
    }
    snapshot.items.push_back(std::move(item));
    co_return snapshot;
}

Task<std::optional<GtkClipboard::Answer>> GtkClipboard::read(std::string target) {
    const auto core = core_;
    using Result = std::optional<Answer>;
    co_return co_await untilCalled<Result>(loop_, [&](Resolver<Result> done) {
        ++core->readingOurselves;
        gtk_clipboard_request_contents(
            core->clipboard, gdk_atom_intern(target.c_str(), FALSE),
            [](::GtkClipboard*, GtkSelectionData* data, gpointer held) {
                auto done = unhold<Result>(held);
                const gint length = gtk_selection_data_get_length(data);
                // Data in 16- or 32-bit units is stored as C longs on the client
                // side and would not survive as bytes; contents are 8-bit.
                if (length < 0 || (length > 0 && gtk_selection_data_get_format(data) != 8))
                    return (*done)(std::nullopt);
                const auto* bytes = reinterpret_cast<const char*>(gtk_selection_data_get_data(data));
                (*done)(Answer{atomName(gtk_selection_data_get_data_type(data)),
                               std::string(bytes ? bytes : "", static_cast<std::size_t>(length))});
            },
            hold(done));
        --core->readingOurselves;
        loop_.after(requestTimeout, [done] { done(std::nullopt); });
    });
}

std::uint64_t GtkClipboard::setText(const std::string& utf8) {
    auto contents = std::make_unique<Served>();
    GtkTargetList* list = gtk_target_list_new(nullptr, 0);
    gtk_target_list_add_text_targets(list, 0);
    gint count = 0;
    GtkTargetEntry* entries = gtk_target_table_new_from_list(list, &count);
    for (gint i = 0; i < count; ++i) contents->targets.emplace_back(entries[i].target);
    gtk_target_table_free(entries, count);
    gtk_target_list_unref(list);
    contents->text = utf8;
    return take(std::move(contents));
}

void GtkClipboard::restore(const Snapshot& snapshot) {
    auto contents = std::make_unique<Served>();
    for (const auto& item : snapshot.items)
        for (const auto& [type, bytes] : item) {
            if (std::find(contents->targets.begin(), contents->targets.end(), type) != contents->targets.end())
                continue;
            auto answered = answerTypes_.find(type);
            contents->targets.push_back(type);
            contents->answers.push_back({answered != answerTypes_.end() ? answered->second : type, bytes});
        }
    take(std::move(contents));
}

std::uint64_t GtkClipboard::take(std::unique_ptr<Served> contents) {
    Core& core = *core_;
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
