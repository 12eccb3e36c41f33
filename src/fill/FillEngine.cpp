#include "fill/FillEngine.h"

#include <unicode/brkiter.h>
#include <unicode/regex.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <deque>
#include <set>

#include "fill/FieldText.h"
#include "platform/Accessibility.h"

namespace vell::fill {

using platform::Accessibility;
using platform::ElementRef;
using Attribute = Accessibility::Attribute;

// ---- text rules -------------------------------------------------------------------------

namespace {

const icu::RegexPattern& sensitivePattern() {
    // Compiled once; a compiled pattern is immutable and each search makes its
    // own matcher, so threads share it safely.
    static const std::unique_ptr<icu::RegexPattern> pattern = [] {
        UErrorCode status = U_ZERO_ERROR;
        UParseError parseError;
        std::unique_ptr<icu::RegexPattern> compiled(icu::RegexPattern::compile(
            icu::UnicodeString::fromUTF8(
                R"(password|passcode|passphrase|\botp\b|one.?time|cvv|cvc|card.?number|\bssn\b|aadhaar|\bpin\b|secret|api.?key|token)"),
            UREGEX_CASE_INSENSITIVE, parseError, status));
        if (U_FAILURE(status)) std::abort();  // a constant pattern: cannot happen
        return compiled;
    }();
    return *pattern;
}

}  // namespace

bool FieldText::isSensitive(std::string_view text) {
    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeString subject =
        icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    std::unique_ptr<icu::RegexMatcher> matcher(sensitivePattern().matcher(subject, status));
    if (U_FAILURE(status)) return false;
    bool found = matcher->find(0, status);
    return U_SUCCESS(status) && found;
}

bool FieldText::isBlank(std::string_view text) {
    // Space separators and tab are blank; line breaks are not.
    int32_t i = 0;
    const auto length = static_cast<int32_t>(text.size());
    while (i < length) {
        UChar32 c;
        U8_NEXT(text.data(), i, length, c);
        if (c < 0) return false;  // malformed byte: not white space
        if (!u_isblank(c)) return false;
    }
    return true;
}

std::string FieldText::cut(std::string_view text, int maxCharacters) {
    // Fast path: no more code points than the limit means no more characters.
    int32_t codePoints = 0;
    for (unsigned char byte : text)
        if ((byte & 0xC0) != 0x80) ++codePoints;
    if (codePoints <= maxCharacters) return std::string(text);

    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeString subject =
        icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    std::unique_ptr<icu::BreakIterator> characters(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status)) return std::string(text);
    characters->setText(subject);
    int32_t end = characters->first();
    for (int n = 0; n < maxCharacters; ++n) {
        int32_t next = characters->next();
        if (next == icu::BreakIterator::DONE) break;
        end = next;
    }
    std::string result;
    subject.tempSubString(0, end).toUTF8String(result);
    return result;
}

// ---- the walk ---------------------------------------------------------------------------

namespace {

constexpr int elementBudget = 4000;
constexpr std::size_t childrenPerElement = 200;
constexpr int nearTextLength = 120;
constexpr double messagingTimeoutSeconds = 2.0;

// Reads through the accessibility interface and remembers whether the target
// stopped answering: a hung or vanished application must not hold the walk
// for one time-out per element, so the walk ends at the first such read.
class Reader {
public:
    explicit Reader(Accessibility& accessibility) : ax_(accessibility) {}

    Accessibility::Reading read(const ElementRef& element, Attribute attribute) {
        auto reading = ax_.read(element, attribute);
        if (reading.status == Accessibility::cannotComplete) stalled_ = true;
        return reading;
    }
    std::optional<std::string> string(const ElementRef& element, Attribute attribute) {
        return read(element, attribute).string();
    }
    bool stalled() const { return stalled_; }

    // The first of title, description, the labelling element's value and help
    // that is present and not empty.
    std::optional<std::string> bestLabel(const ElementRef& element) {
        auto nonEmpty = [](std::optional<std::string> s) { return s && !s->empty() ? s : std::nullopt; };
        if (auto title = nonEmpty(string(element, Attribute::title))) return title;
        if (stalled_) return std::nullopt;
        if (auto description = nonEmpty(string(element, Attribute::description))) return description;
        if (stalled_) return std::nullopt;
        if (auto labelling = read(element, Attribute::titleElement).element())
            if (auto text = nonEmpty(string(labelling, Attribute::value))) return text;
        if (stalled_) return std::nullopt;
        return nonEmpty(string(element, Attribute::help));
    }

