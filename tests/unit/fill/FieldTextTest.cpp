#include "fill/FieldText.h"

#include <gtest/gtest.h>

using vell::fill::FieldText;

TEST(FieldText, SecretsMatchAnywhereAndShortWordsOnlyWhole) {
    const std::pair<const char*, bool> cases[] = {
        {"Card number", true}, {"CVV", true},         {"One-time code", true},
        {"API key", true},     {"Your PIN", true},    {"Access token", true},
        {"Secretary", true},   {"Passwords", true},   {"PASSCODE", true},
        {"passphrase", true},  {"Enter OTP", true},   {"SSN", true},
        {"cardnumber", true},  {"onetime", true},     {"apikey", true},
        {"CVC2", true},        {"Aadhaar no.", true}, {"tokens", true},
        {"pin", true},         {"PIN-code", true},    {"Spinner speed", false},
        {"Opinion", false},    {"Shipping", false},   {"Name", false},
        {"Email", false},      {"otpauth", false},    {"lessn", false},
        {"Notes", false},      {"", false},
    };
    for (const auto& [text, sensitive] : cases) EXPECT_EQ(FieldText::isSensitive(text), sensitive) << text;
}

TEST(FieldText, SpaceSeparatorsAndTabAreBlankButLineBreaksAreNot) {
    const std::pair<const char*, bool> cases[] = {
        {"", true},     {"   \t ", true},  {"\u00A0\u2003\u3000", true},  // no-break, em, ideographic
        {"\n", false},  {" \r\n ", false}, {"\u2028", false},             // line separator
        {" a ", false},
    };
    for (const auto& [text, blank] : cases) EXPECT_EQ(FieldText::isBlank(text), blank) << text;
}

TEST(FieldText, CutKeepsWholeCharactersAsPeopleSeeThem) {
    auto times = [](const std::string& text, int n) {
        std::string out;
        while (n-- > 0) out += text;
        return out;
    };
    EXPECT_EQ(FieldText::cut("short", 120), "short");
    EXPECT_EQ(FieldText::cut(times("x", 300), 120), times("x", 120));
    // "e" + combining acute accent is one character of two code points.
    EXPECT_EQ(FieldText::cut(times("e\u0301", 130), 120), times("e\u0301", 120));
    // A family emoji (joined by zero-width joiners) and a flag each count as one.
    const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467", flag = "\U0001F1EB\U0001F1F7";
    const std::string emoji = times("a", 118) + family + flag + "tail";
    EXPECT_EQ(FieldText::cut(emoji, 120), times("a", 118) + family + flag);
    EXPECT_EQ(FieldText::cut(emoji, 119), times("a", 118) + family);
}
