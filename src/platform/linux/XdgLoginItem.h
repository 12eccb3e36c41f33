#pragma once
// The start-at-login entry as an XDG autostart file,
// $XDG_CONFIG_HOME/autostart/vell.desktop. It is enabled when the file exists
// and does not say Hidden=true (the way a person or a settings tool turns an
// entry off without deleting it).

#include <filesystem>
#include <string>

#include "platform/Desktop.h"

namespace vell::platform {

class XdgLoginItem final : public LoginItem {
public:
    // `program` is what the entry starts; `configHome` the XDG configuration folder.
    explicit XdgLoginItem(std::filesystem::path program, std::filesystem::path configHome = defaultConfigHome());

    Status status() override;
    // Writes the entry (replacing a hidden one); raises Failure when it cannot.
    void registerItem() override;
    // Removes the entry; one that is not there is already unregistered.
    void unregisterItem() override;

    const std::filesystem::path& entryPath() const { return entry_; }

    // $XDG_CONFIG_HOME when it is an absolute path, else ~/.config.
    static std::filesystem::path defaultConfigHome();
    // The running program's own executable.
    static std::filesystem::path ownProgram();

private:
    std::filesystem::path program_;
    std::filesystem::path entry_;
};

}  // namespace vell::platform
