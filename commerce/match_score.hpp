// The match score of a ranked match, for ranks of any size.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quillmere::metadata {

// An integer of any size, as the host's int is: its value when it fits in 64
// bits, else its sign and the decimal digits of its magnitude.
struct Integer {
    std::int64_t value = 0;
    bool negative = false;
    std::string digits;  // non-empty: the magnitude, too large for `value`

    Integer(std::int64_t v = 0) : value(v) {}  // NOLINT: implicit, as ints are
    // From decimal text with an optional leading "-" (as str(int) writes it).
    static Integer from_decimal(std::string_view text);
    bool fits() const { return digits.empty(); }
    std::string decimal() const;
};

// 98 - 3 * (rank - 1), at least 50; with the brand named in the title, two
// more but at most 99. Ranks below 1 score above 98 without bound.
Integer match_score(const Integer& rank, bool brand_in_title);

}  // namespace quillmere::metadata
