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

// Compiles the module's price pattern (Python pattern text, matched
// case-insensitively; three groups: token before, number, token after).
// Called once at load, before any parse; throws RegexError on bad text.
void set_pattern(std::string_view python_pattern);

// A parsed price whose `raw` views the trimmed input instead of copying it.
struct PriceView {
    std::string_view raw;
    double amount = 0.0;
    std::string currency;
};
std::optional<PriceView> parse_view(std::string_view raw_price, std::optional<std::string_view> currency_hint);

// What parse does once the pattern has matched: the currency choice and
// lookup, the separator decision, float() and round(x, 2), the record's
// rules. `cleaned` is the trimmed input; an empty group counts as absent.
std::optional<PriceView> from_groups(std::string_view cleaned, std::string_view before, std::string_view number,
                                     std::string_view after, std::optional<std::string_view> currency_hint);

}  // namespace quillmere::price
