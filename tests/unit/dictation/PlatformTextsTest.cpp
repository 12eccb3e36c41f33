// The one table that puts this platform's keys and settings places into the
// texts written for the Mac; everything else stays as written.

#include <gtest/gtest.h>

#include "platform/PlatformTexts.h"

using vell::platform::platformText;

TEST(PlatformTextsTest, KeysAndPlacesAreTranslatedAndNothingElse) {
    EXPECT_EQ(platformText("Copied — press ⌘V to paste. Grant Accessibility and this becomes automatic."),
              "Copied — press Ctrl+V to paste. Grant Accessibility and this becomes automatic.");
    EXPECT_EQ(platformText("Microphone access is off — turn it on in System Settings › Privacy & Security."),
              "Microphone access is off — turn it on in Settings › Privacy.");
    EXPECT_EQ(platformText("NOT granted — System Settings › Privacy & Security › Accessibility. Then retry."),
              "NOT granted — Settings › Accessibility. Then retry.");
    EXPECT_EQ(platformText("hold ⌃⌥Space to dictate, ⌘V twice: ⌘V"),
              "hold Ctrl+Alt+Space to dictate, Ctrl+V twice: Ctrl+V");
    EXPECT_EQ(platformText("No microphone found on this Mac. Connect one — AirPods work."),
              "No microphone found on this computer. Connect one — AirPods work.");
    EXPECT_EQ(platformText("Vell for Mac — self test"), "Vell for Linux — self test");
    const char* untouched = "Didn't catch anything — was the microphone close enough?";
    EXPECT_EQ(platformText(untouched), untouched);
    EXPECT_EQ(platformText(""), "");
    EXPECT_EQ(platformText("⌘"), "⌘");  // the Command sign alone names no key combination
}
