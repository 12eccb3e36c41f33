#include "service/FieldMapper.h"

#include "service/SpokenText.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <set>
#include <sstream>

namespace vell::service {

namespace {

using Concept = FieldMapper::Concept;

struct Vocabulary {
    Concept kind;
    std::vector<std::string> inLabels;  // how forms name the field
    std::vector<std::string> spoken;    // how people introduce the value
};

// Order matters only for ties between equally long phrases.
const std::vector<Vocabulary>& vocabulary() {
    static const std::vector<Vocabulary> table = {
        {Concept::firstName,
         {"first name", "given name", "forename", "first"},
         {"first name", "given name", "forename"}},
        {Concept::lastName, {"last name", "surname", "family name", "last"}, {"last name", "surname", "family name"}},
        {Concept::fullName,
         {"name", "full name", "your name", "contact name", "applicant name"},
         {"name", "full name", "im", "i am"}},
        {Concept::email,
         {"email", "email address", "e mail", "mail"},
         {"email", "email address", "e mail", "e mail address", "mail address"}},
        {Concept::phone,
         {"phone", "telephone", "phone number", "telephone number", "mobile", "mobile number", "cell", "tel",
          "contact number"},
         {"phone", "phone number", "telephone", "telephone number", "mobile", "mobile number", "cell phone"}},
        {Concept::addressLine2,
         {"address line 2", "address 2", "apartment", "suite", "apt", "unit", "flat"},
         {"apartment", "suite", "flat number"}},
        {Concept::street,
         {"street", "address", "street address", "address line 1", "address 1", "home address", "shipping address",
          "delivery address", "billing address"},
         {"address", "street address", "home address", "shipping address", "delivery address", "i live at",
          "ship it to", "send it to", "deliver to"}},
        {Concept::city, {"city", "town", "town city", "city town", "locality"}, {"city", "town", "i live in"}},
        {Concept::region,
         {"state", "county", "province", "region", "state province"},
         {"state", "county", "province", "region"}},
        {Concept::postalCode,
         {"zip", "zip code", "zipcode", "postal code", "postcode", "post code"},
         {"zip", "zip code", "zipcode", "postal code", "postcode", "post code"}},
        {Concept::country, {"country"}, {"country"}},
        {Concept::company,
         {"company", "company name", "organisation", "organization", "organisation name", "organization name",
          "employer", "current employer", "business", "business name"},
         {"company", "company name", "organisation", "organization", "employer", "i work at", "i work for"}},
        {Concept::jobTitle,
         {"job title", "position", "role", "occupation", "current position", "current role", "job"},
         {"job title", "position", "role", "occupation", "i work as a", "i work as an", "i work as"}},
        {Concept::website,
         {"website", "web site", "url", "homepage", "home page", "portfolio", "portfolio url", "linkedin"},
         {"website", "web site", "homepage", "portfolio"}},
        {Concept::birthDate,
         {"date of birth", "birth date", "birthday", "dob"},
         {"date of birth", "birthday", "born on", "i was born on"}},
        {Concept::notes,
         {"notes", "note", "message", "comments", "comment", "additional information", "additional notes", "remarks",
          "cover letter", "anything else", "description", "about you", "your message", "delivery instructions",
          "instructions"},
         {"notes", "note", "message", "comments", "comment", "remarks", "cover letter", "delivery instructions",
          "instructions"}},
    };
    return table;
}

// Words of a label, lower case, punctuation dropped, "e-mail" read as "email".
std::vector<std::string> labelWords(const std::string& text) {
    std::string lowered = SpokenText::lower(text);
    for (size_t at = lowered.find("e-mail"); at != std::string::npos; at = lowered.find("e-mail", at))
        lowered.replace(at, 6, "email");
    std::vector<std::string> words;
    std::string current;
    for (unsigned char c : lowered) {
        if (std::isalnum(c) || c >= 0x80) {
            current += static_cast<char>(c);
        } else if (c != '\'' && !current.empty()) {
            words.push_back(current);
            current.clear();
        }
    }
    if (!current.empty()) words.push_back(current);
    // Form furniture says nothing about the content.
    std::erase_if(words, [](const std::string& w) { return w == "optional" || w == "required" || w == "enter"; });
    return words;
}

std::vector<std::string> split(const std::string& phrase) {
    std::vector<std::string> out;
    std::istringstream in(phrase);
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

bool containsAt(const std::vector<std::string>& words, size_t at, const std::vector<std::string>& phrase) {
    if (phrase.empty() || at + phrase.size() > words.size()) return false;
    return std::equal(phrase.begin(), phrase.end(), words.begin() + static_cast<std::ptrdiff_t>(at));
}

// The vocabulary's phrases as words, split once rather than on every fill.
struct Phrases {
    Concept kind;
    std::vector<std::vector<std::string>> inLabels, spoken;
};
const std::vector<Phrases>& phrases() {
    static const std::vector<Phrases> table = [] {
        std::vector<Phrases> out;
        for (auto& entry : vocabulary()) {
            Phrases asWords{entry.kind, {}, {}};
            for (auto& phrase : entry.inLabels) asWords.inLabels.push_back(split(phrase));
            for (auto& phrase : entry.spoken) asWords.spoken.push_back(split(phrase));
            out.push_back(std::move(asWords));
        }
        return out;
    }();
    return table;
}

// The kind whose longest phrase occurs in the words, and that length.
std::pair<Concept, size_t> classify(const std::vector<std::string>& words) {
    Concept best = Concept::none;
    size_t bestLength = 0;
    for (auto& entry : phrases())
        for (auto& p : entry.inLabels) {
            if (p.size() <= bestLength) continue;
            for (size_t at = 0; at + p.size() <= words.size(); ++at)
                if (containsAt(words, at, p)) {
                    best = entry.kind;
                    bestLength = p.size();
                    break;
                }
        }
    return {best, bestLength};
}

// The text as words and marks, each with its place in the original.
struct Token {
    enum Kind { word, connector, stop, newline, mark } kind;
    std::string norm;  // lower-case letters and digits of a word
    size_t begin, end;
};

bool joins(const std::string& text, size_t i) {
    char c = text[i];
    return (c == '@' || c == '.' || c == '_' || c == '+' || c == '-' || c == '\'') && i + 1 < text.size() &&
           (std::isalnum(static_cast<unsigned char>(text[i + 1])) || static_cast<unsigned char>(text[i + 1]) >= 0x80);
}

std::vector<Token> tokenise(const std::string& text) {
    std::vector<Token> tokens;
    size_t i = 0;
    while (i < text.size()) {
        unsigned char c = text[i];
        if (c == '\n') {
            tokens.push_back({Token::newline, "", i, i + 1});
            ++i;
        } else if (std::isspace(c)) {
            ++i;
        } else if (std::isalnum(c) || c >= 0x80) {
            size_t j = i;
            while (j < text.size() && (std::isalnum(static_cast<unsigned char>(text[j])) ||
                                       static_cast<unsigned char>(text[j]) >= 0x80 || (j > i && joins(text, j))))
                ++j;
            std::string word = text.substr(i, j - i), norm;
            std::string lowered = SpokenText::lower(word);
            for (unsigned char w : lowered)
                if (std::isalnum(w) || w >= 0x80) norm += static_cast<char>(w);
            tokens.push_back({Token::word, norm, i, j});
            i = j;
        } else {
            Token::Kind kind = Token::mark;
            if (c == '.' || c == '!' || c == '?' || c == ';') kind = Token::stop;
            if (c == ':' || c == '=') kind = Token::connector;
            tokens.push_back({kind, std::string(1, static_cast<char>(c)), i, i + 1});
            ++i;
        }
    }
    return tokens;
}

bool isConnectorWord(const std::string& w) { return w == "is" || w == "are" || w == "was" || w == "were" || w == "s"; }
bool isFillerWord(const std::string& w) {
    static const std::set<std::string> fillers = {"and",   "my",  "the",  "our", "also", "then", "his", "her",
                                                  "their", "its", "your", "a",   "so",   "um",   "uh",  "plus"};
    return fillers.count(w) > 0;
}

struct Key {
    std::vector<std::string> words;
    Concept kind;
    int field;
};

struct Hit {
    size_t start, after;  // token positions of the key
    Concept kind;
    int field;
    bool connected;  // followed by "is", ":" …
};

std::string normalised(Concept kind, const std::string& value) {
    switch (kind) {
        case Concept::email:
            return SpokenText::email(value).value_or("");
        case Concept::phone:
            return SpokenText::phone(value).value_or("");
        case Concept::postalCode: {
            std::string written = SpokenText::withDigits(value);
            bool numeric = std::all_of(written.begin(), written.end(),
                                       [](unsigned char c) { return std::isdigit(c) || c == ' ' || c == '-'; });
            if (numeric) std::erase(written, ' ');
            std::transform(written.begin(), written.end(), written.begin(),
                           [](unsigned char c) { return std::toupper(c); });
            return written;
        }
        case Concept::website:
            return SpokenText::webAddress(value);
        case Concept::street:
        case Concept::addressLine2:
            return SpokenText::capitalised(SpokenText::withDigits(value));
        case Concept::birthDate:
            return SpokenText::withDigits(value);
        case Concept::notes:
            return value;
        case Concept::none:
            return SpokenText::isSpokenNumber(value) ? SpokenText::withDigits(value) : value;
        default:
            return SpokenText::capitalised(value);
    }
}

// The first written phone number: an optional "+", then at least eight
// characters of digits, spaces, dots, dashes and brackets from a digit to a
// digit. One pass: each run of such characters is looked at once.
std::string writtenPhone(const std::string& text) {
    auto digit = [&](std::size_t i) { return std::isdigit(static_cast<unsigned char>(text[i])) != 0; };
    auto inNumber = [&](std::size_t i) {
        char c = text[i];
        return digit(i) || std::isspace(static_cast<unsigned char>(c)) || c == '-' || c == '(' || c == ')' || c == '.';
    };
    for (std::size_t i = 0; i < text.size();) {
        std::size_t first = text[i] == '+' && i + 1 < text.size() && digit(i + 1) ? i + 1 : i;
        if (!digit(first)) {
            ++i;
            continue;
        }
        std::size_t end = first + 1, lastDigit = first;
        for (; end < text.size() && inNumber(end); ++end)
            if (digit(end)) lastDigit = end;
        if (lastDigit - first >= 6) return text.substr(i, lastDigit - i + 1);
        i = end;
    }
    return {};
}

// "VA 22201" → {"VA", "22201"}: letters (with spaces and dots), white
// space, then a code of digits, dashes and spaces to the end.
std::optional<std::pair<std::string, std::string>> regionAndCode(const std::string& part) {
    auto codeStart = part.find_first_of("0123456789");
    if (codeStart == std::string::npos || codeStart == 0) return std::nullopt;
    if (!std::all_of(part.begin() + static_cast<std::ptrdiff_t>(codeStart), part.end(),
                     [](unsigned char c) { return std::isdigit(c) || c == '-' || c == ' '; }))
        return std::nullopt;
    auto regionEnd = codeStart;
    while (regionEnd > 0 && std::isspace(static_cast<unsigned char>(part[regionEnd - 1]))) --regionEnd;
    if (regionEnd == codeStart || regionEnd == 0 || !std::isalpha(static_cast<unsigned char>(part[0])))
        return std::nullopt;
    if (!std::all_of(part.begin(), part.begin() + static_cast<std::ptrdiff_t>(regionEnd),
                     [](unsigned char c) { return std::isalpha(c) || c == ' ' || c == '.'; }))
        return std::nullopt;
    return std::pair{part.substr(0, regionEnd), part.substr(codeStart)};
}

std::string nameOf(const FieldMapper::Field& field) {
    for (auto* text : {&field.label, &field.placeholder, &field.near})
        if (!labelWords(*text).empty()) return *text;
    return field.id;
}

}  // namespace

FieldMapper::Concept FieldMapper::conceptOf(const Field& field) {
    if (field.type == "email") return Concept::email;
    if (field.type == "tel") return Concept::phone;
    for (auto* text : {&field.label, &field.placeholder, &field.near}) {
        if (text == &field.placeholder && field.placeholder.find('@') != std::string::npos) return Concept::email;
        auto [kind, length] = classify(labelWords(*text));
        if (length > 0) return kind;
    }
    return Concept::none;
}

std::vector<FieldMapper::Statement> FieldMapper::statements(const std::string& text,
                                                            const std::vector<Field>& fields) const {
    std::vector<Key> keys;
    for (auto& entry : phrases())
        for (auto& words : entry.spoken) keys.push_back({words, entry.kind, -1});
    // A field's own label is a key too ("favourite colour is blue"). It comes
    // first so it wins over an equally long synonym.
    for (size_t f = 0; f < fields.size(); ++f) {
        auto words = labelWords(fields[f].label);
        if (!words.empty() && words.size() <= 6)
            keys.insert(keys.begin(), {words, conceptOf(fields[f]), static_cast<int>(f)});
    }

    auto tokens = tokenise(text);
    auto wordAt = [&](size_t i) -> const std::string* {
        return i < tokens.size() && tokens[i].kind == Token::word ? &tokens[i].norm : nullptr;
    };

    std::vector<Hit> hits;
    for (size_t i = 0; i < tokens.size();) {
        const Key* best = nullptr;
        for (auto& key : keys) {
            if (best && key.words.size() <= best->words.size()) continue;
            bool match = true;
            for (size_t k = 0; k < key.words.size() && match; ++k) {
                auto* w = wordAt(i + k);
                match = w && *w == key.words[k];
            }
            if (match) best = &key;
        }
        if (!best) {
            ++i;
            continue;
        }
        size_t after = i + best->words.size();
        bool connected = (after < tokens.size() && tokens[after].kind == Token::connector) ||
                         (wordAt(after) && isConnectorWord(*wordAt(after)));
        hits.push_back({i, after, best->kind, best->field, connected});
        i = after;
    }
    // A key without "is" or ":" must be followed directly by its value and
    // must not read as a noun ("the Phone Company", "12 Main Street, …").
    std::vector<Hit> keysOnly;
    for (size_t h = 0; h < hits.size(); ++h) {
        const Hit& hit = hits[h];
        if (!hit.connected) {
            bool valueFollows = wordAt(hit.after) && !(h + 1 < hits.size() && hits[h + 1].start == hit.after);
            auto* before = hit.start > 0 ? wordAt(hit.start - 1) : nullptr;
            bool article = before && (*before == "the" || *before == "a" || *before == "an");
            // "address is 12 Main Street": the same key again belongs to the value.
            bool repeated = !keysOnly.empty() && ((hit.kind != Concept::none && keysOnly.back().kind == hit.kind) ||
                                                  (hit.field >= 0 && keysOnly.back().field == hit.field));
            if (!valueFollows || article || repeated) continue;
        }
        keysOnly.push_back(hit);
    }
    hits = std::move(keysOnly);

    // "I'm Ada Lovelace" names someone; "I'm a teacher", "I am from Leeds" do not.
    auto softlyIntroducesName = [&](const Hit& hit) {
        size_t length = hit.after - hit.start;
        bool soft = (length == 1 && tokens[hit.start].norm == "im") ||
                    (length == 2 && tokens[hit.start].norm == "i" && tokens[hit.start + 1].norm == "am");
        return soft && hit.field < 0;
    };
    static const std::set<std::string> notNames = {"a",       "an",      "the",   "from",       "in",       "at",
                                                   "on",      "not",     "so",    "very",       "sorry",    "here",
                                                   "fine",    "good",    "happy", "interested", "going",    "looking",
                                                   "calling", "writing", "about", "just",       "available"};

    std::vector<Statement> found;
    for (size_t h = 0; h < hits.size(); ++h) {
        const Hit& hit = hits[h];
        size_t begin = hit.after;
        while (begin < tokens.size() &&
               (tokens[begin].kind == Token::connector || (wordAt(begin) && isConnectorWord(*wordAt(begin))) ||
                (tokens[begin].kind == Token::mark && tokens[begin].norm == "-")))
            ++begin;
        size_t end = begin;
        bool notes = hit.kind == Concept::notes;
        size_t next = h + 1 < hits.size() ? hits[h + 1].start : tokens.size();
        while (end < tokens.size()) {
            if (tokens[end].kind == Token::newline) break;
            if (!notes && (end >= next || tokens[end].kind == Token::stop)) break;
            ++end;
        }
        if (notes) {  // a note runs to the end of its line, keys and all
            while (h + 1 < hits.size() && hits[h + 1].start < end) ++h;
        }
        while (end > begin && (tokens[end - 1].kind != Token::word || isFillerWord(tokens[end - 1].norm))) {
            if (notes && tokens[end - 1].kind == Token::stop) break;
            --end;
        }
        if (end <= begin) continue;
        if (softlyIntroducesName(hit) && (end - begin > 4 || notNames.count(tokens[begin].norm))) continue;
        found.push_back(
            {hit.kind, hit.field, text.substr(tokens[begin].begin, tokens[end - 1].end - tokens[begin].begin)});
    }
    return found;
}

FieldMapper::Mapping FieldMapper::map(const std::string& text, const std::vector<Field>& fields) const {
    auto said = statements(text, fields);
    std::vector<Concept> concepts;
    for (auto& field : fields) concepts.push_back(conceptOf(field));

    std::vector<std::string> values(fields.size());
    std::vector<bool> used(said.size(), false);

    // Keys that named a field directly.
    for (size_t s = 0; s < said.size(); ++s) {
        int f = said[s].field;
        if (f >= 0 && values[f].empty()) {
            values[f] = normalised(concepts[f], said[s].value);
            used[s] = !values[f].empty();
        }
    }
    // Keys that named what a field asks for.
    auto take = [&](Concept kind) -> std::optional<std::string> {
        for (size_t s = 0; s < said.size(); ++s)
            if (!used[s] && said[s].kind == kind) {
                used[s] = true;
                return said[s].value;
            }
        return std::nullopt;
    };
    auto peek = [&](Concept kind) -> std::optional<std::string> {
        for (size_t s = 0; s < said.size(); ++s)
            if (said[s].kind == kind) return said[s].value;
        return std::nullopt;
    };
    for (size_t f = 0; f < fields.size(); ++f) {
        if (!values[f].empty() || concepts[f] == Concept::none) continue;
        if (auto value = take(concepts[f])) values[f] = normalised(concepts[f], *value);
    }

    // What can be read from other statements or from the text as a whole.
    for (size_t f = 0; f < fields.size(); ++f) {
        if (!values[f].empty()) continue;
        switch (concepts[f]) {
            case Concept::firstName:
            case Concept::lastName:
                if (auto full = peek(Concept::fullName)) {
                    auto words = split(*full);
                    if (words.size() >= 2) {
                        std::string part = words.front();
                        if (concepts[f] == Concept::lastName) part = words.back();
                        values[f] = SpokenText::capitalised(part);
                    }
                }
                break;
            case Concept::fullName: {
                auto first = peek(Concept::firstName), last = peek(Concept::lastName);
                if (first || last)
                    values[f] =
                        SpokenText::capitalised(first.value_or("") + (first && last ? " " : "") + last.value_or(""));
                break;
            }
            case Concept::email:
                values[f] = SpokenText::email(text).value_or("");
                break;
            case Concept::phone: {
                values[f] = writtenPhone(text);
                break;
            }
            default:
                break;
        }
    }

    // "12 Main Street, London, NW1 6XE" spread over the address fields.
    for (size_t f = 0; f < fields.size(); ++f) {
        if (concepts[f] != Concept::street || values[f].find(',') == std::string::npos) continue;
        auto emptyField = [&](Concept c) -> int {
            for (size_t g = 0; g < fields.size(); ++g)
                if (concepts[g] == c && values[g].empty()) return static_cast<int>(g);
            return -1;
        };
        std::vector<std::string> parts;
        std::stringstream in(values[f]);
        for (std::string part; std::getline(in, part, ',');) {
            auto first = part.find_first_not_of(' '), last = part.find_last_not_of(' ');
            if (first != std::string::npos) parts.push_back(part.substr(first, last - first + 1));
        }
        if (parts.size() < 2) continue;
        std::string street = parts.front();
        for (size_t p = 1; p < parts.size(); ++p) {
            bool postal =
                std::any_of(parts[p].begin(), parts[p].end(), [](unsigned char c) { return std::isdigit(c); });
            int region = emptyField(Concept::region), code = emptyField(Concept::postalCode);
            if (auto both = regionAndCode(parts[p]); both && region >= 0 && code >= 0) {
                values[region] = normalised(Concept::region, both->first);
                values[code] = normalised(Concept::postalCode, both->second);
                continue;
            }
            int g = postal ? code : emptyField(Concept::city);
            if (g < 0 && !postal) g = emptyField(Concept::region);
            if (g < 0 && !postal) g = emptyField(Concept::country);
            if (g < 0) {
                street += ", " + parts[p];
                continue;
            }
            values[g] = normalised(concepts[g], parts[p]);
        }
        values[f] = street;
    }

    // Free text with no statement at all goes to the one field meant for it.
    if (said.empty()) {
        for (size_t f = 0; f < fields.size(); ++f)
            if (concepts[f] == Concept::notes && values[f].empty()) {
                auto first = text.find_first_not_of(" \t\r\n"), last = text.find_last_not_of(" \t\r\n");
                if (first != std::string::npos) values[f] = text.substr(first, last - first + 1);
                break;
            }
    }

    Mapping mapping;
    for (size_t f = 0; f < fields.size(); ++f) {
        if (!values[f].empty())
            mapping.values[fields[f].id] = values[f];
        else
            mapping.unfilled.push_back(nameOf(fields[f]));
    }
    return mapping;
}

}  // namespace vell::service
