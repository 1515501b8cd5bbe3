// Merchant category from the domain and the names around it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "commerce/records.hpp"

namespace quillmere::merchant {

MerchantCategory classify(std::string_view domain, std::string_view title,
                          std::optional<std::string_view> brand, std::optional<std::string_view> merchant_name);
std::string extract_sld(std::string_view domain);
bool is_match(std::string_view alpha_sld, std::string_view text);

}  // namespace quillmere::merchant
