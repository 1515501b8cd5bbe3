// The markup searches of page analysis. Each pattern is matched piece by
// piece (a literal or short anchored pattern found first, the rest tried
// from there), with the answers of the whole pattern but without its
// backtracking: every piece scans a stretch of the page a bounded number of
// times, so hostile pages (many openings, long runs without ">") stay linear.
#include "commerce/markup.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "commerce/regex.hpp"

namespace quillmere::metadata {
namespace {

using sv = std::string_view;

// The patterns as written; the searches below answer exactly as these do.
constexpr std::array<sv, kMarkupCount> kMarkupPatterns = {
    R"(class=["\'][^"\']*woocommerce-Price-amount[^"\']*["\'][^>]*>(?:<bdi>)?(?:<span[^>]*>[^<]*</span>)?([\d,]+(?:\.\d{2})?))",
    R"(itemprop=["\']price["\'][^>]*content=["\']([\d,]+(?:\.\d{2})?)["\'])",
    R"(itemprop=["\']priceCurrency["\'][^>]*content=["\']([A-Z]{3})["\'])",
    R"(itemprop=["\']sku["\'][^>]*content=["\']([^"\']+)["\'])",
    R"(<span[^>]*class=["\'][^"\']*sku[^"\']*["\'][^>]*>([^<]+)</span>)",
    R"(data-product_sku=["\']([^"\']+)["\'])",
    R"(class=["\'][^"\']*\binstock\b[^"\']*["\'])",
    R"(class=["\'][^"\']*\boutofstock\b[^"\']*["\'])",
};

// The pieces the searches below are made of, each matched case-insensitively
// like the whole pattern; \G anchors a piece where the previous one ended.
enum Piece {
    SHOP_HEAD,
    SHOP_TAIL,
    PRICE_HEAD,
    PRICE_TAIL,
    CURRENCY_HEAD,
    CURRENCY_TAIL,
    SKU_HEAD,
    SKU_TAIL,
    SPAN_OPEN,
    CLASS_ATTR,
    SKU_CLASS_VALUE,
    SPAN_REST,
    SKU_ATTRIBUTE_WHOLE,
    IN_STOCK_WHOLE,
    OUT_OF_STOCK_WHOLE,
    IN_STOCK_AT,
    OUT_OF_STOCK_AT,
    PRICE_HEAD_AT,
    CURRENCY_HEAD_AT,
    SKU_HEAD_AT,
    kPieceCount
};
constexpr std::array<sv, kPieceCount> kPieces = {
    R"(class=["\'][^"\']*woocommerce-Price-amount[^"\']*["\'])",
    R"(\G(?:<bdi>)?(?:<span[^>]*>[^<]*</span>)?([\d,]+(?:\.\d{2})?))",
    R"(itemprop=["\']price["\'])",
    R"(\G[^>]*content=["\']([\d,]+(?:\.\d{2})?)["\'])",
    R"(itemprop=["\']priceCurrency["\'])",
    R"(\G[^>]*content=["\']([A-Z]{3})["\'])",
    R"(itemprop=["\']sku["\'])",
    R"(\G[^>]*content=["\']([^"\']+)["\'])",
    R"(<span)",
    R"(class=["\'])",
    R"(\G[^"\']*sku[^"\']*["\'])",
    R"(\G([^<]+)</span>)",
    kMarkupPatterns[static_cast<int>(Markup::SKU_ATTRIBUTE)],
    kMarkupPatterns[static_cast<int>(Markup::IN_STOCK_CLASS)],
    kMarkupPatterns[static_cast<int>(Markup::OUT_OF_STOCK_CLASS)],
    R"(\Gclass=["\'][^"\']*\binstock\b[^"\']*["\'])",
    R"(\Gclass=["\'][^"\']*\boutofstock\b[^"\']*["\'])",
    R"(\Gitemprop=["\']price["\'])",
    R"(\Gitemprop=["\']priceCurrency["\'])",
    R"(\Gitemprop=["\']sku["\'])",
};

const Regex& piece(Piece which) {
    static const auto compiled = [] {
        std::array<std::unique_ptr<Regex>, kPieceCount> all;
        for (int k = 0; k < kPieceCount; ++k) all[k] = std::make_unique<Regex>(kPieces[k], Regex::IGNORECASE);
        return all;
    }();
    return *compiled[which];
}

bool equal_ascii_icase(const unsigned char* h, sv needle) {
    for (std::size_t k = 0; k < needle.size(); ++k) {
        unsigned char c = h[k];
        if (c >= 'A' && c <= 'Z') c += 32;
        if (c != static_cast<unsigned char>(needle[k])) return false;
    }
    return true;
}

}  // namespace

// Positions are screened by the needle's first and last byte (letters
// compared with their case bit set), 32 at a time in two blocks of sixteen
// with one branch between them, and the few survivors are compared in full.
// Walking a pointer rather than an index keeps the loop as tight under
// clang as under GCC.
std::size_t ascii_icase_find(sv hay, sv needle, std::size_t from) {
    const std::size_t m = needle.size();
    if (m == 0) return from <= hay.size() ? from : sv::npos;
    if (hay.size() < m || from > hay.size() - m) return sv::npos;
    const auto* h = reinterpret_cast<const unsigned char*>(hay.data());
    const unsigned char* p = h + from;
    const unsigned char* const stop = h + (hay.size() - m + 1);  // one past the last start
#if defined(__SSE2__)
    auto letter = [](char c) { return c >= 'a' && c <= 'z'; };
    const __m128i first = _mm_set1_epi8(needle.front()), last = _mm_set1_epi8(needle.back());
    const __m128i first_case = _mm_set1_epi8(letter(needle.front()) ? 0x20 : 0);
    const __m128i last_case = _mm_set1_epi8(letter(needle.back()) ? 0x20 : 0);
    auto screen = [&](const unsigned char* at) {
        __m128i a = _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)), first_case);
        __m128i b = _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at + m - 1)), last_case);
        return _mm_and_si128(_mm_cmpeq_epi8(a, first), _mm_cmpeq_epi8(b, last));
    };
    for (; stop - p >= 32; p += 32) {
        __m128i lo = screen(p), hi = screen(p + 16);
        if (_mm_movemask_epi8(_mm_or_si128(lo, hi)) == 0) continue;
        unsigned bits = static_cast<unsigned>(_mm_movemask_epi8(lo)) |
                        (static_cast<unsigned>(_mm_movemask_epi8(hi)) << 16);
        while (bits) {
            const unsigned char* at = p + __builtin_ctz(bits);
            if (equal_ascii_icase(at, needle)) return static_cast<std::size_t>(at - h);
            bits &= bits - 1;
        }
    }
