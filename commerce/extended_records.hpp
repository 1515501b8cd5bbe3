// The main product of a page, as its structured data describes it: of every
// JSON-LD record and every microdata / RDFa item the one closest to the page
// (its own link, its title, a top-level record with a price over one listed
// under related products), and that product's offer. The field rooms read
// their structured candidates from here.
#pragma once

#include <optional>
#include <string>

#include "commerce/extended_rank.hpp"
#include "commerce/extractors.hpp"
#include "commerce/json.hpp"
#include "commerce/page_scan.hpp"
#include "commerce/urlparse.hpp"

namespace quillmere::extended {

struct Offer {
    std::optional<Amount> price;
    const char* price_rule = "ld.offer";  // which member gave it
    std::optional<StockStatus> stock;
    std::string sku;
};

struct MainProduct {
    const json::Value* record = nullptr;  // JSON-LD
    Offer offer;
    const page_scan::Item* item = nullptr;  // microdata / RDFa (a product, else an offer)
    std::optional<Amount> item_price;
    std::optional<StockStatus> item_stock;
    bool item_is_product = false;
    bool product = false;  // some record or item describes a product
};

MainProduct main_product(const metadata::LdJsonProducts& ld, const metadata::MetaMap& meta,
                         const url::UrlParts& page, const page_scan::Scan& s);

std::string str_of(const json::Value* v);

}  // namespace quillmere::extended
