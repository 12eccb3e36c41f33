// The self test's lines for each state of the desktop and its exit status.

#include <gtest/gtest.h>

#include <sstream>

#include "FakeAudioInput.h"
#include "FakeKeyGrab.h"
#include "FakeSession.h"
#include "VirtualLoop.h"
#include "app/SelfTest.h"

using vell::app::SelfTest;

namespace {

using Authorisation = vell::platform::AudioInput::Authorisation;

// A tray item whose host accepts it or not.
struct TrayItem final : vell::platform::StatusItem {
    explicit TrayItem(bool shown) : shown(shown) {}
    bool setImage(const std::string& symbol, const std::string&) override { return symbol == "mic"; }
    void setToolTip(const std::string&) override {}
    void setTitle(const std::string&) override {}
    void setOnPrimaryClick(std::function<void()>) override {}
    void setMenuProvider(std::function<Menu()>) override {}
    bool isShown() const override { return shown; }
    void remove() override { shown = false; }
    bool shown;
};

struct Trust final : vell::platform::Desktop {
    bool trusted = true;
    std::shared_ptr<Application> frontApplication() override { return nullptr; }
    pid_t ownProcessId() const override { return 1; }
    bool accessibilityTrusted() override { return trusted; }
    void openInBrowser(const std::string&) override {}
};

// What each state of the desktop prints, and which of them count as failures.
TEST(SelfTestRunTest, DesktopStatesPrintTheirLinesAndOnlyChecksCountAsFailures) {
    struct Row {
        bool trayHost;
        bool keyTaken;
        Authorisation microphone;
        bool trusted;
        std::vector<std::string> lines;
        int failures;
    };
    const Row rows[] = {
        {false,
         false,
         Authorisation::denied,
         true,
         {"FAIL  status item has a button\nPASS  Ctrl+Alt+Space",
          "microphone: DENIED \u2014 Settings \u203a Privacy \u203a Microphone\n"},
         1},
        {true,
         true,
         Authorisation::notDetermined,
         false,
         {"PASS  microphone glyph resolves", "FAIL  Ctrl+Alt+Space is available  \u2014 another app already owns it\n",
          "microphone: not asked yet \u2014 hold the hotkey once and the system will ask\n",
          "accessibility: NOT granted \u2014 Settings \u203a Accessibility. If Vell is already listed there, remove it "
          "and add it again.\n"},
         1},
        {true, false, Authorisation::restricted, true, {"microphone: restricted by policy\n"}, 0},
    };
    for (const auto& row : rows) {
        vell::test::VirtualLoop loop;
        vell::test::FakeKeyGrab grab;
        vell::test::FakeAudioInput microphone;
        vell::test::FakeSession session(std::nullopt);
        Trust desktop;
        grab.taken = row.keyTaken;
        microphone.status = row.microphone;
        desktop.trusted = row.trusted;
        std::ostringstream out;
        SelfTest test(out);
        const int status =
            test.run({loop, [](const std::function<bool()>& done, double) { return done(); },
                      [&] { return std::make_unique<TrayItem>(row.trayHost); }, grab, microphone, desktop, session});
        for (const auto& line : row.lines) EXPECT_NE(out.str().find(line), std::string::npos) << line << out.str();
        EXPECT_EQ(test.failures(), row.failures);
        EXPECT_EQ(status, row.failures ? 1 : 0);
        EXPECT_FALSE(grab.held()) << "the key is given back";
    }
}

}  // namespace
