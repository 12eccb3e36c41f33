#pragma once
// Turns dictated words into the written form a form field expects: numbers
// ("five five five zero one hundred" → "5550100"), e-mail addresses
// ("ada at example dot com" → "ada@example.com") and web addresses.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vell::service {

class SpokenText {
public:
    // Every run of number words becomes digits; other words are kept.
    static std::string withDigits(std::string_view text);
    // True when the text holds only number words (and at least one).
    static bool isSpokenNumber(std::string_view text);
    // The first e-mail address in the text, written or spoken.
    static std::optional<std::string> email(std::string_view text);
    // "example dot com" → "example.com"; written addresses stay as they are.
    static std::string webAddress(std::string_view text);
    // A phone number from the start of the text: digits, spaces, +, -, ( ).
    static std::optional<std::string> phone(std::string_view text);
    // "ada lovelace" → "Ada Lovelace"; text with capitals is left alone.
    static std::string capitalised(std::string_view text);

    static std::vector<std::string> words(std::string_view text);
    static std::string lower(std::string_view text);
};

}  // namespace vell::service