#endif
    for (; p < stop; ++p)
        if (equal_ascii_icase(p, needle)) return static_cast<std::size_t>(p - h);
    return sv::npos;
}

namespace {

// First ">" at or after `from` (or the end of the page), remembering the last
// answer: the searches ask for positions that mostly move forwards, and a
// run of text without ">" is then scanned once rather than once per question.
class NextGt {
public:
    explicit NextGt(sv page) : page_(page) {}
    std::size_t operator()(std::size_t from) {
        if (from >= lo_ && from <= answer_) return answer_;
        lo_ = from;
        const void* p = from < page_.size() ? std::memchr(page_.data() + from, '>', page_.size() - from) : nullptr;
        answer_ = p ? static_cast<std::size_t>(static_cast<const char*>(p) - page_.data()) : page_.size();
        return answer_;
    }

private:
    sv page_;
    std::size_t lo_ = 1, answer_ = 0;  // empty cache
};

// Patterns of the shape  A [^>]* B  where A holds no ">" and may occur many
// times before one ">". Searching the whole pattern from every A would scan
// to that ">" again each time. For A ending at e, [^>]* can reach at most the
// first ">" at or after e, so the tail matches from e exactly when it matches
// at some later point up to that ">"; a later A before the same ">" can only
// do worse. After a failure the search therefore resumes at that ">".
std::optional<MarkupMatch> head_then_tail(sv html, const Regex& head, const Regex& tail) {
    Regex::Match a(head), b(tail);
    NextGt next_gt(html);
    std::size_t pos = 0;
    while (a.search(html, pos)) {
        std::size_t e = a.end(0);
        if (b.search(html, e)) return MarkupMatch{a.start(0), b.group(1)};
        std::size_t gt = next_gt(e);
        if (gt >= html.size()) break;
        pos = gt;
    }
    return std::nullopt;
}

// The same search with the starts found by their literal prefix instead of
// by the pattern (`head` anchored with \G): much faster where the prefix
// can only be spelled in ASCII letters.
std::optional<MarkupMatch> head_then_tail(Page& page, sv prefix, const Regex& head, const Regex& tail) {
    sv html = page.text();
    Regex::Match a(head), b(tail);
    NextGt next_gt(html);
    for (std::size_t k = page.find(prefix); k != sv::npos;) {
        if (!a.search(html, k)) {
            k = page.find(prefix, k + 1);
            continue;
        }
        std::size_t e = a.end(0);
        if (b.search(html, e)) return MarkupMatch{k, b.group(1)};
        std::size_t gt = next_gt(e);
        if (gt >= html.size()) break;
        k = page.find(prefix, gt);
    }
    return std::nullopt;
}

// Shop-theme price: A ends at the closing quote of the class value; the
// rest starts after the first ">" behind it and depends on nothing else, so
// every A that shares that ">" shares the outcome.
std::optional<MarkupMatch> shop_price(sv html) {
    const Regex& head = piece(SHOP_HEAD);
    const Regex& tail = piece(SHOP_TAIL);
    Regex::Match a(head), b(tail);
    NextGt next_gt(html);
    std::size_t pos = 0, tried_gt = sv::npos;
    while (a.search(html, pos)) {
        std::size_t gt = next_gt(a.end(0));
        if (gt >= html.size()) break;  // no ">" left: nothing further can match
        if (gt != tried_gt) {
            if (b.search(html, gt + 1)) return MarkupMatch{a.start(0), b.group(1)};
            tried_gt = gt;
        }
        pos = a.start(0) + 1;
    }
    return std::nullopt;
}

// Identifier element:  <span [^>]* class=Q [^"']*sku[^"']* Q [^>]* > ([^<]+) </span>
// The quoted class value may hold ">", so the tail is not bounded by the
// first ">". The greedy [^>]* makes the match use the last class attribute
// before the first ">" whose value holds "sku" and whose remainder matches;
// that remainder is fixed by the first ">" after the value's closing quote.
std::optional<MarkupMatch> sku_element(sv html, bool ascii_spelling) {
    Regex::Match m_open(piece(SPAN_OPEN)), m_attr(piece(CLASS_ATTR)), m_value(piece(SKU_CLASS_VALUE)),
        m_rest(piece(SPAN_REST));
    // Next "<span" at or after pos, and next class= with its quote in head,
    // as [start, end); found by literal where only ASCII can spell them.
    auto next_open = [&](std::size_t pos) -> std::optional<std::pair<std::size_t, std::size_t>> {
        if (ascii_spelling) {
            std::size_t k = ascii_icase_find(html, "<span", pos);
            if (k == sv::npos) return std::nullopt;
            return std::pair{k, k + 5};
        }
        if (!m_open.search(html, pos)) return std::nullopt;
        return std::pair{m_open.start(0), m_open.end(0)};
    };
    auto next_attr = [&](sv head, std::size_t q) -> std::optional<std::pair<std::size_t, std::size_t>> {
        if (ascii_spelling) {
            for (std::size_t k = ascii_icase_find(head, "class=", q); k != sv::npos;
                 k = ascii_icase_find(head, "class=", k + 1))
                if (k + 6 < head.size() && (head[k + 6] == '"' || head[k + 6] == '\'')) return std::pair{k, k + 7};
            return std::nullopt;
        }
        if (!m_attr.search(head, q)) return std::nullopt;
        return std::pair{m_attr.start(0), m_attr.end(0)};
    };
    NextGt next_gt(html);
    std::size_t rest_gt = sv::npos;
    std::optional<sv> rest_group;
    std::size_t pos = 0;
    while (auto open = next_open(pos)) {
        std::size_t e = open->second;
        std::size_t gt1 = next_gt(e);
        sv head = html.substr(0, gt1);  // the attribute and its quote lie before gt1
        std::optional<sv> found;
        for (auto attr = next_attr(head, e); attr; attr = next_attr(head, attr->first + 1)) {
            if (!m_value.search(html, attr->second)) continue;
            std::size_t gt2 = next_gt(m_value.end(0));
            if (gt2 >= html.size()) continue;
            if (gt2 != rest_gt) {
                rest_gt = gt2;
                rest_group = m_rest.search(html, gt2 + 1) ? std::optional<sv>(m_rest.group(1)) : std::nullopt;
            }
            if (rest_group) found = rest_group;
        }
        if (found) return MarkupMatch{open->first, *found};
        if (gt1 >= html.size()) break;
        pos = gt1;
    }
    return std::nullopt;
}

std::optional<MarkupMatch> plain_search(sv html, const Regex& re) {
    Regex::Match m(re);
    if (!m.search(html)) return std::nullopt;
    return MarkupMatch{m.start(0), re.group_count() >= 1 ? m.group(1) : sv()};
}

// Stock classes: class=Q [^"']* \bWORD\b [^"']* Q. A match lies inside one
// run of text between two quotes whose opening quote follows "class=", so
// the runs that hold WORD are the only candidates, tried in page order with
// the pattern anchored at their "class=". Only for pages where WORD can only
// be spelled with ASCII letters (see Page).
std::optional<MarkupMatch> class_word(Page& page, sv word, const Regex& anchored) {
    sv html = page.text();
    auto quote = [&](std::size_t i) { return html[i] == '"' || html[i] == '\''; };
    Regex::Match m(anchored);
    std::size_t run_end = 0;  // the quote that closes the last run examined
    for (std::size_t k = page.find(word); k != sv::npos; k = page.find(word, k + 1)) {
        if (k < run_end) continue;  // same run as before
        std::size_t open = k;
        while (open > run_end && !quote(open - 1)) --open;
        if (open == 0 || !quote(open - 1)) {  // no quote before: no run
            run_end = k;
            continue;
        }
        std::size_t q = open - 1;
        run_end = k;
        while (run_end < html.size() && !quote(run_end)) ++run_end;
        if (q >= 6 && ascii_icase_find(html.substr(q - 6, 6), "class=") == 0 && m.search(html, q - 6))
            return MarkupMatch{q - 6, sv()};
    }
    return std::nullopt;
}

bool ascii_only(sv s) {
    std::size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) {
        std::uint64_t w;
        std::memcpy(&w, s.data() + i, 8);
        if (w & 0x8080808080808080ULL) return false;
    }
    for (; i < s.size(); ++i)
        if (static_cast<unsigned char>(s[i]) >= 0x80) return false;
    return true;
}

}  // namespace

