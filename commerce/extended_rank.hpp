// The shared ground of the extended page analysis: the candidates each field
// gathers, the order that decides between them, and the value readers every
// field uses (structured-data amounts, identifiers as one word, class and id
// words).
//
// How a field decides, in one sentence per principle:
// - a source closer to the main product wins over one farther from it
//   (its JSON-LD record, its microdata item, meta tags, page elements, the
//   link and embedded data, in that order);
// - what the page shows a shopper beats what only its scripts or data say:
//   a code printed after the shop's own label ("SKU:", "Art.-Nr.") wins
//   over a structured identifier the page never prints after a label;
// - among candidates of the same source the first one the page shows wins;
// - every candidate carries the name of the rule that found it, so that a
//   rule can be judged on pages it was not written for.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "commerce/records.hpp"

namespace quillmere::extended {

// How close a finding is to the main product: lower is closer.
enum class Source {
    SHOWN = 0,       // a code the page prints after the shop's own label
    STRUCTURED = 1,  // the main product's JSON-LD record
    ITEM = 2,        // its microdata / RDFa item
    META = 3,        // price and availability meta tags
    MARKUP = 4,      // price, stock and identifier elements of the page
    LINK = 5,        // the link, embedded shop data, visible labels and buttons
};

struct Candidate {
    Source source;
    std::string rule = {};  // which rule found it ("ld.sku", "label", ...)
    std::string text = {};  // an identifier
    double amount = 0;     // a price
    std::string currency = {};  // ISO code of a price, or ""
    StockStatus stock = StockStatus::IN_STOCK;
};

// One field's candidates. Unless every candidate is wanted (a trace), a
// source only looks when no closer source has answered.
class Pool {
public:
    explicit Pool(bool every = false) : every_(every) {}
    bool open(Source s) const;
    void add(Candidate c) { list_.push_back(std::move(c)); }
    // The closest candidate; the first found among equally close ones.
    const Candidate* best() const;
    std::vector<Candidate> ranked() const;  // best first
    bool empty() const { return list_.empty(); }

private:
    bool every_;
    std::vector<Candidate> list_;
};

// ----------------------------------------------------------------- values

struct Amount {
    double value;
    std::string currency;
};

// A machine-written amount ("1234.5", "12"), as structured data writes it.
std::optional<double> machine_number(std::string_view s);
// The code a priceCurrency value names: a known sign or code, or any three
// ASCII letters as an ISO code.
std::string code_of(std::string_view hint);
// A price value of structured data: machine text or shop text.
std::optional<Amount> amount_of(std::string_view text, std::string_view hint);

// An identifier is one word: text with spaces is a name or a label.
bool one_word(std::string_view s);
bool alnum(char c);
bool has_digit(std::string_view s);
// `word` starting a word of class and id names: "old" in "price-old" and
// "old-price", not in "font-bold".
bool word_in(std::string_view names, std::string_view word);
// Whether `token` occurs in the page.
bool page_has(std::string_view html, std::string_view token);

}  // namespace quillmere::extended
