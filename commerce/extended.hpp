// The opt-in extended page analysis: gathers price, identifier and stock
// candidates from every source a shop page may carry (all JSON-LD records,
// microdata and RDFa items, price meta tags, price and stock elements, the
// link itself, visible labels and buttons) and chooses, per field, the one
// closest to the page's main product. Linear in the page.
//
// The rooms: extended_records (the main product of the structured data),
// extended_rank (candidates and their order), extended_price, extended_sku
// and extended_stock (each field's sources).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "commerce/extended_rank.hpp"
#include "commerce/extended_stock.hpp"
#include "commerce/extractors.hpp"
#include "commerce/records.hpp"

namespace quillmere::extended {

struct Findings {
    std::optional<double> price;
    std::string currency;  // ISO code, or "" when the source names none
    Source price_source = Source::LINK;
    std::optional<std::string> sku;
    Source sku_source = Source::LINK;
    std::optional<StockStatus> stock;
    Source stock_source = Source::LINK;
    bool product = false;  // some source describes a product on this page
    // With `every`, each field's candidates, best first.
    std::vector<Candidate> prices, skus, stocks;
};

// `every` gathers every candidate of every source (to trace the choice); the
// answers are the same either way.
Findings analyse(std::string_view html, std::string_view direct_url, const metadata::LdJsonProducts& ld,
                 const metadata::MetaMap& meta, bool every = false);

}  // namespace quillmere::extended
