#include "fill/FieldText.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using vell::fill::FieldText;

TEST(SensitiveLabel, MatchesSecretsAnywhereAndShortWordsOnlyWhole) {
    struct Case {
        const char* text;
        bool sensitive;
    };
    const Case cases[] = {
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
    for (const auto& c : cases) EXPECT_EQ(FieldText::isSensitive(c.text), c.sensitive) << c.text;
}

TEST(SensitiveLabel, SharedPatternIsSafeAcrossThreads) {
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i)
                if (!FieldText::isSensitive("Your password") || FieldText::isSensitive("Opinion")) ++wrong;
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong, 0);
}

TEST(BlankText, SpaceSeparatorsAndTabAreBlankButLineBreaksAreNot) {
    EXPECT_TRUE(FieldText::isBlank(""));
    EXPECT_TRUE(FieldText::isBlank("   \t "));
    EXPECT_TRUE(FieldText::isBlank("\u00A0\u2003\u3000"));  // no-break, em and ideographic spaces
    EXPECT_FALSE(FieldText::isBlank("\n"));
    EXPECT_FALSE(FieldText::isBlank(" \r\n "));
    EXPECT_FALSE(FieldText::isBlank("\u2028"));  // line separator
    EXPECT_FALSE(FieldText::isBlank(" a "));
}

TEST(CutText, KeepsWholeCharactersAsPeopleSeeThem) {
    EXPECT_EQ(FieldText::cut("short", 120), "short");
    EXPECT_EQ(FieldText::cut(std::string(300, 'x'), 120), std::string(120, 'x'));

    // "e" + combining acute accent is one character of two code points.
    std::string accented;
    for (int i = 0; i < 130; ++i) accented += "e\u0301";
    std::string expected;
    for (int i = 0; i < 120; ++i) expected += "e\u0301";
    EXPECT_EQ(FieldText::cut(accented, 120), expected);

    // A family emoji (joined by zero-width joiners) and a flag each count as one.
    const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467";
    const std::string flag = "\U0001F1EB\U0001F1F7";
    std::string emoji = std::string(118, 'a') + family + flag + "tail";
    EXPECT_EQ(FieldText::cut(emoji, 120), std::string(118, 'a') + family + flag);
    EXPECT_EQ(FieldText::cut(emoji, 119), std::string(118, 'a') + family);
}
