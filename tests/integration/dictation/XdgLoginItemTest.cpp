// The start-at-login entry as an XDG autostart file in the session's scratch
// configuration folder, read back the way a desktop environment reads it.

#include <glib.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/XdgLoginItem.h"

namespace {

namespace fs = std::filesystem;
using vell::platform::LoginItem;
using vell::platform::XdgLoginItem;
using Status = LoginItem::Status;

class XdgLoginItemTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(std::getenv("XDG_CONFIG_HOME")) << "run inside the headless session";
        fs::remove_all(configHome);
        fs::create_directories(configHome);
    }

    // The command line the entry starts.
    static std::vector<std::string> execArguments(const fs::path& entry) {
        std::unique_ptr<GKeyFile, decltype(&g_key_file_free)> file(g_key_file_new(), &g_key_file_free);
        EXPECT_TRUE(g_key_file_load_from_file(file.get(), entry.c_str(), G_KEY_FILE_NONE, nullptr));
        std::unique_ptr<char, decltype(&g_free)> exec(
            g_key_file_get_string(file.get(), G_KEY_FILE_DESKTOP_GROUP, "Exec", nullptr), &g_free);
        int argc = 0;
        char** argv = nullptr;
        EXPECT_TRUE(exec && g_shell_parse_argv(exec.get(), &argc, &argv, nullptr));
        std::vector<std::string> arguments(argv, argv + argc);
        g_strfreev(argv);
        return arguments;
    }

    const fs::path configHome = XdgLoginItem::defaultConfigHome() / "login-item-test";
};

TEST_F(XdgLoginItemTest, RegisterWritesAnEntryThatStartsTheProgramOverAHiddenOneAndUnregisterRemovesIt) {
    EXPECT_EQ(XdgLoginItem::defaultConfigHome(), fs::path(std::getenv("XDG_CONFIG_HOME")));
    EXPECT_TRUE(fs::exists(XdgLoginItem::ownProgram()));
    const fs::path program = "/opt/Vell $HOME/bin/vell \"beta\"";
    XdgLoginItem item(program, configHome);
    EXPECT_EQ(item.entryPath(), configHome / "autostart" / "vell.desktop");
    fs::create_directories(item.entryPath().parent_path());
    std::ofstream(item.entryPath()) << "[Desktop Entry]\nType=Application\nName=Vell\nExec=vell\nHidden=true\n";
    EXPECT_EQ(item.status(), Status::notRegistered);  // a hidden entry is off

    for (int time = 0; time < 2; ++time) {  // turned on, then again: still one entry
        item.registerItem();
        EXPECT_EQ(item.status(), Status::enabled);
        EXPECT_EQ(execArguments(item.entryPath()), std::vector<std::string>{program.string()});
        EXPECT_EQ(std::distance(fs::directory_iterator(item.entryPath().parent_path()), {}), 1);
    }
    item.unregisterItem();
    EXPECT_FALSE(fs::exists(item.entryPath()));
    EXPECT_EQ(item.status(), Status::notRegistered);
    EXPECT_NO_THROW(item.unregisterItem());  // never registered is already off
}

TEST_F(XdgLoginItemTest, FailuresNameTheFolderAndChangeNothing) {
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

}  // namespace
