// Temporary stand-ins until the real definitions land; removed before merge.
#include "commerce/merchant_classifier.hpp"
#include "commerce/metadata_parser.hpp"
#include "commerce/price_normalizer.hpp"

namespace quillmere {


namespace price {
__attribute__((weak)) std::optional<Price> parse(std::string_view, std::optional<std::string_view>) { return std::nullopt; }
}  // namespace price

namespace merchant {
__attribute__((weak)) MerchantCategory classify(std::string_view, std::string_view, std::optional<std::string_view>,
                                                std::optional<std::string_view>) {
    return MerchantCategory::UNVERIFIED;
}
}  // namespace merchant

namespace metadata {
__attribute__((weak)) Metadata parse_metadata(const Input& in) {
    Metadata m;
    m.title = std::string(in.initial_title);
    m.merchant_name = std::string(in.initial_merchant);
    m.match_score = 98 - 3 * (in.rank - 1);
    if (m.match_score < 50) m.match_score = 50;
    m.fetch_source = "serp_fallback";
    if (in.html && in.html->find("product") != std::string_view::npos) m.page_type = PageType::PRODUCT;
    return m;
}
}  // namespace metadata

}  // namespace quillmere
