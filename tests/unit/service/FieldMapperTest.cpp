// The field mapper on whole forms, from typed text and from text as the
// recogniser writes it (lower case, no punctuation, numbers as words), and
// the readings of dictated words it relies on.
#include "service/FieldMapper.h"
#include "service/SpokenText.h"

#include <gtest/gtest.h>

#include <cstring>

using vell::service::FieldMapper;
using vell::service::SpokenText;
using Concept = FieldMapper::Concept;
using Form = std::vector<FieldMapper::Field>;

namespace {

// A form by its labels; a label in brackets is a text area.
Form form(std::initializer_list<std::string> labels) {
    Form fields;
    for (auto& label : labels) {
        bool area = label.front() == '[';
        std::string text = area ? label.substr(1, label.size() - 2) : label;
        fields.push_back({"f" + std::to_string(fields.size()), area ? "textarea" : "text", text, {}, {}});
    }
    return fields;
}

const Form contact = form({"Name", "E-mail", "Phone", "[Message]"});
const Form shipping = form({"First name", "Last name *", "Street address", "Address line 2", "City", "State",
                            "ZIP code", "Country", "Phone number (optional)"});
const Form job = form({"Full name", "Email address", "Phone number", "Current employer", "Job title",
                       "LinkedIn or portfolio URL", "Salary expectations", "Start date", "[Cover letter]"});
const Form person = form({"Name", "Phone", "City"});

}  // namespace

// Each row: the text, the form, and what each field gets in the form's order
// ("" for none); every field left empty must be named as unfilled, in order.
TEST(FieldMapper, WholeForms) {
    using Texts = std::vector<std::string>;
    const struct {
        std::string text;
        Form form;
        Texts values;
    } rows[] = {
        {"My name is Ada Lovelace, email ada at example dot com, phone is 555 0100. Notes: please call after five.",
         contact,
         {"Ada Lovelace", "ada@example.com", "555 0100", "please call after five."}},
        {"my name is ada lovelace email ada at example dot com phone is five five five zero one hundred",
         contact,
         {"Ada Lovelace", "ada@example.com", "5550100", ""}},
        {"Name: Ada Lovelace\nE-mail: ada@example.com\nNotes: leave it with the phone company, not the city office\n",
         contact,
         {"Ada Lovelace", "ada@example.com", "", "leave it with the phone company, not the city office"}},
        {"First name Grace, surname Hopper. The address is 12 Main Street, Arlington, VA 22201. Telephone 555 0199.",
         shipping,
         {"Grace", "Hopper", "12 Main Street", "", "Arlington", "VA", "22201", "", "555 0199"}},
        {"my name is grace hopper i live at twelve main street city arlington state virginia "
         "zip code two two two zero one country united states",
         shipping,
         {"Grace", "Hopper", "12 Main Street", "", "Arlington", "Virginia", "22201", "United States", ""}},
        {"My name is Alan Turing. My e-mail address is alan.turing@example.org. Phone number +44 20 7946 0958. "
         "I work at Bletchley Park and my job title is cryptanalyst. Website turing dot org dot uk. "
         "Salary expectations: 50,000 a year. Cover letter: I would love to build thinking machines with you.",
         job,
         {"Alan Turing", "alan.turing@example.org", "+44 20 7946 0958", "Bletchley Park", "Cryptanalyst",
          "turing.org.uk", "50,000 a year", "", "I would love to build thinking machines with you."}},
        {"my name is ada king lovelace", form({"Given name", "Family name"}), {"Ada", "Lovelace"}},
        {"first name ada last name lovelace", form({"Your name"}), {"Ada Lovelace"}},
        {"company is the Phone Company.", form({"Company", "Phone"}), {"the Phone Company", ""}},
        {"Please leave the parcel at the back door.",
         form({"Name", "[Delivery instructions]"}),
         {"", "Please leave the parcel at the back door."}},
        {"Reach Ada on ada@example.com or 555-0100.", form({"Email", "Phone"}), {"ada@example.com", "555-0100"}},
        {"email is", form({"Email"}), {""}},
        {"work e-mail is ada@work.example, home e-mail is ada@home.example",
         form({"Home e-mail", "Work e-mail"}),
         {"ada@home.example", "ada@work.example"}},
        {"hi i'm ada lovelace my phone number is five five five one two three four",
         person,
         {"Ada Lovelace", "5551234", ""}},
        {"I am from Leeds. I'm interested in the job. I live in London", person, {"", "", "London"}},
        {"the address is twelve main street london", form({"Street", "City"}), {"12 Main Street London", ""}},
    };
    for (auto& row : rows) {
        SCOPED_TRACE(row.text);
        auto mapping = FieldMapper().map(row.text, row.form);
        Texts values, unfilled;
        for (auto& field : row.form) {
            values.push_back(mapping.values[field.id]);
            if (values.back().empty()) unfilled.push_back(field.label);
        }
        EXPECT_EQ(values, row.values);
        EXPECT_EQ(mapping.unfilled, unfilled);
    }
}

TEST(FieldMapper, FieldsAreKnownByLabelPlaceholderOrNearbyText) {
    const struct {
        const char *label, *placeholder, *near;
        Concept kind;
    } rows[] = {
        {"E-MAIL:", "", "", Concept::email},         {"Postal code", "", "", Concept::postalCode},
        {"Town/City", "", "", Concept::city},        {"Organisation", "", "", Concept::company},
        {"", "you@example.com", "", Concept::email}, {"", "", "Postcode", Concept::postalCode},
        {"Favourite colour", "", "", Concept::none},
    };
    for (auto& row : rows)
        EXPECT_EQ(FieldMapper::conceptOf({"x", "text", row.label, row.placeholder, row.near}), row.kind)
            << row.label << row.placeholder << row.near;
}

// Dictated words in the written form a field expects, as "said → written";
// nothing written: nothing of the kind was said.
TEST(SpokenText, Readings) {
    auto check = [](auto read, std::initializer_list<std::string> readings) {
        for (const std::string& reading : readings) {
            const auto arrow = reading.find(" → ");
            const std::string said = reading.substr(0, arrow), written = reading.substr(arrow + std::strlen(" → "));
            EXPECT_EQ(std::optional<std::string>(read(said)), written.empty() ? std::nullopt : std::optional(written))
                << said;
        }
    };
    check(SpokenText::withDigits,
          {"one hundred and five → 105", "one hundred twenty three baker street → 123 baker street",
           "double oh seven → 007", "born in eighteen fifteen → born in 1815", "two thousand twenty four → 2024",
           "nine four one oh five → 94105", "and the double → and the double"});
    check(SpokenText::email,
          {"ada dot lovelace at example dot co dot uk → ada.lovelace@example.co.uk",
           "ada underscore l at mail dash server dot com → ada_l@mail-server.com",
           "it is ada one eight one five at example dot org thanks → ada1815@example.org",
           "write to Ada@Example.com please → ada@example.com", "meet me at noon → ", "ada at example → "});
    check(SpokenText::phone, {"+44 20 7946 0958 after six → +44 20 7946 0958", "(555) 010-0199 → (555) 010-0199",
                              "plus four four two zero → +4420", "unknown → ", "12 → "});
    check(SpokenText::webAddress, {"https://turing.org.uk/cv → https://turing.org.uk/cv"});
    check(SpokenText::capitalised, {"mary-jane o'neil → Mary-Jane O'neil", "van der Berg → van der Berg"});
    EXPECT_TRUE(SpokenText::isSpokenNumber("thirty two"));
    EXPECT_FALSE(SpokenText::isSpokenNumber("thirty two dogs") || SpokenText::isSpokenNumber(""));
}
