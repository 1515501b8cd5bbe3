#include "commerce/numbers.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <system_error>

#include "commerce/text.hpp"

// Everything here is locale-independent (std::to_chars / std::from_chars):
// the host may have switched LC_NUMERIC, and Python's own formatting and
// parsing never follow it.

namespace quillmere::numbers {
namespace {

// The double nearest to `mantissa` (ASCII digits with at most one '.', at
// least one digit) times ten to `exp10`; the caller applies the sign.
double decimal_to_double(std::string_view mantissa, long exp10) {
    std::string with_exponent;
    std::string_view text = mantissa;
    if (exp10 != 0) {
        with_exponent.assign(mantissa);
        with_exponent += 'e';
        with_exponent += std::to_string(exp10);
        text = with_exponent;
    }
    double v = 0.0;
    auto res = std::from_chars(text.data(), text.data() + text.size(), v, std::chars_format::general);
    if (res.ec != std::errc::result_out_of_range) return v;
    // Beyond the double range: infinity for huge numbers, zero for tiny ones.
    // The decimal magnitude decides (10^(m-1) <= value < 10^m).
    long int_digits = 0, first_nonzero = -1, seen = 0;
    bool after_point = false;
    for (char c : mantissa) {
        if (c == '.') {
            after_point = true;
            continue;
        }
        if (!after_point) ++int_digits;
        if (c != '0' && first_nonzero < 0) first_nonzero = seen;
        ++seen;
    }
    if (first_nonzero < 0) return 0.0;
    long magnitude = int_digits - first_nonzero + exp10;
    return magnitude > 0 ? HUGE_VAL : 0.0;
}

bool is_ascii_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::string fixed2(double x) {
    if (std::isnan(x)) return "nan";
    if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
    char buf[400];  // the largest double has 309 integer digits
    auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed, 2);
    return std::string(buf, res.ptr);
}

double round2(double x) {
    if (!std::isfinite(x)) return x;
    double ax = std::fabs(x);
    if (ax >= 1e17) return x;  // every such double is already an integer
    if (ax < 1e13) {
        // k = x * 100 rounded half-to-even on the exact product, then k / 100
        // (a correctly rounded division gives the double nearest to k/100,
        // which is what reading the two-decimal text back would give).
        // The exact product is y + err: x split in two halves of at most 26
        // bits (Veltkamp), each times 100 exactly, summed with the rounding
        // error kept (TwoSum).
        double t = 134217729.0 * ax;  // 2^27 + 1
        double hi = t - (t - ax);
        double lo = ax - hi;
        double p1 = hi * 100.0, p2 = lo * 100.0;
        double y = p1 + p2;
        double b = y - p1;
        double err = (p1 - (y - b)) + (p2 - b);
        auto k = static_cast<std::uint64_t>(y);  // y < 2^50: floor, exactly
        double frac = y - static_cast<double>(k);  // exact
        if (frac > 0.5 || (frac == 0.5 && (err > 0 || (err == 0 && (k & 1))))) ++k;
        return std::copysign(static_cast<double>(k) / 100.0, x);
    }
    std::string t = fixed2(ax);
    double r = decimal_to_double(t, 0);
    return std::copysign(r, x);
}

std::string repr(double x) {
    if (std::isnan(x)) return "nan";
    if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
    // Shortest round-trip digits, then Python's layout of float.__repr__.
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
    std::string sci(buf, res.ptr);
    // sci is like "-1.2345e+03" or "5e-324"
    bool neg = sci[0] == '-';
    std::string body = neg ? sci.substr(1) : sci;
    std::size_t e = body.find('e');
    std::string mant = body.substr(0, e);
    int exp10 = std::atoi(body.c_str() + e + 1);
    std::string digits;
    for (char c : mant)
        if (c != '.') digits.push_back(c);
    std::string out = neg ? "-" : "";
    int n = static_cast<int>(digits.size());
    if (exp10 >= -4 && exp10 < 16) {
        // fixed notation
        if (exp10 < 0) {
            out += "0.";
            out.append(static_cast<std::size_t>(-exp10 - 1), '0');
            out += digits;
        } else if (exp10 + 1 >= n) {
            out += digits;
            out.append(static_cast<std::size_t>(exp10 + 1 - n), '0');
            out += ".0";
        } else {
            out += digits.substr(0, exp10 + 1);
            out += '.';
            out += digits.substr(exp10 + 1);
        }
        return out;
    }
    out += digits.substr(0, 1);
    if (n > 1) {
        out += '.';
        out += digits.substr(1);
    }
    char eb[16];
    std::snprintf(eb, sizeof eb, "e%c%02d", exp10 < 0 ? '-' : '+', exp10 < 0 ? -exp10 : exp10);
    out += eb;
    return out;
}

std::optional<double> parse_python_float(std::string_view s) {
    // The common case first: a short run of ASCII digits with at most one point.
    if (!s.empty() && s.size() <= 64 && is_digit(s[0])) {
        int points = 0;
        bool plain = true;
        for (char c : s) {
            if (c == '.' ? ++points > 1 : !is_digit(c)) {
                plain = false;
                break;
            }
        }
        double v = 0.0;
        if (plain) {
            auto res = std::from_chars(s.data(), s.data() + s.size(), v, std::chars_format::fixed);
            if (res.ec == std::errc() && res.ptr == s.data() + s.size()) return v;
        }
    }
    // As float(str): non-ASCII white space reads as a space and non-ASCII
    // decimal digits as their ASCII digit; any other non-ASCII character is
    // invalid. Only ASCII white space (not U+001C..U+001F) is then trimmed.
    std::string mapped;
    std::string_view a = s;
    if (!text::is_ascii(s)) {
        mapped.reserve(s.size());
        for (std::size_t i = 0; i < s.size();) {
            char32_t c = text::next_code_point(s, i);
            if (c < 0x7F) {
                mapped.push_back(static_cast<char>(c));
            } else if (text::is_space(c)) {
                mapped.push_back(' ');
            } else {
                int d = text::decimal_value(c);
                if (d < 0) return std::nullopt;
                mapped.push_back(static_cast<char>('0' + d));
            }
        }
        a = mapped;
    }
    std::size_t b = 0, e = a.size();
    while (b < e && is_ascii_space(a[b])) ++b;
    while (e > b && is_ascii_space(a[e - 1])) --e;
    a = a.substr(b, e - b);
    if (a.empty()) return std::nullopt;

    bool neg = false;
    if (a[0] == '+' || a[0] == '-') {
        neg = a[0] == '-';
        a.remove_prefix(1);
    }
    if (a.size() == 3 || a.size() == 8) {
        char low[8];
        for (std::size_t i = 0; i < a.size(); ++i)
            low[i] = static_cast<char>(a[i] >= 'A' && a[i] <= 'Z' ? a[i] + 32 : a[i]);
        std::string_view l(low, a.size());
        if (l == "inf" || l == "infinity") return neg ? -HUGE_VAL : HUGE_VAL;
        if (l == "nan") return std::nan("");
    }

    // digits ["." digits] [("e"|"E") [sign] digits]; "_" only between two digits.
    std::string mantissa;
    mantissa.reserve(a.size());
    std::size_t k = 0;
    auto digit_run = [&](std::string& out) -> std::size_t {
        std::size_t count = 0;
        while (k < a.size()) {
            char c = a[k];
            if (is_digit(c)) {
                out.push_back(c);
                ++count;
            } else if (c == '_') {
                if (k == 0 || !is_digit(a[k - 1]) || k + 1 >= a.size() || !is_digit(a[k + 1])) return SIZE_MAX;
            } else {
                break;
            }
            ++k;
        }
        return count;
    };
    std::size_t int_digits = digit_run(mantissa);
    if (int_digits == SIZE_MAX) return std::nullopt;
    std::size_t frac_digits = 0;
    if (k < a.size() && a[k] == '.') {
        mantissa.push_back('.');
        ++k;
        frac_digits = digit_run(mantissa);
        if (frac_digits == SIZE_MAX) return std::nullopt;
    }
    if (int_digits == 0 && frac_digits == 0) return std::nullopt;
    long exp10 = 0;
    if (k < a.size() && (a[k] == 'e' || a[k] == 'E')) {
        ++k;
        bool eneg = false;
        if (k < a.size() && (a[k] == '+' || a[k] == '-')) eneg = a[k++] == '-';
        std::string exp_digits;
        std::size_t n = digit_run(exp_digits);
        if (n == SIZE_MAX || n == 0) return std::nullopt;
        // Saturate: beyond the mantissa's own length plus the double range,
        // only the exponent's sign matters.
        const long limit = static_cast<long>(mantissa.size()) + 1000;
        for (char c : exp_digits) {
            exp10 = exp10 * 10 + (c - '0');
            if (exp10 > limit) exp10 = limit;
        }
        if (eneg) exp10 = -exp10;
    }
    if (k != a.size()) return std::nullopt;
    if (frac_digits == 0 && !mantissa.empty() && mantissa.back() == '.') mantissa.pop_back();
    if (int_digits == 0) mantissa.insert(mantissa.begin(), '0');
    double v = decimal_to_double(mantissa, exp10);
    return neg ? -v : v;
}

}  // namespace quillmere::numbers
