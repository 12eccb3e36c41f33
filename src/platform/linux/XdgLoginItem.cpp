#include "platform/linux/XdgLoginItem.h"

#include <glib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <system_error>

#include "platform/Folders.h"

namespace vell::platform {

namespace {

// The Exec value of a desktop entry for one program path: quoted, with the
// entry format's escapes, so that spaces and special characters survive.
std::string execLine(const std::string& program) {
    std::string quoted = "\"";
    for (char c : program) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
        if (c == '%') quoted += '%';
        quoted += c;
    }
    quoted += '"';
    // The value as a whole is a string of the key-file format, whose escape
    // character is the backslash too.
    std::string escaped;
    for (char c : quoted) {
        if (c == '\\') escaped += '\\';
        escaped += c;
    }
    return escaped;
}

std::string reason(const std::error_code& error) { return error.message(); }

}  // namespace

XdgLoginItem::XdgLoginItem(std::filesystem::path program, std::filesystem::path configHome)
    : program_(std::move(program)), entry_(std::move(configHome) / "autostart" / "vell.desktop") {}

std::filesystem::path XdgLoginItem::defaultConfigHome() { return folders::configHome(); }

std::filesystem::path XdgLoginItem::ownProgram() {
    auto path = folders::executable();
    return path.empty() ? std::filesystem::path("vell") : path;
}

LoginItem::Status XdgLoginItem::status() {
    std::error_code error;
    if (!std::filesystem::is_regular_file(entry_, error)) return Status::notRegistered;
    g_autoptr(GKeyFile) file = g_key_file_new();
    if (!g_key_file_load_from_file(file, entry_.c_str(), G_KEY_FILE_NONE, nullptr)) return Status::enabled;
    g_autoptr(GError) ignored = nullptr;
    const gboolean hidden = g_key_file_get_boolean(file, G_KEY_FILE_DESKTOP_GROUP, "Hidden", &ignored);
    return hidden ? Status::notRegistered : Status::enabled;
}

void XdgLoginItem::registerItem() {
    const auto folder = entry_.parent_path();
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) throw Failure("the folder " + folder.string() + " could not be created (" + reason(error) + ").");

    const std::string contents =
        "[Desktop Entry]\n"
        "Type=Application\n"
        "Name=Vell\n"
        "Comment=Dictation and form filling at the cursor\n"
        "Exec=" +
        execLine(program_.string()) +
        "\n"
        "Terminal=false\n"
        "NoDisplay=true\n"
        "X-GNOME-Autostart-enabled=true\n";

    // A complete new file replaces the old one, so a half-written entry never starts anything.
    auto temporary = entry_;
    temporary += ".tmp-" + std::to_string(::getpid());
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << contents;
        out.flush();
        if (!out) {
            const int code = errno;
            std::filesystem::remove(temporary, error);
            throw Failure("the autostart entry " + entry_.string() + " could not be written (" +
                          std::strerror(code ? code : EIO) + ").");
        }
    }
    std::filesystem::rename(temporary, entry_, error);
    if (error) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        throw Failure("the autostart entry " + entry_.string() + " could not be written (" + reason(error) + ").");
    }
}

void XdgLoginItem::unregisterItem() {
    std::error_code error;
    std::filesystem::remove(entry_, error);
    if (error && error != std::errc::no_such_file_or_directory)
        throw Failure("the autostart entry " + entry_.string() + " could not be removed (" + reason(error) + ").");
}

}  // namespace vell::platform
