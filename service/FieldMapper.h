#pragma once
// Decides what goes into which form field from a spoken or written text
// ("my name is Ada Lovelace, email ada at example dot com, phone is 555 0100,
// notes: …"). Fields are recognised by their label, placeholder or nearby text
// (case, punctuation and common synonyms do not matter); the text is read as
// "key is value" statements, whose keys are the same synonyms or the fields'
// own labels.

#include <map>
#include <string>
#include <vector>

namespace vell::service {

class FieldMapper {
public:
    struct Field {
        std::string id;
        std::string type;                      // "text" or "textarea"
        std::string label, placeholder, near;  // empty when absent
    };
    struct Mapping {
        std::map<std::string, std::string> values;  // field id → text
        std::vector<std::string> unfilled;          // how each field left empty is called
    };
    // What a field asks for.
    enum class Concept {
        none,
        fullName,
        firstName,
        lastName,
        email,
        phone,
        street,
        addressLine2,
        city,
        region,
        postalCode,
        country,
        company,
        jobTitle,
        website,
        birthDate,
        notes,
    };
    // One "key is value" statement read from the text.
    struct Statement {
        Concept kind = Concept::none;
        int field = -1;  // when the key was a field's own label
        std::string value;
    };

    Mapping map(const std::string& text, const std::vector<Field>& fields) const;

    static Concept conceptOf(const Field& field);
    std::vector<Statement> statements(const std::string& text, const std::vector<Field>& fields) const;
};

}  // namespace vell::service
