// Temporary stand-in until the real definition lands; removed before merge.
#include "commerce/metadata_parser.hpp"

namespace quillmere::metadata {
__attribute__((weak)) Metadata parse_metadata(const Input& in) {
    Metadata m;
    m.title = std::string(in.initial_title);
    m.merchant_name = std::string(in.initial_merchant);
    m.match_score = 98 - 3 * (in.rank - 1);
    if (m.match_score < 50) m.match_score = 50;
    m.fetch_source = "serp_fallback";
    if (in.initial_price) {
        m.page_type = PageType::PRODUCT;
        m.price = Price{"", in.initial_price->amount, in.initial_price->currency};
    }
    return m;
}
}  // namespace quillmere::metadata
