#pragma once
// The program on the Linux platform: every backend, the modules the
// controller works with, and the delegate over them, built one way for the
// application and for the end-to-end tests. The two process-wide instances
// (the session store and the panel's web view) are set here and reset when
// the program goes.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/AppDelegate.h"
#include "audio/CloudRecogniser.h"
#include "audio/Recorder.h"
#include "fill/FillEngine.h"
#include "fill/FillService.h"
#include "fill/Paste.h"
#include "platform/linux/LinuxPlatform.h"

namespace vell::app {

class Program {
public:
    struct Options {
        platform::LinuxPlatform::Options platform;
        std::string apiBase;
        std::string authBase;
        std::filesystem::path dataFolder;  // session marker and debug flag
        double recogniserIdleTimeout = audio::CloudRecogniser::defaultIdleTimeout;
        double fillTimeout = 30;
    };
    // The installed program's settings: the deployment file, the XDG folders.
    static Options standard();

    Program(Options options, std::function<void()> terminate);
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    AppDelegate& delegate() { return *delegate_; }
    // Present once launched.
    audio::Recogniser& recogniser() { return *recogniser_; }
    // Deletes the recordings on disk: the last words of an exit that cannot
    // wait for the flows to end.
    void discardAllTakes() { recorder_.discardAllTakes(); }

    const Options options;
    platform::LinuxPlatform platform;

private:
    AppDelegate::Modules modules(session::Session& session);

    audio::Recorder recorder_{platform.microphone};
    fill::FillEngine fillEngine_{platform.accessibility};
    fill::Paste paste_{platform.loop, platform.clipboard, platform.keyboard};
    std::optional<audio::CloudRecogniser> recogniser_;
    std::optional<fill::FillService> fillService_;
    std::unique_ptr<AppDelegate> delegate_;
};

}  // namespace vell::app