std::string_view markup_pattern(Markup which) { return kMarkupPatterns[static_cast<int>(which)]; }

// Most pages hold none of a pattern's rarest literal, and a plain search for
// it is far cheaper than the pattern. Case-insensitive matching also lets
// four non-ASCII letters stand for ASCII ones (long s for "s", the Kelvin
// sign for "k", dotted and dotless I for "i"); on a page with any of them
// the literal test proves nothing and the pattern runs as it is.
bool Page::may_contain(sv literal) { return find(literal) != sv::npos || folding(); }

std::size_t Page::find(sv literal, std::size_t from) {
    Asked* slot = nullptr;
    for (int i = 0; i < n_asked_; ++i)
        if (asked_[i].literal == literal) slot = &asked_[i];
    // Nothing lies between the last start and its answer, so any start in
    // that span has the same answer.
    if (slot && from >= slot->from && from <= slot->answer) return slot->answer;
    std::size_t answer = ascii_icase_find(html_, literal, from);
    if (!slot && n_asked_ < static_cast<int>(std::size(asked_))) slot = &asked_[n_asked_++];
    if (slot) *slot = Asked{literal, from, answer};
    return answer;
}

bool Page::lower_contains(sv needle) {
    if (!folding())
        for (int i = 0; i < n_asked_; ++i)
            if (asked_[i].from == 0 && asked_[i].answer == sv::npos && needle.find(asked_[i].literal) != sv::npos)
                return false;
    return metadata::lower_contains(html_, needle);
}

