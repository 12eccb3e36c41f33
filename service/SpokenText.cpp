#include "service/SpokenText.h"

#include <algorithm>
#include <cctype>
#include <map>

namespace vell::service {

namespace {

bool isWordByte(unsigned char c) { return std::isalnum(c) || c >= 0x80 || c == '\''; }

struct NumberWord {
    enum Kind { unit, teen, ten, hundred, thousand, repeat } kind;
    int value;
};

std::optional<NumberWord> numberWord(const std::string& word) {
    static const std::map<std::string, NumberWord> words = {
        {"zero", {NumberWord::unit, 0}},
        {"oh", {NumberWord::unit, 0}},
        {"o", {NumberWord::unit, 0}},
        {"one", {NumberWord::unit, 1}},
        {"two", {NumberWord::unit, 2}},
        {"three", {NumberWord::unit, 3}},
        {"four", {NumberWord::unit, 4}},
        {"five", {NumberWord::unit, 5}},
        {"six", {NumberWord::unit, 6}},
        {"seven", {NumberWord::unit, 7}},
        {"eight", {NumberWord::unit, 8}},
        {"nine", {NumberWord::unit, 9}},
        {"ten", {NumberWord::teen, 10}},
        {"eleven", {NumberWord::teen, 11}},
        {"twelve", {NumberWord::teen, 12}},
        {"thirteen", {NumberWord::teen, 13}},
        {"fourteen", {NumberWord::teen, 14}},
        {"fifteen", {NumberWord::teen, 15}},
        {"sixteen", {NumberWord::teen, 16}},
        {"seventeen", {NumberWord::teen, 17}},
        {"eighteen", {NumberWord::teen, 18}},
        {"nineteen", {NumberWord::teen, 19}},
        {"twenty", {NumberWord::ten, 20}},
        {"thirty", {NumberWord::ten, 30}},
        {"forty", {NumberWord::ten, 40}},
        {"fifty", {NumberWord::ten, 50}},
        {"sixty", {NumberWord::ten, 60}},
        {"seventy", {NumberWord::ten, 70}},
        {"eighty", {NumberWord::ten, 80}},
        {"ninety", {NumberWord::ten, 90}},
        {"hundred", {NumberWord::hundred, 100}},
        {"thousand", {NumberWord::thousand, 1000}},
        {"double", {NumberWord::repeat, 2}},
        {"triple", {NumberWord::repeat, 3}},
    };
    auto it = words.find(word);
    if (it == words.end()) return std::nullopt;
    return it->second;
}

// A span of the text: a word (letters, digits and joined marks) or one mark.
struct Piece {
    std::string text;
    bool word;
};

std::vector<Piece> pieces(std::string_view text) {
    std::vector<Piece> out;
    size_t i = 0;
    while (i < text.size()) {
        unsigned char c = text[i];
        if (std::isspace(c)) {
            ++i;
        } else if (isWordByte(c)) {
            size_t j = i;
            while (j < text.size() && isWordByte(static_cast<unsigned char>(text[j]))) ++j;
            out.push_back({std::string(text.substr(i, j - i)), true});
            i = j;
        } else {
            out.push_back({std::string(1, static_cast<char>(c)), false});
            ++i;
        }
    }
    return out;
}

// Reads a run of number words as consecutive numbers written with digits:
// "twenty one" → "21", "five five" → "55", "eighteen fifteen" → "1815",
// "one hundred and five" → "105", "double oh seven" → "007".
class NumberReader {
public:
    void add(const NumberWord& n) {
        if (repeat_ > 0 && n.kind == NumberWord::unit) {
            finish();
            for (int i = 0; i < repeat_; ++i) digits_ += std::to_string(n.value);
            repeat_ = 0;
            return;
        }
        repeat_ = 0;
        switch (n.kind) {
            case NumberWord::repeat:
                finish();
                repeat_ = n.value;
                return;
            case NumberWord::unit:
                if (n.value == 0) {  // a zero never joins a larger number
                    finish();
                    digits_ += "0";
                    return;
                }
                if (!(last_ == none || last_ == ten || last_ == hundred || last_ == thousand)) finish();
                group_ += n.value;
                last_ = unit;
                return;
            case NumberWord::teen:
            case NumberWord::ten:
                if (!(last_ == none || last_ == hundred || last_ == thousand)) finish();
                group_ += n.value;
                last_ = n.kind == NumberWord::teen ? teen : ten;
                return;
            case NumberWord::hundred:
                if (last_ == hundred || last_ == thousand) finish();
                // "five five five zero one hundred" ends in "100": the hundred
                // multiplies only the group spoken just before it.
                group_ = (last_ == none ? 1 : group_) * 100;
                last_ = hundred;
                return;
            case NumberWord::thousand:
                if (last_ == thousand) finish();
                thousands_ += (last_ == none ? 1 : group_) * 1000;
                group_ = 0;
                last_ = thousand;
                return;
        }
    }

