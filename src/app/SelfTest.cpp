#include "app/SelfTest.h"

#include "app/Config.h"
#include "app/Hotkey.h"
#include "platform/PlatformTexts.h"

namespace vell::app {
namespace {

using platform::platformText;
using Authorisation = platform::AudioInput::Authorisation;

std::string microphoneText(Authorisation status) {
    switch (status) {
        case Authorisation::notDetermined:
            return platformText("not asked yet \u2014 hold the hotkey once and macOS will ask");
        case Authorisation::restricted:
            return "restricted by policy";
        case Authorisation::denied:
            return platformText("DENIED \u2014 System Settings \u203a Privacy & Security \u203a Microphone");
        case Authorisation::authorised:
            return "granted";
    }
    return "unknown";
}

}  // namespace

void SelfTest::check(std::string_view label, bool ok, std::string_view detail) {
    if (!ok) ++failures_;
    out_ << (ok ? "PASS" : "FAIL") << "  " << label;
    if (!detail.empty()) out_ << "  \u2014 " << detail;
    out_ << '\n';
}

void SelfTest::info(std::string_view label, std::string_view text) {
    out_ << "      " << label << ": " << text << '\n';
}

int SelfTest::run(const Platform& platform) {
    out_ << platformText("Vell for Mac \u2014 self test\n") << '\n';

    check("API base is set", !Config::apiBase().empty(), Config::apiBase());
    check("Supabase URL is set", !Config::supabaseURL().empty(), Config::supabaseURL());
    const bool anonKey = !Config::supabaseAnonKey().empty();
    check("Supabase anon key is baked in", anonKey, anonKey ? "present" : "sign-in and token refresh will fail");

    // The item has a "button" once a tray host shows it.
    if (auto item = platform.makeStatusItem()) {
        const bool shown = platform.runUntil([&] { return item->isShown(); }, trayHostWait);
        check("status item has a button", shown, "");
        if (shown) check("microphone glyph resolves", item->setImage("mic", "Vell"), platformText("SF Symbols 'mic'"));
        item->remove();
    } else {
        check("status item has a button", false, "");
    }

    {
        Hotkey hotkey(platform.loop, platform.keyGrab);
        const bool registered = hotkey.registerKey(Hotkey::spaceKey, Hotkey::controlOption);
        check(platformText("\u2303\u2325Space is available"), registered,
              registered ? "registered" : "another app already owns it");
        hotkey.unregister();
    }

    info("microphone", microphoneText(platform.microphone.authorisation()));
    info(
        "accessibility",
        platform.desktop.accessibilityTrusted()
            ? "granted for this terminal \u2014 the app's own state is in the panel checklist"
            : platformText("NOT granted \u2014 System Settings \u203a Privacy & Security \u203a Accessibility. If Vell "
                           "is already listed there, remove it and add it again."));
    info("input monitoring", "not required \u2014 the hotkey is registered with the window server");

    if (!platform.session.isSignedIn()) {
        info("account", "not signed in \u2014 open " + Config::apiBase() + "/app#/desktop and press Connect");
    } else {
        info("signed in as", platform.session.email().value_or("(unknown address)"));
        info("token",
             "held by the panel's web session \u2014 verify live with vell://debug/token (needs the debug flag file)");
    }

    out_ << '\n';
    if (failures_ == 0)
        out_ << "All checks passed.\n";
    else
        out_ << failures_ << " check(s) failed.\n";
    out_.flush();
    return failures_ == 0 ? 0 : 1;
}

}  // namespace vell::app