bool Page::folding() {
    if (folding_ < 0) {
        folding_ = !ascii_only(html_) &&
                   (html_.find("\xC5\xBF") != sv::npos || html_.find("\xE2\x84\xAA") != sv::npos ||
                    html_.find("\xC4\xB0") != sv::npos || html_.find("\xC4\xB1") != sv::npos);
    }
    return folding_ == 1;
}

std::optional<MarkupMatch> find_markup(Markup which, Page& page) {
    sv html = page.text();
    switch (which) {
        case Markup::SHOP_PRICE:
            if (!page.may_contain("woocommerce-price-amount")) return std::nullopt;
            return shop_price(html);
        case Markup::MICRODATA_PRICE:
            if (page.folding()) return head_then_tail(html, piece(PRICE_HEAD), piece(PRICE_TAIL));
            return head_then_tail(page, "itemprop=", piece(PRICE_HEAD_AT), piece(PRICE_TAIL));
        case Markup::MICRODATA_CURRENCY:
            if (page.folding()) return head_then_tail(html, piece(CURRENCY_HEAD), piece(CURRENCY_TAIL));
            return head_then_tail(page, "itemprop=", piece(CURRENCY_HEAD_AT), piece(CURRENCY_TAIL));
        case Markup::MICRODATA_SKU:
            if (page.folding()) return head_then_tail(html, piece(SKU_HEAD), piece(SKU_TAIL));
            return head_then_tail(page, "itemprop=", piece(SKU_HEAD_AT), piece(SKU_TAIL));
        case Markup::SKU_ELEMENT:
            if (!page.may_contain("sku")) return std::nullopt;
            return sku_element(html, !page.folding());
        case Markup::SKU_ATTRIBUTE:
            // Each start scans only up to the next quote, and the quotes
            // that open those runs are all different: linear as it stands.
            return plain_search(html, piece(SKU_ATTRIBUTE_WHOLE));
        case Markup::IN_STOCK_CLASS:
            if (page.folding()) return plain_search(html, piece(IN_STOCK_WHOLE));
            return class_word(page, "instock", piece(IN_STOCK_AT));
        case Markup::OUT_OF_STOCK_CLASS:
            if (page.folding()) return plain_search(html, piece(OUT_OF_STOCK_WHOLE));
            return class_word(page, "outofstock", piece(OUT_OF_STOCK_AT));
    }
    return std::nullopt;
}

