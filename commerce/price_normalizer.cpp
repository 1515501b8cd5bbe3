#include "commerce/price_normalizer.hpp"

#include <algorithm>
#include <cmath>
#include <vector>
#include <string>

#include "commerce/numbers.hpp"
#include "commerce/regex.hpp"
#include "commerce/text.hpp"
#include "commerce/vocabulary.hpp"

namespace quillmere::price {
namespace {

constexpr std::string_view kDefaultCurrency = "USD";
constexpr int kTailChunk = 256;

// The price pattern, compiled. The search runs in stages that find exactly
// what the whole pattern finds, without the backtracking state a single
// regex needs per separator or per white-space character (which long hostile
// texts exhaust):
// - `lead`, "(?:(T)\s*+)?([0-9])", finds the start and the token before. In
//   the whole pattern everything after the first digit is optional, so the
//   same start and the same token alternative win; and giving back white
//   space can never let a digit match, so the possessive "\s*+" is exact.
// - the digit runs and separators are scanned by hand, greedily, as the
//   pattern's repeats are (never backtracked into: the rest always succeeds).
// - `tail` tries "\s*(T)" where the number ends: greedy, so T is tried after
//   the longest white-space run first, then after ever shorter ones. The run
//   is walked in chunks of kTailChunk characters from its far end, each chunk
//   one bounded "\G\s{0,kTailChunk}(T)" match: the same order of attempts.
struct CompiledPattern {
    Regex lead;
    Regex tail;
};

const CompiledPattern& compiled() {
    static const CompiledPattern p{
        Regex("(?:(" + currency_token_pattern() + ")\\s*+)?([0-9])", Regex::IGNORECASE),
        Regex("\\G\\s{0," + std::to_string(kTailChunk) + "}(" + currency_token_pattern() + ")", Regex::IGNORECASE)};
    return p;
}

// Search states per thread.
struct Searchers {
    Regex::Match lead, tail;
};
Searchers& thread_searchers() {
    thread_local Searchers s{Regex::Match(compiled().lead), Regex::Match(compiled().tail)};
    return s;
}

bool is_regex_special(char c) { return std::string_view("\\.^$|?*+()[]{}").find(c) != std::string_view::npos; }

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// End of "[0-9]+(?:[,\.\s][0-9]+)*" starting at a digit at `i`.
std::size_t scan_number(std::string_view s, std::size_t i) {
    while (i < s.size() && is_digit(s[i])) ++i;
    while (i < s.size()) {
        std::size_t j = i;
        char32_t c = text::next_code_point(s, j);
        if (!(c == ',' || c == '.' || text::is_space(c)) || j >= s.size() || !is_digit(s[j])) break;
        i = j;
        while (i < s.size() && is_digit(s[i])) ++i;
    }
    return i;
}

// ---- the currency tokens, matched by hand where that is plainly exact ----
//
// At any one position at most one token alternative can match (no two share
// a prefix that the next character does not tell apart), and none starts
// with a digit or white space. Letters match as Python's re matches them
// ignoring case: ASCII either way, and "s" also "ſ", "i" also "İ" and "ı".
// Whether a code stands alone depends on its neighbours being letters in
// the sense of [^\W\d_]; for an ASCII neighbour that is [A-Za-z], for any
// other the regular expression decides.

enum class Found { NO, YES, ASK };
struct Token {
    Found found = Found::NO;
    std::size_t end = 0;
};

bool ascii_letter(unsigned char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }

// Whether the character before / at byte `i` is a letter; ASK when it is not ASCII.
Found letter_before(std::string_view s, std::size_t i) {
    if (i == 0) return Found::NO;
    unsigned char c = static_cast<unsigned char>(s[i - 1]);
    return c >= 0x80 ? Found::ASK : ascii_letter(c) ? Found::YES : Found::NO;
}
Found letter_at(std::string_view s, std::size_t i) {
    if (i >= s.size()) return Found::NO;
    unsigned char c = static_cast<unsigned char>(s[i]);
    return c >= 0x80 ? Found::ASK : ascii_letter(c) ? Found::YES : Found::NO;
}

// The byte at s[j], or 0 past the end.
unsigned char at(std::string_view s, std::size_t j) { return j < s.size() ? static_cast<unsigned char>(s[j]) : 0; }

// Matches the lower-case ASCII letter `l` at s[j], advancing j.
bool letter(std::string_view s, std::size_t& j, char l) {
    unsigned char c = at(s, j);
    if ((c | 0x20) == static_cast<unsigned char>(l) && c < 0x80) {
        ++j;
        return true;
    }
    unsigned char d = at(s, j + 1);
    bool other = (l == 's' && c == 0xC5 && d == 0xBF) ||                 // ſ
                 (l == 'i' && c == 0xC4 && (d == 0xB0 || d == 0xB1));  // İ ı
    if (other) j += 2;
    return other;
}

// The currency token starting at byte `i`, if any.
Token token_at(std::string_view s, std::size_t i) {
    const unsigned char c = at(s, i);
    std::size_t j = i;
    auto found = [&](std::size_t end) { return Token{Found::YES, end}; };
    auto code = [&](const char* name) {  // a code, as a whole word
        j = i;
        if (!(letter(s, j, name[0]) && letter(s, j, name[1]) && letter(s, j, name[2]))) return Token{};
        Found before = letter_before(s, i), after = letter_at(s, j);
        if (before == Found::ASK || after == Found::ASK) return Token{Found::ASK, 0};
        return before == Found::NO && after == Found::NO ? found(j) : Token{};
    };
    switch (c >= 'A' && c <= 'Z' ? (c | 0x20) : c) {
        case '$':
            return found(i + 1);
        case 'u':
            if (j = i, letter(s, j, 'u') && letter(s, j, 's') && at(s, j) == '$') return found(j + 1);
            return code("usd");
        case 'c':
            if (j = i + 1, letter(s, j, 'n') && at(s, j) == 0xC2 && at(s, j + 1) == 0xA5) return found(j + 2);
            if (j = i + 1, letter(s, j, 'a') && at(s, j) == '$') return found(j + 1);
            if (Token t = code("cny"); t.found != Found::NO) return t;
            return code("cad");
        case 'a':
            if (at(s, i + 1) == '$') return found(i + 2);
            return code("aud");
        case 'e':
            return code("eur");
        case 'g':
            return code("gbp");
        case 'j':
            return code("jpy");
        case 'i':
        case 0xC4:  // İ ı
            return code("inr");
        case 0xC2:  // £ ¥
            return at(s, i + 1) == 0xA3 || at(s, i + 1) == 0xA5 ? found(i + 2) : Token{};
        case 0xE2:  // € ₹
            return at(s, i + 1) == 0x82 && (at(s, i + 2) == 0xAC || at(s, i + 2) == 0xB9) ? found(i + 3) : Token{};
        default:
            return Token{};
    }
}

// The end of the white-space run starting at byte `i`.
std::size_t skip_space(std::string_view s, std::size_t i) {
    while (i < s.size()) {
        std::size_t k = i;
        if (!text::is_space(text::next_code_point(s, k))) break;
        i = k;
    }
    return i;
}

struct Groups {
    std::string_view before, number, after;
};

// The first match of the price pattern in `s`: its three groups (empty when
// absent), or nullopt when there is none.
std::optional<Groups> search(std::string_view s) {
    Searchers& st = thread_searchers();
    // The searchers outlive the texts they searched: a new text starts afresh.
    st.lead.reset();
    st.tail.reset();
    // The lead: the first position where a digit stands, or a token followed
    // by white space and a digit; the regular expression takes over from a
    // position the hand matcher cannot decide.
    Groups g;
    std::size_t start = s.size();
    for (std::size_t i = 0; i < s.size();) {
        if (is_digit(s[i])) {
            start = i;
            break;
        }
        Token t = token_at(s, i);
        if (t.found == Found::ASK) {
            if (!st.lead.search(s, i)) return std::nullopt;
            g.before = st.lead.group(1);
            start = st.lead.start(2);
            break;
        }
        if (t.found == Found::YES) {
            std::size_t digit = skip_space(s, t.end);
            if (digit < s.size() && is_digit(s[digit])) {
                g.before = s.substr(i, t.end - i);
                start = digit;
                break;
            }
        }
        text::next_code_point(s, i);
    }
    if (start == s.size()) return std::nullopt;
    std::size_t end = scan_number(s, start);
    g.number = s.substr(start, end - start);

    // A token after the number needs text after it (an empty one would not
    // count anyway).
    if (end == s.size()) return g;

    // The white-space run after the number, [end, run_end). No token starts
    // with white space, so only a token at run_end can follow; before it
    // stands white space or a digit, never a letter.
    std::size_t run_end = skip_space(s, end);
    Token t = token_at(s, run_end);
    if (t.found == Found::YES) g.after = s.substr(run_end, t.end - run_end);
    if (t.found != Found::ASK) return g;
    std::size_t hi = run_end;  // the highest start not yet tried
    for (;;) {
        std::size_t lo = hi;
        for (int k = 0; k < kTailChunk && lo > end; ++k) {  // kTailChunk characters back
            --lo;
            while (lo > end && (static_cast<unsigned char>(s[lo]) & 0xC0) == 0x80) --lo;
        }
        if (st.tail.search(s, lo)) {
            g.after = st.tail.group(1);
            break;
        }
        if (lo == end) break;
        hi = lo - 1;
        while (hi > end && (static_cast<unsigned char>(s[hi]) & 0xC0) == 0x80) --hi;
    }
    return g;
}

void erase_all(std::string& s, char c) { s.erase(std::remove(s.begin(), s.end(), c), s.end()); }

// The number text after the separator decision, ready for float().
std::string decide_separators(std::string_view number) {
    std::string num;
    num.reserve(number.size());
    for (char c : number)
        if (c != ' ') num.push_back(c);  // U+0020 only: other white space stays and fails float()
    std::size_t comma = num.find(','), dot = num.find('.');
    if (comma != std::string::npos && dot != std::string::npos) {
        if (comma < dot) {
            erase_all(num, ',');  // "1,299.99": commas group thousands
        } else {
            erase_all(num, '.');  // "1.299,99": points group thousands
            std::replace(num.begin(), num.end(), ',', '.');
        }
    } else if (comma != std::string::npos) {
        bool single = num.find(',', comma + 1) == std::string::npos;
        if (single && text::length(std::string_view(num).substr(comma + 1)) == 2)
            num[comma] = '.';  // "12,50": a decimal comma
        else
            erase_all(num, ',');  // "1,234", "12,5", "1,234,56": thousands
    }
    return num;
}

}  // namespace

const std::string& currency_token_pattern() {
    static const std::string pattern = [] {
        std::vector<std::string_view> signs, codes;
        for (const auto& [key, code] : vocab::CURRENCY_MAP) {
            bool letters = std::all_of(key.begin(), key.end(), [](char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; });
            (letters ? codes : signs).push_back(key);
        }
        std::stable_sort(signs.begin(), signs.end(),
                         [](std::string_view a, std::string_view b) { return text::length(a) > text::length(b); });
        std::string out = "(?:";
        for (std::string_view sign : signs) {
            for (char c : sign) {
                if (is_regex_special(c)) out += '\\';
                out += c;
            }
            out += '|';
        }
        // A code counts where no letter touches it.
        out += "(?<![^\\W\\d_])(?:";
        for (std::size_t i = 0; i < codes.size(); ++i) {
            if (i > 0) out += '|';
            out += codes[i];
        }
        out += ")(?![^\\W\\d_]))";
        return out;
    }();
    return pattern;
}

const std::string& price_pattern() {
    static const std::string pattern = "(?:(" + currency_token_pattern() + ")\\s*)?([0-9]+(?:[,\\.\\s][0-9]+)*)(?:\\s*(" +
                                       currency_token_pattern() + "))?";
    return pattern;
}

std::optional<PriceView> from_groups(std::string_view cleaned, std::string_view before, std::string_view number,
                                     std::string_view after, std::optional<std::string_view> currency_hint) {
    std::string_view token = !before.empty()                          ? before
                             : !after.empty()                         ? after
                             : (currency_hint && !currency_hint->empty()) ? *currency_hint
                                                                      : kDefaultCurrency;
    // Upper-cased and trimmed, then looked up; a token that is already a key
    // (as the usual signs and codes are) is its own upper-cased, trimmed form.
    std::string code;
    std::string_view trimmed = token;
    std::string_view mapped = vocab::currency_code(token);
    if (mapped.empty()) {
        code = text::upper(token);
        trimmed = text::strip(code);
        mapped = vocab::currency_code(trimmed);
    }

    std::optional<double> value = numbers::parse_python_float(decide_separators(number));
    if (!value) return std::nullopt;
    double amount = numbers::round2(*value);
    // The record refuses amounts that are not finite or are negative.
    if (!std::isfinite(amount) || amount < 0) return std::nullopt;

    PriceView p;
    p.raw = cleaned;
    p.amount = amount;
    p.currency.assign(mapped.empty() ? trimmed : mapped);
    return p;
}

std::optional<PriceView> parse_view(std::string_view raw_price, std::optional<std::string_view> currency_hint) {
    std::string_view cleaned = text::strip(raw_price);
    if (cleaned.empty()) return std::nullopt;
    std::optional<Groups> g = search(cleaned);
    if (!g) return std::nullopt;
    return from_groups(cleaned, g->before, g->number, g->after, currency_hint);
}

std::optional<Price> parse(std::string_view raw_price, std::optional<std::string_view> currency_hint) {
    std::optional<PriceView> v = parse_view(raw_price, currency_hint);
    if (!v) return std::nullopt;
    return Price{std::string(v->raw), v->amount, std::move(v->currency)};
}

}  // namespace quillmere::price
