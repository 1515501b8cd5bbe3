// The shop markup that page analysis searches when structured data is
// missing (theme price, microdata, identifier elements, stock classes), found
// as Python's re would find it, in time linear in the page whatever it holds.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace quillmere::metadata {

enum class Markup {
    SHOP_PRICE,
    MICRODATA_PRICE,
    MICRODATA_CURRENCY,
    MICRODATA_SKU,
    SKU_ELEMENT,
    SKU_ATTRIBUTE,
    IN_STOCK_CLASS,
    OUT_OF_STOCK_CLASS,
};
inline constexpr int kMarkupCount = 8;

// The pattern text (Python syntax, searched case-insensitively).
std::string_view markup_pattern(Markup which);

struct MarkupMatch {
    std::size_t start;       // byte offset of the match
    std::string_view group;  // group 1; empty for the stock-class patterns
};

// One page under search, with what the searches learn about it on the way
// (whether any character folds onto an ASCII letter), shared by the searches
// of one page. The page must outlive it.
class Page {
public:
    explicit Page(std::string_view html) : html_(html) {}
    std::string_view text() const { return html_; }
    // Whether `literal` (ASCII, lower case) can occur in the page, in any
    // letter case the pattern would accept.
    bool may_contain(std::string_view literal);
    // Whether the page holds one of the four non-ASCII letters that ignoring
    // case lets stand for an ASCII one (long s, Kelvin sign, dotted and
    // dotless I); literal screening proves nothing on such a page.
    bool folding();
    // ascii_icase_find on the page. Several searches look for the same
    // literal, each from the start: the last answer of each literal is kept,
    // so a literal the page lacks, or a run of page already searched, is
    // scanned once.
    std::size_t find(std::string_view literal, std::size_t from = 0);
    // lower_contains on the page; a needle that holds a literal the page is
    // known to lack (in any ASCII letter case, with no folding letters about)
    // is absent without a scan.
    bool lower_contains(std::string_view needle);

private:
    struct Asked {
        std::string_view literal;
        std::size_t from, answer;  // the first match at or after `from`: answer
    };
    std::string_view html_;
    int folding_ = -1;  // not looked at yet
    Asked asked_[8];
    int n_asked_ = 0;
};

// The first match, as re.search(pattern, html, re.IGNORECASE) finds it.
std::optional<MarkupMatch> find_markup(Markup which, Page& page);
std::optional<MarkupMatch> find_markup(Markup which, std::string_view html);

// Whether html.lower() contains `needle` (ASCII, lower case), without
// lower-casing the page where that can be avoided.
bool lower_contains(std::string_view html, std::string_view needle);

// Case-insensitive (ASCII letters) search for an ASCII, lower-case needle,
// from byte `from`; npos when absent.
std::size_t ascii_icase_find(std::string_view hay, std::string_view needle, std::size_t from = 0);

}  // namespace quillmere::metadata
