// Any text through the service's field mapper and every spoken-text reader,
// as what was said and as the labels of a form.
#include "FuzzInput.h"
#include "service/FieldMapper.h"
#include "service/SpokenText.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vell::service;
    const std::string text = vell::fuzz::FuzzInput(data, size).rest();
    static const std::vector<FieldMapper::Field> form = {
        {"f0", "text", "Full name", "", ""}, {"f1", "email", "Email", "", ""},
        {"f2", "tel", "Phone", "", ""},      {"f3", "text", "Street address", "", ""},
        {"f4", "text", "City", "", ""},      {"f5", "text", "State", "", ""},
        {"f6", "text", "ZIP code", "", ""},  {"f7", "text", "Website", "", ""},
        {"f8", "textarea", "Notes", "", ""},
    };
    FieldMapper mapper;
    auto mapping = mapper.map(text, form);
    vell::fuzz::require(mapping.values.size() + mapping.unfilled.size() == form.size(),
                        "every field is either filled or named as unfilled");
    const std::vector<FieldMapper::Field> labelled = {{"a", "text", text, "", ""}, {"b", "text", "", text, text}};
    mapper.map("name is Ada, phone is 555 0100", labelled);
    SpokenText::withDigits(text);
    SpokenText::isSpokenNumber(text);
    SpokenText::email(text);
    SpokenText::webAddress(text);
    SpokenText::phone(text);
    SpokenText::capitalised(text);
    return 0;
}
