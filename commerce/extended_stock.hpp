// Availability for the extended page analysis: the words shops write for a
// product in or out of stock, and the page elements that show it.
#pragma once

#include <optional>
#include <string_view>

#include "commerce/extended_rank.hpp"
#include "commerce/extractors.hpp"
#include "commerce/page_scan.hpp"
#include "commerce/records.hpp"

namespace quillmere::extended {

// An availability text or link ("https://schema.org/InStock", "Out of stock",
// "Auf Lager", ...) to a stock status; nullopt when it says neither.
std::optional<StockStatus> availability_of(std::string_view text);

// The main product's record and item (as availability_of read them), the
// availability meta tags, the stock elements of the page (class or id naming
// the stock), then what its buy buttons and visible messages say.
void gather_stock(std::optional<StockStatus> record, std::optional<StockStatus> item,
                  const metadata::MetaMap& meta, const page_scan::Scan& s, Pool& stock);

}  // namespace quillmere::extended
