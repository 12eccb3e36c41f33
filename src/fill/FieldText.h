#pragma once
// The text rules of field reading: which labels mark a secret input, what
// counts as blank, and cutting a text to a number of user-visible characters.

#include <string>
#include <string_view>

namespace vell::fill {

struct FieldText {
    // True when the label or placeholder names a secret (password, one-time
    // code, card number, PIN, key, token, …); case-insensitive, anywhere.
    static bool isSensitive(std::string_view text);
    // True when the text holds only space separators and tabs (line breaks are
    // not blank), or nothing.
    static bool isBlank(std::string_view text);
    // The first `maxCharacters` characters as a person sees them (grapheme
    // clusters), so no accent or emoji is cut in half.
    static std::string cut(std::string_view text, int maxCharacters);
};

}  // namespace vell::fill