    ElementRef firstWindow(const ElementRef& app) {
        auto windows = read(app, Attribute::windows).elements();
        if (!windows || windows->empty()) return nullptr;
        return windows->front();
    }

private:
    Accessibility& ax_;
    bool stalled_ = false;
};

bool isInputRole(const std::string& role) {
    return role == Accessibility::Role::textField || role == Accessibility::Role::textArea ||
           role == Accessibility::Role::comboBox;
}

}  // namespace

FillEngine::FillEngine(platform::Accessibility& accessibility) : accessibility_(accessibility) {}

std::vector<FillEngine::Field> FillEngine::enumerate(pid_t pid, int maxFields) {
    auto& ax = accessibility_;
    Reader reader(ax);
    std::vector<Field> fields;

    ElementRef app = ax.application(pid);
    ax.setMessagingTimeout(app, messagingTimeoutSeconds);
    ax.setAttribute(app, Attribute::manualAccessibility, true);
    ax.setAttribute(app, Attribute::enhancedUserInterface, true);

    ElementRef window = reader.read(app, Attribute::focusedWindow).element();
    if (!window && !reader.stalled()) window = reader.firstWindow(app);
    if (!window) return fields;

    std::deque<ElementRef> queue{window};
    int visited = 0;
    std::optional<std::string> near;

    auto queueChildren = [&](const ElementRef& element) {
        auto children = reader.read(element, Attribute::children).elements();
        if (!children) return;
        const std::size_t count = std::min(children->size(), childrenPerElement);
        queue.insert(queue.end(), children->begin(), children->begin() + static_cast<std::ptrdiff_t>(count));
    };

    while (!queue.empty() && visited != elementBudget && static_cast<int>(fields.size()) < maxFields &&
           !reader.stalled()) {
        ElementRef element = std::move(queue.front());
        queue.pop_front();
        ++visited;
        const std::string role = reader.string(element, Attribute::role).value_or("");
        if (reader.stalled()) break;

        if (!isInputRole(role)) {
            if (role == Accessibility::Role::staticText) {
                if (auto text = reader.string(element, Attribute::value); text && !FieldText::isBlank(*text))
                    near = FieldText::cut(*text, nearTextLength);
            }
            queueChildren(element);
            continue;
        }

        auto subrole = reader.string(element, Attribute::subrole);
        auto label = reader.bestLabel(element);
        auto placeholder = reader.string(element, Attribute::placeholder);
        if (reader.stalled()) break;

        // Without a label, the caption a person reads is the near text: a
        // secret captioned only by position is a secret too.
        const bool secret = subrole == Accessibility::Subrole::secureTextField ||
                            (label && FieldText::isSensitive(*label)) ||
                            (placeholder && !placeholder->empty() && FieldText::isSensitive(*placeholder)) ||
                            (!label && near && FieldText::isSensitive(*near));
        if (secret) {  // nothing below a secret input is looked at
            near.reset();
            continue;
        }
        if (!ax.isSettable(element, Attribute::value)) {
            near.reset();
            queueChildren(element);
            continue;
        }
        Field field;
        field.element = element;
        field.id = "f" + std::to_string(fields.size());
        field.type = role == Accessibility::Role::textArea ? "textarea" : "text";
        field.label = label;
        field.placeholder = placeholder;
        if (!label) field.near = near;
        field.original = reader.string(element, Attribute::value);
        fields.push_back(std::move(field));
        near.reset();
        queueChildren(element);
    }
    return fields;
}

// ---- writing ----------------------------------------------------------------------------

std::string FillEngine::displayName(const Field& field) {
    if (field.label) return *field.label;
    if (field.placeholder) return *field.placeholder;
    if (field.near) return *field.near;
    return field.id;
}

std::vector<FillEngine::Outcome> FillEngine::apply(const std::map<std::string, std::string>& values,
                                                   const std::vector<Field>& fields) {
    auto& ax = accessibility_;
    std::vector<Outcome> outcomes;
    for (const auto& field : fields) {
        auto entry = values.find(field.id);
        if (entry == values.end()) continue;
        const std::string& value = entry->second;
        Outcome outcome{displayName(field), value, Applied::failed};
        if (ax.setAttribute(field.element, Attribute::value, value) == Accessibility::success) {
            auto readBack = ax.read(field.element, Attribute::value).string();
            outcome.result = readBack == value ? Applied::applied : Applied::check;
        }
        outcomes.push_back(std::move(outcome));
    }
    return outcomes;
}

void FillEngine::undo(const std::vector<Field>& fields, const std::vector<Outcome>& outcomes) {
    std::set<std::string> written;
    for (const auto& outcome : outcomes)
        if (outcome.result != Applied::failed) written.insert(outcome.label);
    if (written.empty()) return;
    for (const auto& field : fields)
        if (written.contains(displayName(field)))
            accessibility_.setAttribute(field.element, Attribute::value, field.original.value_or(""));
}

}  // namespace vell::fill