    std::string take() {
        finish();
        repeat_ = 0;
        return std::move(digits_);
    }

private:
    enum Kind { none, unit, teen, ten, hundred, thousand };
    void finish() {
        if (last_ != none) digits_ += std::to_string(thousands_ + group_);
        thousands_ = group_ = 0;
        last_ = none;
    }
    std::string digits_;
    long long thousands_ = 0, group_ = 0;
    Kind last_ = none;
    int repeat_ = 0;
};

constexpr std::size_t kMaxAddressWords = 16;

bool isLocalByte(unsigned char c) {
    return std::isalnum(c) || c == '.' || c == '_' || c == '%' || c == '+' || c == '-';
}
bool isLabelByte(unsigned char c) { return std::isalnum(c) || c == '-'; }

// The leftmost written address: local@label(.label)+, found in one pass.
std::optional<std::string_view> writtenEmail(std::string_view text) {
    std::size_t localStart = 0;
    for (std::size_t at = 0; at < text.size(); ++at) {
        unsigned char c = text[at];
        if (c != '@') {
            if (!isLocalByte(c)) localStart = at + 1;
            continue;
        }
        std::size_t start = localStart;
        localStart = at + 1;
        if (start == at) continue;
        std::size_t end = at + 1, labels = 0;
        while (end < text.size() && isLabelByte(text[end])) ++end;
        if (end == at + 1) continue;
        while (end + 1 < text.size() && text[end] == '.' && isLabelByte(text[end + 1])) {
            ++end;
            while (end < text.size() && isLabelByte(text[end])) ++end;
            ++labels;
        }
        if (labels > 0) return text.substr(start, end - start);
    }
    return std::nullopt;
}

}  // namespace

std::string SpokenText::lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

std::vector<std::string> SpokenText::words(std::string_view text) {
    std::vector<std::string> out;
    for (auto& piece : pieces(text))
        if (piece.word) out.push_back(lower(piece.text));
    return out;
}

std::string SpokenText::withDigits(std::string_view text) {
    auto all = pieces(text);
    std::string out;
    auto append = [&](const std::string& piece, bool word) {
        bool glue = !word && (piece == "," || piece == "." || piece == "!" || piece == "?" || piece == ";" ||
                              piece == ":" || piece == ")");
        if (!out.empty() && !glue && out.back() != '(') out += ' ';
        out += piece;
    };
    for (size_t i = 0; i < all.size();) {
        if (all[i].word && numberWord(lower(all[i].text)) && lower(all[i].text) != "o") {
            NumberReader reader;
            size_t j = i;
            while (j < all.size() && all[j].word) {
                std::string w = lower(all[j].text);
                auto n = numberWord(w);
                // "and" joins "hundred and five"; anything else ends the run.
                if (!n && w == "and" && j > i && j + 1 < all.size() && all[j + 1].word &&
                    numberWord(lower(all[j + 1].text)) &&
                    (lower(all[j - 1].text) == "hundred" || lower(all[j - 1].text) == "thousand")) {
                    ++j;
                    continue;
                }
                if (!n) break;
                reader.add(*n);
                ++j;
            }
            std::string digits = reader.take();
            if (digits.empty()) {  // a lone "double" or "triple"
                for (size_t k = i; k < j; ++k) append(all[k].text, true);
            } else {
                append(digits, true);
            }
            i = j;
        } else {
            append(all[i].text, all[i].word);
            ++i;
        }
    }
    return out;
}

bool SpokenText::isSpokenNumber(std::string_view text) {
    auto all = words(text);
    if (all.empty()) return false;
    return std::all_of(all.begin(), all.end(), [](const std::string& w) { return numberWord(w) || w == "and"; }) &&
           numberWord(all.front());
}

std::optional<std::string> SpokenText::email(std::string_view text) {
    if (auto written = writtenEmail(text)) return lower(*written);

    // Spoken: local ("dot"|"underscore"|"dash"|"plus" local)* "at" domain ("dot" domain)+
    auto all = words(withDigits(text));
    auto separator = [](const std::string& w) -> std::optional<char> {
        if (w == "dot" || w == "period" || w == "point") return '.';
        if (w == "underscore") return '_';
        if (w == "dash" || w == "hyphen" || w == "minus") return '-';
        if (w == "plus") return '+';
        return std::nullopt;
    };
    auto plain = [&](const std::string& w) { return w != "at" && !separator(w); };
    for (size_t start = 0; start < all.size(); ++start) {
        size_t i = start;
        std::string local;
        if (!plain(all[i])) continue;
        local += all[i++];
        // Names spelt as several words run together ("ada lovelace at …"),
        // a few of them: a long run of words is no address, and a bounded
        // look keeps the search linear in the text.
        while (i < all.size() && all[i] != "at" && i - start < kMaxAddressWords) {
            if (auto sep = separator(all[i]); sep && i + 1 < all.size() && plain(all[i + 1])) {
                local += *sep;
                local += all[i + 1];
                i += 2;
            } else if (plain(all[i]) && i + 1 < all.size() && (all[i + 1] == "at" || separator(all[i + 1]))) {
                local += all[i++];
            } else {
                break;
            }
        }
        if (i >= all.size() || all[i] != "at") continue;
        ++i;
        std::string domain;
        size_t labels = 0;
        while (i < all.size() && plain(all[i]) && labels < kMaxAddressWords) {
            domain += all[i++];
            ++labels;
            if (i + 1 < all.size() && separator(all[i]) == '.' && plain(all[i + 1])) {
                domain += '.';
                ++i;
            } else if (i < all.size() && (all[i] == "dash" || all[i] == "hyphen") && i + 1 < all.size() &&
                       plain(all[i + 1])) {
                domain += '-';
                ++i;
                --labels;
            } else {
                break;
            }
        }
        if (labels >= 2) return local + "@" + domain;
    }
    return std::nullopt;
}

std::string SpokenText::webAddress(std::string_view text) {
    auto all = words(withDigits(text));
    if (all.empty()) return std::string(text);
    std::string source(text);
    if (source.find('.') != std::string::npos && source.find(' ') == std::string::npos) return source;
    std::string out;
    for (auto& w : all) {
        if (w == "dot" || w == "period" || w == "point")
            out += '.';
        else if (w == "slash")
            out += '/';
        else if (w == "dash" || w == "hyphen")
            out += '-';
        else if (w == "colon")
            out += ':';
        else if (w == "w" && (out.empty() || out.back() == 'w'))
            out += 'w';
        else if (w == "www")
            out += "www";
        else
            out += w;
    }
    return out;
}

std::optional<std::string> SpokenText::phone(std::string_view text) {
    std::string written = withDigits(text);
    // "plus four four …" → "+44 …"
    std::string out;
    for (auto& w : pieces(written)) {
        std::string lw = lower(w.text);
        if (lw == "plus" && out.empty()) {
            out += '+';
            continue;
        }
        bool digits =
            w.word && std::all_of(w.text.begin(), w.text.end(), [](unsigned char c) { return std::isdigit(c); });
        bool mark = !w.word && (w.text == "-" || w.text == "(" || w.text == ")" || w.text == "+" || w.text == ".");
        bool extension = w.word && (lw == "x" || lw == "ext");
        if (!digits && !mark && !extension) {
            if (w.text == "," && !out.empty()) continue;
            break;
        }
        if (digits && !out.empty() && out.back() != '+' && out.back() != '(' && out.back() != '-') out += ' ';
        out += w.text;
    }
    while (!out.empty() && (out.back() == ' ' || out.back() == '-' || out.back() == '(')) out.pop_back();
    if (std::count_if(out.begin(), out.end(), [](unsigned char c) { return std::isdigit(c); }) < 3) return std::nullopt;
    return out;
}

std::string SpokenText::capitalised(std::string_view text) {
    std::string out(text);
    if (std::any_of(out.begin(), out.end(), [](unsigned char c) { return std::isupper(c); })) return out;
    bool start = true;
    for (auto& c : out) {
        unsigned char u = c;
        if (std::isalpha(u) && start) c = static_cast<char>(std::toupper(u));
        start = std::isspace(u) || u == '-';
    }
    return out;
}

}  // namespace vell::service
