// The self test's lines for each state of the desktop and its exit status.
#include <gtest/gtest.h>

#include <sstream>

#include "ControllerDoubles.h"
#include "FakeAudioInput.h"
#include "FakeKeyGrab.h"
#include "FakeSession.h"
#include "VirtualLoop.h"
#include "app/SelfTest.h"

namespace vell::app {
namespace {

using Authorisation = platform::AudioInput::Authorisation;

// A tray item whose host accepts it or not.
struct TrayItem final : platform::StatusItem {
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

// What each state of the desktop prints, and which of them count as failures.
TEST(SelfTestTest, DesktopStatesPrintTheirLinesAndOnlyChecksCountAsFailures) {
    struct Row {
        bool trayHost, keyTaken;
        Authorisation microphone;
        bool trusted;
        int failures;
        std::string lines;  // each of them, "|" between two
    };
    const Row rows[] = {
        {false, false, Authorisation::denied, true, 1,
         "FAIL  status item has a button\nPASS  Ctrl+Alt+Space|microphone: DENIED — Settings › Privacy › Microphone\n"},
        {true, true, Authorisation::notDetermined, false, 1,
         "PASS  microphone glyph resolves|FAIL  Ctrl+Alt+Space is available  — another app already owns it\n|"
         "microphone: not asked yet — hold the hotkey once and the system will ask\n|"
         "accessibility: NOT granted — Settings › Accessibility. If Vell is already listed there, remove it and add "
         "it again.\n"},
        {true, false, Authorisation::restricted, true, 0, "microphone: restricted by policy\n"},
    };
    for (const auto& row : rows) {
        test::VirtualLoop loop;
        test::FakeKeyGrab grab;
        test::FakeAudioInput microphone;
        test::FakeSession session;
        test::DesktopDouble desktop;
        grab.taken = row.keyTaken;
        microphone.status = row.microphone;
        desktop.trusted = row.trusted;
        std::ostringstream out;
        SelfTest test(out);
        const int status =
            test.run({loop, [](const std::function<bool()>& done, double) { return done(); },
                      [&] { return std::make_unique<TrayItem>(row.trayHost); }, grab, microphone, desktop, session});
        std::istringstream lines(row.lines);
        for (std::string line; std::getline(lines, line, '|');)
            EXPECT_NE(out.str().find(line), std::string::npos) << line << out.str();
        EXPECT_EQ(test.failures(), row.failures);
        EXPECT_EQ(status, row.failures ? 1 : 0);
        EXPECT_FALSE(grab.held()) << "the key is given back";
    }
}

}  // namespace
}  // namespace vell::app
