// The labels shops print before the price a shopper pays ("Price:", "Preis:",
// "Prix", "Cena:", "Цена", "售價：", "価格", "가격", ...) in the languages shops
// write in. Only labels of the selling price are listed: "List price",
// "UVP", "原價" and the like name a price nobody pays and are left out, and
// a label must begin its text, so "List price:" never reads as "price:".
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace quillmere::price_labels {

struct Hit {
    std::string_view label;  // as listed (lower case)
    std::size_t end;         // offset just past the label and its ":" and spaces
};

// A price label beginning a short text, as a whole word ("Price:" but not
// "Prices", "Price per kg" or "Price range"): what follows it is empty (the
// price is in the next text), a currency sign or a number.
std::optional<Hit> find(std::string_view text);

// Whether a class attribute names a price that is not the one to pay: a
// struck price ("strike", "crossed", "rrp", "uvp"), or an old, was or list
// price in one class name ("old-price", "price--was", "listPrice"; not
// "feature-list u-price").
bool names_old_price(std::string_view classes);

}  // namespace quillmere::price_labels
