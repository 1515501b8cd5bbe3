// Extended reading of price texts: every script of digits, the number
// conventions of most shops (thin-space and apostrophe groups, decimal commas,
// three-decimal currencies, "12,-"), ranges, "from" and counts in front of
// the price, and the currency signs and words of about a hundred currencies.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quillmere::price_text {

struct Reading {
    double amount = 0.0;   // finite, non-negative, rounded to the currency's decimals
    std::string currency;  // ISO 4217 code of the sign or word the text names; "" when it names none
};

// The price a text shows, or nullopt when it holds none. `hint` (a sign or a
// code) settles signs that several currencies share ("$", "kr", "Rs", ...).
// Linear in the text.
std::optional<Reading> read(std::string_view text, std::optional<std::string_view> hint = std::nullopt);

// PriceNormalizer.parse's record for the extended reading: `raw` is the
// trimmed text; the currency is the code the text names, else the hint's code
// (or the hint upper-cased and trimmed), else "USD".
struct Normalized {
    std::string raw;
    double amount = 0.0;
    std::string currency;
};
std::optional<Normalized> normalize(std::string_view text, std::optional<std::string_view> hint);

// The ISO code for a currency sign, word or code (any letter case), or "".
std::string currency_code(std::string_view token);

// Whether a text is nothing but one currency sign, word or code.
bool is_currency_token(std::string_view token);

}  // namespace quillmere::price_text
