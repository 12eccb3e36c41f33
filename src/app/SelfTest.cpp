#include "app/SelfTest.h"

#include "app/Config.h"
#include "platform/PlatformTexts.h"

namespace vell::app {

void SelfTest::check(std::string_view label, bool ok, std::string_view detail) {
    if (!ok) ++failures_;
    out_ << (ok ? "PASS" : "FAIL") << "  " << label;
    if (!detail.empty()) out_ << "  \u2014 " << detail;
    out_ << '\n';
}

void SelfTest::info(std::string_view label, std::string_view text) {
    out_ << "      " << label << ": " << text << '\n';
}

int SelfTest::run() {
    out_ << platform::platformText("Vell for Mac \u2014 self test") << "\n\n";

    check("API base is set", !Config::apiBase().empty(), Config::apiBase());
    check("Supabase URL is set", !Config::supabaseURL().empty(), Config::supabaseURL());
    const bool anonKey = !Config::supabaseAnonKey().empty();
    check("Supabase anon key is baked in", anonKey, anonKey ? "present" : "sign-in and token refresh will fail");

    out_ << '\n';
    if (failures_ == 0)
        out_ << "All checks passed.\n";
    else
        out_ << failures_ << " check(s) failed.\n";
    out_.flush();
    return failures_ == 0 ? 0 : 1;
}

}  // namespace vell::app
