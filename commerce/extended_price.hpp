// Prices for the extended page analysis: the main product's offer, its
// microdata item, price meta tags, and the price elements of the page (struck,
// old, list and per-unit prices left out).
#pragma once

#include "commerce/extended_records.hpp"
#include "commerce/extractors.hpp"
#include "commerce/page_scan.hpp"

namespace quillmere::extended {

void gather_prices(const MainProduct& main, const metadata::MetaMap& meta, const page_scan::Scan& s, Pool& price);

}  // namespace quillmere::extended
