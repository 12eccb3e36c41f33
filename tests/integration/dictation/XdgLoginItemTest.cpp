// The start-at-login entry as an XDG autostart file in the session's scratch
// configuration folder, alone and behind the controller's switch.

#include <glib.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "ControllerDoubles.h"
#include "VirtualLoop.h"
#include "dictation/DictationController.h"
#include "platform/linux/XdgLoginItem.h"

namespace {

namespace fs = std::filesystem;
using vell::platform::LoginItem;
using vell::platform::XdgLoginItem;
using Status = LoginItem::Status;

class XdgLoginItemTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* config = std::getenv("XDG_CONFIG_HOME");
        ASSERT_TRUE(config) << "run inside the headless session";
        configHome = fs::path(config) / ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::remove_all(configHome);
        fs::create_directories(configHome);
    }

    // The command line the entry starts, as a desktop environment reads it.
    static std::vector<std::string> execArguments(const fs::path& entry) {
        std::unique_ptr<GKeyFile, decltype(&g_key_file_free)> file(g_key_file_new(), &g_key_file_free);
        EXPECT_TRUE(g_key_file_load_from_file(file.get(), entry.c_str(), G_KEY_FILE_NONE, nullptr));
        std::unique_ptr<char, decltype(&g_free)> exec(
            g_key_file_get_string(file.get(), G_KEY_FILE_DESKTOP_GROUP, "Exec", nullptr), &g_free);
        EXPECT_TRUE(exec);
        int argc = 0;
        char** argv = nullptr;
        EXPECT_TRUE(g_shell_parse_argv(exec.get(), &argc, &argv, nullptr));
        std::vector<std::string> arguments(argv, argv + argc);
        g_strfreev(argv);
        return arguments;
    }

    fs::path configHome;
};

TEST_F(XdgLoginItemTest, RegisterWritesAnEntryThatStartsTheProgramAndUnregisterRemovesIt) {
    const fs::path program = "/opt/Vell $HOME/bin/vell \"beta\"";
    XdgLoginItem item(program, configHome);
    EXPECT_EQ(item.entryPath(), configHome / "autostart" / "vell.desktop");
    EXPECT_EQ(item.status(), Status::notRegistered);

    item.registerItem();
    EXPECT_EQ(item.status(), Status::enabled);
    EXPECT_EQ(execArguments(item.entryPath()), std::vector<std::string>{program.string()});
    EXPECT_FALSE(fs::exists(item.entryPath().string() + ".tmp-" + std::to_string(::getpid())));

    item.registerItem();  // again: still one entry
    EXPECT_EQ(item.status(), Status::enabled);

    item.unregisterItem();
    EXPECT_FALSE(fs::exists(item.entryPath()));
    EXPECT_EQ(item.status(), Status::notRegistered);
    EXPECT_NO_THROW(item.unregisterItem());  // never registered is already off
}

TEST_F(XdgLoginItemTest, AHiddenEntryIsOffAndRegisteringTurnsItOn) {
    XdgLoginItem item("/usr/bin/vell", configHome);
    fs::create_directories(item.entryPath().parent_path());
    std::ofstream(item.entryPath()) << "[Desktop Entry]\nType=Application\nName=Vell\nExec=vell\nHidden=true\n";
    EXPECT_EQ(item.status(), Status::notRegistered);
    item.registerItem();
    EXPECT_EQ(item.status(), Status::enabled);
}

TEST_F(XdgLoginItemTest, FailuresCarryAReadableDescription) {
    XdgLoginItem item("/usr/bin/vell", configHome);
    std::ofstream(configHome / "autostart") << "a file where the folder should be";
    try {
        item.registerItem();
        FAIL() << "registering into a file cannot succeed";
    } catch (const LoginItem::Failure& failure) {
        EXPECT_NE(std::string(failure.what()).find((configHome / "autostart").string()), std::string::npos)
            << failure.what();
    }
    EXPECT_EQ(item.status(), Status::notRegistered);

    fs::remove(configHome / "autostart");
    fs::create_directories(item.entryPath() / "occupied");  // a folder in the entry's place
    EXPECT_THROW(item.unregisterItem(), LoginItem::Failure);
}

TEST_F(XdgLoginItemTest, DefaultConfigHomeFollowsTheEnvironment) {
    EXPECT_EQ(XdgLoginItem::defaultConfigHome(), fs::path(std::getenv("XDG_CONFIG_HOME")));
    EXPECT_TRUE(fs::exists(XdgLoginItem::ownProgram()));
}

TEST_F(XdgLoginItemTest, TheControllersSwitchDrivesTheEntry) {
    using namespace vell::test;
    VirtualLoop loop;
    RecorderDouble recorder(loop, configHome / "recordings");
    RecogniserDouble recogniser(loop);
    FillEngineDouble fillEngine;
    FillServiceDouble fillService(loop);
    PasteDouble paste(loop);
    SessionDouble session;
    DesktopDouble desktop;
    ControllerClipboardDouble clipboard;
    XdgLoginItem item("/usr/bin/vell", configHome);
    auto controller = vell::dictation::DictationController::create(
        {loop, recorder, recogniser, fillEngine, fillService, paste, session, desktop, clipboard, item});
    EXPECT_FALSE(controller->launchAtLogin());

    controller->setLaunchAtLogin(true);
    EXPECT_TRUE(controller->launchAtLogin());
    EXPECT_TRUE(fs::exists(item.entryPath()));
    // A new run reads the switch from the entry.
    EXPECT_TRUE(vell::dictation::DictationController::create(
                    {loop, recorder, recogniser, fillEngine, fillService, paste, session, desktop, clipboard, item})
                    ->launchAtLogin());

    fs::remove(item.entryPath());
    fs::create_directories(item.entryPath() / "occupied");
    controller->setLaunchAtLogin(false);
    EXPECT_TRUE(controller->launchAtLogin());
    ASSERT_TRUE(controller->problem());
    EXPECT_EQ(controller->problem()->rfind("Could not change the login item: the autostart entry ", 0), 0u)
        << *controller->problem();
    loop.advance(10);
}

}  // namespace
