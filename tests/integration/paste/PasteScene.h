#pragma once
// A desktop scene for typing at the cursor under a real X server: our paste on
// GTK's clipboard and XTest, another program that owns the clipboard, a GTK
// window with a focused entry, and a program that reads the clipboard back.
// Shared by the integration test and the benchmark.

#include <gtk/gtk.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "ChildProcesses.h"
#include "ScratchFolder.h"
#include "fill/Paste.h"
#include "integration/fill/FormProcess.h"
#include "platform/linux/GlibMainLoop.h"
#include "platform/linux/GtkClipboard.h"
#include "platform/linux/XTestKeyboard.h"

namespace vell::test {

class PasteScene {
public:
    using Targets = std::vector<std::pair<std::string, std::string>>;  // target, bytes

private:
    ScratchFolder scratch_{"vell-paste"};  // removed after the programs below have ended
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
    // request and answers image/* targets that late, side by side. Without
    // `noticed`, our loop does not run meanwhile: the X server has the change, we have not seen it.
    void offerElsewhere(const Targets& targets, double busy = 0, double imageDelay = 0, bool noticed = true) {
        const auto dir = fresh("owner");
        std::vector<std::string> argv{VELL_PASTE_CLIPBOARD_TOOL, "own", (dir / "ready").string()};
        if (busy > 0 || imageDelay > 0)
            argv = {VELL_PASTE_CLIPBOARD_TOOL, "own-slow", (dir / "ready").string(), std::to_string(busy),
                    std::to_string(imageDelay)};
        for (std::size_t i = 0; i < targets.size(); ++i) {
            const auto file = dir / std::to_string(i);
            std::ofstream(file, std::ios::binary) << targets[i].second;
            argv.push_back(targets[i].first + "=" + file.string());
        }
        owner_.reset();
        owner_ = std::make_unique<ChildProcess>(argv);
        const auto ready = [&] { return std::filesystem::exists(dir / "ready"); };
        while (!noticed && !ready()) g_usleep(10000);
        waitFor(ready, "the clipboard owner to start");
    }
    // The other program takes the clipboard again (after our restore owns it).
    void offerAgain() {
        const auto before = clipboard.changeCount();
        owner_->signal(SIGUSR1);
        waitFor([&] { return clipboard.changeCount() != before; }, "the clipboard owner to take over again");
    }

    // Opens the target window and waits until its entry has the keyboard focus.
    void openEntry() {
        entry_ = std::make_unique<FormProcess>(std::vector<std::string>{VELL_FORM_FIXTURE, "--entry"});
        if (!entry_->waitReady()) throw std::runtime_error("the entry window did not take the focus");
    }
    std::string entryText() {
        const auto values = entry_->values();
        return values.is_object() ? values.value("entry", "") : "";
    }

    // Another program reads every target back; our loop serves it meanwhile.
    std::map<std::string, std::string> readElsewhere() {
        const auto dir = fresh("dump");
        ChildProcess reader({VELL_PASTE_CLIPBOARD_TOOL, "dump", dir.string()});
        waitFor([&] { return reader.exited(); }, "the clipboard reader");
        if (!reader.succeeded()) throw std::runtime_error("the clipboard reader failed");
        std::map<std::string, std::string> read;
        for (const auto& file : std::filesystem::directory_iterator(dir)) {
            std::ifstream in(file.path(), std::ios::binary);
            read[file.path().filename().string()] = {std::istreambuf_iterator<char>(in), {}};
        }
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

    int made_ = 0;
    std::unique_ptr<ChildProcess> owner_;
    std::unique_ptr<FormProcess> entry_;
};

}  // namespace vell::test
