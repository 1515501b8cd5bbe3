// Free-form price texts to prices (English and continental conventions).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "commerce/records.hpp"

namespace quillmere::price {

// The currency-token pattern (Python syntax, no capturing group): every key
// of the currency table, the signs longest first so that "US$" wins over "$"
// and "CN¥" over "¥", the codes only as whole words (the "usd" in "usda" is
// no currency).
const std::string& currency_token_pattern();

// The price pattern, "(?:(T)\s*)?([0-9]+(?:[,\.\s][0-9]+)*)(?:\s*(T))?" with
// T the token pattern, searched ignoring case. Groups: token before, number,
// token after.
const std::string& price_pattern();

// PriceNormalizer.parse(raw_price, currency_hint) with the price pattern.
// nullopt where the host answers None. The amount of a returned price is
// finite and non-negative.
std::optional<Price> parse(std::string_view raw_price, std::optional<std::string_view> currency_hint);

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
