// The opt-in extended page analysis: gathers price, identifier and stock
// candidates from every source a shop page may carry (all JSON-LD records,
// microdata and RDFa items, price meta tags, price and stock elements, the
// link itself) and chooses, per field, the one closest to the page's main
// product. Linear in the page.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "commerce/extractors.hpp"
#include "commerce/records.hpp"

namespace quillmere::extended {

// How close a finding is to the main product: lower is closer.
enum class Source {
    STRUCTURED = 1,  // the main product's JSON-LD record
    ITEM = 2,        // its microdata / RDFa item
    META = 3,        // price and availability meta tags
    MARKUP = 4,      // price and stock elements of the page
    LINK = 5,        // an identifier in the page's own link
};

struct Findings {
    std::optional<double> price;
    std::string currency;  // ISO code, or "" when the source names none
    Source price_source = Source::LINK;
    std::optional<std::string> sku;
    Source sku_source = Source::LINK;
    std::optional<StockStatus> stock;
    Source stock_source = Source::LINK;
    bool product = false;  // some source describes a product on this page
};

Findings analyse(std::string_view html, std::string_view direct_url, const metadata::LdJsonProducts& ld,
                 const metadata::MetaMap& meta);

// An availability text or link ("https://schema.org/InStock", "Out of stock",
// "Auf Lager", ...) to a stock status; nullopt when it says neither.
std::optional<StockStatus> availability_of(std::string_view text);

}  // namespace quillmere::extended
