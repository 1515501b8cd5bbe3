#include "commerce/price_normalizer.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <deque>
#include <memory>
#include <stdexcept>
#include <string>

#include "commerce/numbers.hpp"
#include "commerce/regex.hpp"
#include "commerce/text.hpp"
#include "commerce/vocabulary.hpp"

namespace quillmere::price {
namespace {

constexpr std::string_view kDefaultCurrency = "USD";
constexpr int kTailChunk = 256;

// The module's price pattern, compiled. When the text has the composed form
// HEAD T MIDDLE T TAIL (T the currency-token pattern), the search runs in
// stages that find exactly what the whole pattern finds, without the
// backtracking state a single regex needs per separator or per white-space
// character (which long hostile texts exhaust):
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
    std::unique_ptr<Regex> full;
    std::unique_ptr<Regex> lead;
    std::unique_ptr<Regex> tail;
};

// Set at load; a pattern once published is never freed, so a search running
// on another thread can never see it disappear.
std::atomic<const CompiledPattern*> g_pattern{nullptr};
std::deque<std::unique_ptr<CompiledPattern>>& pattern_store() {
    static std::deque<std::unique_ptr<CompiledPattern>> store;
    return store;
}

// The token pattern T when `text` is HEAD T MIDDLE T TAIL.
std::optional<std::string_view> token_pattern_of(std::string_view text) {
    const std::string_view head = vocab::PRICE_PATTERN_HEAD, middle = vocab::PRICE_PATTERN_MIDDLE,
                           tail = vocab::PRICE_PATTERN_TAIL;
    if (text.size() < head.size() + middle.size() + tail.size() || !text::starts_with(text, head) ||
        !text::ends_with(text, tail))
        return std::nullopt;
    std::string_view inner = text.substr(head.size(), text.size() - head.size() - tail.size());
    if ((inner.size() - middle.size()) % 2 != 0) return std::nullopt;
    std::size_t k = (inner.size() - middle.size()) / 2;
    if (inner.substr(k, middle.size()) != middle || inner.substr(0, k) != inner.substr(k + middle.size()))
        return std::nullopt;
    return inner.substr(0, k);
}

// Search states per thread, rebuilt if the pattern changed.
struct Searchers {
    const CompiledPattern* owner = nullptr;
    std::unique_ptr<Regex::Match> full, lead, tail;
};
Searchers& thread_searchers(const CompiledPattern& p) {
    thread_local Searchers s;
    if (s.owner != &p) {
        s.full = std::make_unique<Regex::Match>(*p.full);
        s.lead = p.lead ? std::make_unique<Regex::Match>(*p.lead) : nullptr;
        s.tail = p.tail ? std::make_unique<Regex::Match>(*p.tail) : nullptr;
        s.owner = &p;
    }
    return s;
}

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
std::optional<Groups> search(const CompiledPattern& p, std::string_view s) {
    Searchers& st = thread_searchers(p);
    // The searchers outlive the texts they searched: a new text starts afresh.
    for (auto* m : {st.full.get(), st.lead.get(), st.tail.get()})
        if (m) m->reset();
    if (!p.lead) {
        if (!st.full->search(s)) return std::nullopt;
        // The match is unpacked into exactly three groups, as the host would.
        std::uint32_t groups = p.full->group_count();
        if (groups > 3) throw std::invalid_argument("too many values to unpack (expected 3)");
        if (groups < 3)
            throw std::invalid_argument("not enough values to unpack (expected 3, got " + std::to_string(groups) +
                                        ")");
        return Groups{st.full->group(1), st.full->group(2), st.full->group(3)};
    }
    if (!st.lead->search(s)) return std::nullopt;
    Groups g;
    g.before = st.lead->group(1);
    std::size_t start = st.lead->start(2);
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
        if (st.tail->search(s, lo)) {
            g.after = st.tail->group(1);
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

void set_pattern(std::string_view python_pattern) {
    auto p = std::make_unique<CompiledPattern>();
    p->full = std::make_unique<Regex>(python_pattern, Regex::IGNORECASE);
    std::optional<std::string_view> token = token_pattern_of(python_pattern);
    if (token && p->full->group_count() == 3) {
        std::string t(*token);
        p->lead = std::make_unique<Regex>("(?:(" + t + ")\\s*+)?([0-9])", Regex::IGNORECASE);
        p->tail = std::make_unique<Regex>("\\G\\s{0," + std::to_string(kTailChunk) + "}(" + t + ")",
                                          Regex::IGNORECASE);
    }
    const CompiledPattern* raw = p.get();
    pattern_store().push_back(std::move(p));
    g_pattern.store(raw, std::memory_order_release);
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
    const CompiledPattern* p = g_pattern.load(std::memory_order_acquire);
    if (!p) throw std::logic_error("the price pattern has not been set");
    std::string_view cleaned = text::strip(raw_price);
    if (cleaned.empty()) return std::nullopt;
    std::optional<Groups> g = search(*p, cleaned);
    if (!g) return std::nullopt;
    return from_groups(cleaned, g->before, g->number, g->after, currency_hint);
}

std::optional<Price> parse(std::string_view raw_price, std::optional<std::string_view> currency_hint) {
    std::optional<PriceView> v = parse_view(raw_price, currency_hint);
    if (!v) return std::nullopt;
    return Price{std::string(v->raw), v->amount, std::move(v->currency)};
}

}  // namespace quillmere::price
