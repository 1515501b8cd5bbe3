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
    if (!st.lead.search(s)) return std::nullopt;
    Groups g;
    g.before = st.lead.group(1);
    std::size_t start = st.lead.start(2);
    std::size_t end = scan_number(s, start);
    g.number = s.substr(start, end - start);

    // A token after the number needs text after it (an empty one would not
    // count anyway).
    if (end == s.size()) return g;

    // The white-space run after the number, [end, run_end).
    std::size_t run_end = end;
    for (std::size_t i = end; i < s.size();) {
        if (!text::is_space(text::next_code_point(s, i))) break;
        run_end = i;
    }
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
        for (std::size_t i = 0; i < codes.size(); ++i) out += (i ? "|" : "") + std::string(codes[i]);
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
