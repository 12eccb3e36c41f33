#pragma once
// A desktop scene for typing at the cursor under a real X server: our paste on
// GTK's clipboard and XTest, another program that owns the clipboard, a GTK
// window with a focused entry, and a program that reads the clipboard back.
// Shared by the integration test and the benchmark.

#include <gio/gio.h>
#include <gtk/gtk.h>
#include <signal.h>

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "fill/Paste.h"
#include "platform/linux/GlibMainLoop.h"
#include "platform/linux/GtkClipboard.h"
#include "platform/linux/XTestKeyboard.h"

namespace vell::test {

inline std::optional<std::string> readWholeFile(const std::filesystem::path& path) {
    gchar* bytes = nullptr;
    gsize length = 0;
    if (!g_file_get_contents(path.c_str(), &bytes, &length, nullptr)) return std::nullopt;
    std::string contents(bytes, length);
    g_free(bytes);
    return contents;
}

inline void writeWholeFile(const std::filesystem::path& path, const std::string& bytes) {
    if (!g_file_set_contents(path.c_str(), bytes.data(), static_cast<gssize>(bytes.size()), nullptr))
        throw std::runtime_error("cannot write " + path.string());
}

// A child program, asked to end (SIGTERM) when the owner goes.
class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string>& argv) {
        std::vector<const gchar*> args;
        for (const auto& arg : argv) args.push_back(arg.c_str());
        args.push_back(nullptr);
        GError* error = nullptr;
        process_.reset(g_subprocess_newv(args.data(), G_SUBPROCESS_FLAGS_NONE, &error));
        if (!process_) {
            const std::string message = error->message;
            g_error_free(error);
            throw std::runtime_error("cannot start " + argv.front() + ": " + message);
        }
        g_subprocess_wait_async(
            process_.get(), nullptr,
            [](GObject*, GAsyncResult*, gpointer flag) {
                std::unique_ptr<std::shared_ptr<bool>> exited(static_cast<std::shared_ptr<bool>*>(flag));
                **exited = true;
            },
            new std::shared_ptr<bool>(exited_));
    }
    ~ChildProcess() {
        if (!*exited_) g_subprocess_send_signal(process_.get(), SIGTERM);
        g_subprocess_wait(process_.get(), nullptr, nullptr);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool exited() const { return *exited_; }
    bool succeeded() const { return *exited_ && g_subprocess_get_successful(process_.get()); }
    void signal(int number) { g_subprocess_send_signal(process_.get(), number); }

private:
    std::unique_ptr<GSubprocess, decltype(&g_object_unref)> process_{nullptr, g_object_unref};
    std::shared_ptr<bool> exited_ = std::make_shared<bool>(false);
};

class PasteScene {
public:
    using Targets = std::vector<std::pair<std::string, std::string>>;  // target, bytes

    PasteScene() {
        gchar* dir = g_dir_make_tmp("vell-paste-XXXXXX", nullptr);
        scratch_ = dir;
        g_free(dir);
    }
    ~PasteScene() {
        owner_.reset();
        entry_.reset();
        std::error_code ignored;
        std::filesystem::remove_all(scratch_, ignored);
    }

private:
    struct GtkStarted {
        GtkStarted() {
            if (!gtk_init_check(nullptr, nullptr)) throw std::runtime_error("no X display");
        }
    } gtkStarted_;  // before the clipboard below

public:
    platform::GlibMainLoop loop;
    platform::GtkClipboard clipboard{loop};
    platform::XTestKeyboard keyboard;
    fill::Paste paste{loop, clipboard, keyboard};

    // Another program takes the clipboard offering these targets.
    // With `busy` or `imageDelay` (seconds), the program is busy at the first
    // request and answers image/* targets that late, side by side.
    void offerElsewhere(const Targets& targets, double busy = 0, double imageDelay = 0) {
        const auto dir = fresh("owner");
        std::vector<std::string> argv{VELL_PASTE_CLIPBOARD_TOOL, "own", (dir / "ready").string()};
        if (busy > 0 || imageDelay > 0)
            argv = {VELL_PASTE_CLIPBOARD_TOOL, "own-slow", (dir / "ready").string(), std::to_string(busy),
                    std::to_string(imageDelay)};
        for (std::size_t i = 0; i < targets.size(); ++i) {
            const auto file = dir / std::to_string(i);
            writeWholeFile(file, targets[i].second);
            argv.push_back(targets[i].first + "=" + file.string());
        }
        owner_.reset();
        owner_ = std::make_unique<ChildProcess>(argv);
        waitFor([&] { return std::filesystem::exists(dir / "ready"); }, "the clipboard owner to start");
    }
    // The other program takes the clipboard again (after our restore owns it).
    void offerAgain() {
        const auto before = clipboard.changeCount();
        owner_->signal(SIGUSR1);
        waitFor([&] { return clipboard.changeCount() != before; }, "the clipboard owner to take over again");
    }

    // Opens the target window and waits until its entry has the keyboard focus.
    void openEntry() {
        entryDir_ = fresh("entry");
        entry_ = std::make_unique<ChildProcess>(std::vector<std::string>{VELL_PASTE_ENTRY_WINDOW, entryDir_.string()});
        waitFor([&] { return std::filesystem::exists(entryDir_ / "ready"); }, "the entry window to take the focus");
    }
    std::string entryText() const { return readWholeFile(entryDir_ / "text").value_or(""); }

    // Another program reads every target back; our loop serves it meanwhile.
    std::map<std::string, std::string> readElsewhere() {
        const auto dir = fresh("dump");
        ChildProcess reader({VELL_PASTE_CLIPBOARD_TOOL, "dump", dir.string()});
        waitFor([&] { return reader.exited(); }, "the clipboard reader");
        if (!reader.succeeded()) throw std::runtime_error("the clipboard reader failed");
        std::map<std::string, std::string> read;
        for (const auto& file : std::filesystem::directory_iterator(dir))
            read[file.path().filename().string()] = readWholeFile(file.path()).value_or("");
        return read;
    }

    // Runs our loop until `done` holds. Other programs' progress (files) wakes
    // nobody here, so a short tick keeps the loop looking.
    template <typename Done>
    bool runUntil(Done done, double seconds = 20) {
        const auto tick = loop.every(0.01, [] {});
        const bool held = loop.runUntil(done, seconds);
        tick.cancel();
        return held;
    }
    template <typename Done>
    void waitFor(Done done, const std::string& what, double seconds = 20) {
        if (!runUntil(done, seconds)) throw std::runtime_error("timed out waiting for " + what);
    }

private:
    std::filesystem::path fresh(const std::string& name) {
        const auto dir = scratch_ / (name + std::to_string(++made_));
        std::filesystem::create_directories(dir);
        return dir;
    }

    std::filesystem::path scratch_;
    std::filesystem::path entryDir_;
    int made_ = 0;
    std::unique_ptr<ChildProcess> owner_;
    std::unique_ptr<ChildProcess> entry_;
};

}  // namespace vell::test
