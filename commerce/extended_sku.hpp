// Product identifiers for the extended page analysis: the main product's
// record and item, elements named for the SKU, data-sku attributes, a product
// number in the page's own link, the "sku" of embedded shop data and codes
// the page prints after an identifier label.
#pragma once

#include <string_view>

#include "commerce/extended_records.hpp"
#include "commerce/page_scan.hpp"
#include "commerce/urlparse.hpp"

namespace quillmere::extended {

void gather_skus(const MainProduct& main, const page_scan::Scan& s, std::string_view html, const url::UrlParts& link,
                 Pool& sku);

}  // namespace quillmere::extended
