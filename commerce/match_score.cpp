#include "commerce/match_score.hpp"

#include <algorithm>

namespace quillmere::metadata {
namespace {

Integer from_int128(__int128 v) {
    if (v >= INT64_MIN && v <= INT64_MAX) return Integer(static_cast<std::int64_t>(v));
    Integer out;
    out.negative = v < 0;
    unsigned __int128 m = out.negative ? -static_cast<unsigned __int128>(v) : static_cast<unsigned __int128>(v);
    while (m > 0) {
        out.digits.push_back(static_cast<char>('0' + static_cast<int>(m % 10)));
        m /= 10;
    }
    std::reverse(out.digits.begin(), out.digits.end());
    return out;
}

// 3 * m + add, for a magnitude m in decimal digits.
std::string times3_plus(std::string_view m, unsigned add) {
    std::string out;  // least significant digit first
    unsigned carry = add;
    for (std::size_t i = m.size(); i-- > 0;) {
        unsigned d = 3u * static_cast<unsigned>(m[i] - '0') + carry;
        out.push_back(static_cast<char>('0' + d % 10));
        carry = d / 10;
    }
    for (; carry > 0; carry /= 10) out.push_back(static_cast<char>('0' + carry % 10));
    while (out.size() > 1 && out.back() == '0') out.pop_back();
    std::reverse(out.begin(), out.end());
    return out;
}

}  // namespace

Integer Integer::from_decimal(std::string_view text) {
    Integer out;
    out.negative = !text.empty() && text.front() == '-';
    if (out.negative) text.remove_prefix(1);
    while (text.size() > 1 && text.front() == '0') text.remove_prefix(1);
    if (text.size() <= 18) {
        std::int64_t v = 0;
        for (char c : text) v = v * 10 + (c - '0');
        out.value = out.negative ? -v : v;
        out.negative = false;
        return out;
    }
    out.digits = std::string(text);
    return out;
}

std::string Integer::decimal() const {
    if (fits()) return std::to_string(value);
    return (negative ? "-" : "") + digits;
}

Integer match_score(const Integer& rank, bool brand_in_title) {
    constexpr __int128 kFloor = 50, kBrandCap = 99;
    // Beyond 64 bits a positive rank is far past the floor, and a negative
    // one far above the brand cap: only the exact score without the brand
    // needs the digits.
    if (!rank.fits()) {
        if (!rank.negative) return Integer(static_cast<std::int64_t>(brand_in_title ? kFloor + 2 : kFloor));
        if (brand_in_title) return Integer(static_cast<std::int64_t>(kBrandCap));
        Integer out;
        out.digits = times3_plus(rank.digits, 101);  // 98 - 3 * (rank - 1) == 101 + 3 * |rank|
        return out;
    }
    __int128 score = 98 - 3 * (static_cast<__int128>(rank.value) - 1);
    if (score <= kFloor) score = kFloor;
    if (brand_in_title) score = std::min(score + 2, kBrandCap);
    return from_int128(score);
}

}  // namespace quillmere::metadata