std::optional<MarkupMatch> find_markup(Markup which, std::string_view html) {
    Page page(html);
    return find_markup(which, page);
}

bool lower_contains(std::string_view html, std::string_view needle) {
    // Only two characters lower-case to ASCII: the Kelvin sign (to "k") and
    // the capital I with dot (to "i" and a combining dot, so it can only
    // supply a needle's final "i"). Without them in play the lower-cased
    // page holds the needle exactly where the page holds it in any ASCII
    // letter case.
    bool kelvin = html.find("\xE2\x84\xAA") != sv::npos;
    bool dotted_i = !needle.empty() && needle.back() == 'i' && html.find("\xC4\xB0") != sv::npos;
    if (!kelvin && !dotted_i) return ascii_icase_find(html, needle) != sv::npos;
    // Spell those two as they lower-case; every other character keeps its
    // bytes, which match the needle exactly when their lower case does.
    std::string spelled;
    spelled.reserve(html.size() + html.size() / 8);
    std::size_t done = 0;
    for (std::size_t k = html.find('\xE2'), d = dotted_i ? html.find("\xC4\xB0") : sv::npos;;) {
        if (k != sv::npos && html.compare(k, 3, "\xE2\x84\xAA") != 0) {
            k = html.find('\xE2', k + 1);
            continue;
        }
        std::size_t at = std::min(k, d);
        if (at == sv::npos) break;
        spelled.append(html, done, at - done);
        if (at == k) {
            spelled += 'k';
            done = at + 3;
            k = html.find('\xE2', done);
        } else {
            spelled += "i\xCC\x87";
            done = at + 2;
            d = html.find("\xC4\xB0", done);
        }
    }
    spelled.append(html, done, sv::npos);
    return ascii_icase_find(spelled, needle) != sv::npos;
}

}  // namespace quillmere::metadata
