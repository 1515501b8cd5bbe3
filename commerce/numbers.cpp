#include "commerce/numbers.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commerce/text.hpp"

namespace quillmere::numbers {

std::string fixed2(double x) {
    char buf[400];
    std::snprintf(buf, sizeof buf, "%.2f", x);  // glibc rounds the exact binary value, ties to even
    return buf;
}

double round2(double x) {
    if (!std::isfinite(x)) return x;
    if (std::fabs(x) >= 1e17) return x;  // already an integer
    double r = std::strtod(fixed2(x).c_str(), nullptr);
    if (r == 0.0) return std::copysign(0.0, x);
    return r;
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
    std::string_view t = text::strip(s);
    // Map to ASCII: Unicode decimal digits become their ASCII digit; any other
    // non-ASCII character makes the text invalid.
    std::string a;
    a.reserve(t.size());
    for (std::size_t i = 0; i < t.size();) {
        char32_t c = text::next_code_point(t, i);
        if (c < 0x80) {
            a.push_back(static_cast<char>(c));
            continue;
        }
        int d = text::decimal_value(c);
        if (d < 0) return std::nullopt;
        a.push_back(static_cast<char>('0' + d));
    }
    if (a.empty()) return std::nullopt;
    std::size_t i = 0;
    bool neg = false;
    if (a[i] == '+' || a[i] == '-') neg = a[i++] == '-';
    std::string rest = a.substr(i);
    std::string low;
    for (char c : rest) low.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    if (low == "inf" || low == "infinity") return neg ? -HUGE_VAL : HUGE_VAL;
    if (low == "nan") return neg ? -std::nan("") : std::nan("");
    // digits ["." digits] [e [sign] digits], "_" allowed only between digits.
    std::string clean = neg ? "-" : "";
    std::size_t k = 0;
    auto digit_run = [&](bool required) -> bool {
        std::size_t start = k;
        bool last_digit = false;
        while (k < rest.size()) {
            char c = rest[k];
            if (c >= '0' && c <= '9') {
                clean.push_back(c);
                last_digit = true;
            } else if (c == '_') {
                if (!last_digit || k + 1 >= rest.size() || !(rest[k + 1] >= '0' && rest[k + 1] <= '9'))
                    return false;
                last_digit = false;
            } else {
                break;
            }
            ++k;
        }
        return !required || k > start;
    };
    std::size_t before = clean.size();
    if (!digit_run(false)) return std::nullopt;
    bool int_digits = clean.size() > before;
    bool frac_digits = false;
    if (k < rest.size() && rest[k] == '.') {
        clean.push_back('.');
        ++k;
        std::size_t b2 = clean.size();
        if (!digit_run(false)) return std::nullopt;
        frac_digits = clean.size() > b2;
    }
    if (!int_digits && !frac_digits) return std::nullopt;
    if (k < rest.size() && (rest[k] == 'e' || rest[k] == 'E')) {
        clean.push_back('e');
        ++k;
        if (k < rest.size() && (rest[k] == '+' || rest[k] == '-')) clean.push_back(rest[k++]);
        if (!digit_run(true)) return std::nullopt;
    }
    if (k != rest.size()) return std::nullopt;
    return std::strtod(clean.c_str(), nullptr);
}

}  // namespace quillmere::numbers
