// The labels shops print before a product's code ("SKU:", "Item #",
// "Product code", "Art.-Nr.", "Réf.", "Артикул", "品番", ...) in the languages
// shops write in, and the code that follows one. Labels naming the shop's own
// code rank before those naming the maker's (model, part number) and before
// bar codes (EAN, GTIN).
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace quillmere::code_labels {

enum Rank { SHOP = 0, MAKER = 1, BARCODE = 2 };

struct Hit {
    std::string_view label;  // as listed (lower case)
    Rank rank;
    std::size_t end;  // offset in the text just past the label and its ":", "#", "." or "-"
};

// A label in a short text. With `anywhere`, it may stand after other words
// (texts that hold a ":" or "#"); otherwise the text must begin with it. A
// label is a whole word: "ref" is not read in "refund".
std::optional<Hit> find(std::string_view text, bool anywhere);

// The code at the start of `rest`: one word holding a digit, 2 to 40 bytes,
// trailing punctuation left out; empty when there is none.
std::string_view code_at(std::string_view rest);

}  // namespace quillmere::code_labels
