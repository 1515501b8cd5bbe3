// Free-form price texts to prices (English and continental conventions).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "commerce/records.hpp"

namespace quillmere::price {

// PriceNormalizer.parse(raw_price, currency_hint) with the module's price
// pattern. nullopt where the host answers None. The amount of a returned
// price is finite and non-negative.
std::optional<Price> parse(std::string_view raw_price, std::optional<std::string_view> currency_hint);

}  // namespace quillmere::price
