// Any text through the field mapper and every spoken-text normaliser.
#include "FieldMapper.h"
#include "SpokenText.h"

#include <cstddef>
#include <cstdint>
#include <string>

using namespace vell::service;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    static const std::vector<FieldMapper::Field> form = {
        {"f0", "text", "Full name", "", ""}, {"f1", "email", "Email", "", ""},
        {"f2", "tel", "Phone", "", ""},      {"f3", "text", "Street address", "", ""},
        {"f4", "text", "City", "", ""},      {"f5", "text", "State", "", ""},
        {"f6", "text", "ZIP code", "", ""},  {"f7", "text", "Website", "", ""},
        {"f8", "textarea", "Notes", "", ""},
    };
    FieldMapper mapper;
    mapper.map(text, form);
    // The text as a form too: labels are outside input as well.
    std::vector<FieldMapper::Field> labelled = {{"a", "text", text, "", ""}, {"b", "text", "", text, text}};
    mapper.map("name is Ada, phone is 555 0100", labelled);
    SpokenText::withDigits(text);
    SpokenText::isSpokenNumber(text);
    SpokenText::email(text);
    SpokenText::webAddress(text);
    SpokenText::phone(text);
    SpokenText::capitalised(text);
    return 0;
}
