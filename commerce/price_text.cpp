#include "commerce/price_text.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "commerce/numbers.hpp"
#include "commerce/text.hpp"

namespace quillmere::price_text {
namespace {

using sv = std::string_view;

// Signs and words, lower case, with their codes. Where a sign is shared the
// most common owner is listed; a hint of another owner overrides it.
struct Sign {
    sv token;
    sv code;
    bool shared;  // several currencies write it
};
constexpr Sign kSigns[] = {
    {"us$", "USD", false}, {"u$s", "USD", false}, {"usd", "USD", false}, {"$", "USD", true},
    {"ca$", "CAD", false}, {"c$", "CAD", false}, {"cad", "CAD", false}, {"a$", "AUD", false},
    {"au$", "AUD", false}, {"aud", "AUD", false}, {"nz$", "NZD", false}, {"s$", "SGD", false},
    {"hk$", "HKD", false}, {"nt$", "TWD", false}, {"mx$", "MXN", false}, {"r$", "BRL", false},
    {"\u20AC", "EUR", false}, {"eur", "EUR", false}, {"euro", "EUR", false}, {"euros", "EUR", false},
    {"\u00A3", "GBP", false}, {"gbp", "GBP", false}, {"\u00A5", "JPY", true}, {"\uFFE5", "JPY", true},
    {"jpy", "JPY", false}, {"\u5186", "JPY", false}, {"cn\u00A5", "CNY", false}, {"cny", "CNY", false},
    {"rmb", "CNY", false}, {"\u5143", "CNY", false}, {"\u20B9", "INR", false}, {"inr", "INR", false},
    {"rs.", "INR", true}, {"rs", "INR", true}, {"\u20A8", "INR", true}, {"pkr", "PKR", false},
    {"chf", "CHF", false}, {"fr.", "CHF", true}, {"sfr.", "CHF", false}, {"z\u0142", "PLN", false},
    {"pln", "PLN", false}, {"lei", "RON", false}, {"ron", "RON", false}, {"\u20BD", "RUB", false},
    {"rub", "RUB", false}, {"\u0440\u0443\u0431.", "RUB", false}, {"\u0440\u0443\u0431", "RUB", false},
    {"\u0440.", "RUB", false}, {"kr.", "DKK", true}, {"kr", "SEK", true}, {"sek", "SEK", false},
    {"nok", "NOK", false}, {"dkk", "DKK", false}, {"isk", "ISK", false}, {"k\u010D", "CZK", false},
    {"czk", "CZK", false}, {"ft", "HUF", false}, {"huf", "HUF", false}, {"kn", "HRK", false},
    {"hrk", "HRK", false}, {"\u043B\u0432.", "BGN", false}, {"\u043B\u0432", "BGN", false},
    {"bgn", "BGN", false}, {"\u20B4", "UAH", false}, {"\u0433\u0440\u043D.", "UAH", false},
    {"\u0433\u0440\u043D", "UAH", false}, {"uah", "UAH", false}, {"\u20BA", "TRY", false}, {"tl", "TRY", false},
    {"\u20A9", "KRW", false}, {"\uC6D0", "KRW", false}, {"krw", "KRW", false}, {"\u20AA", "ILS", false},
    {"nis", "ILS", false}, {"ils", "ILS", false}, {"\u20AB", "VND", false}, {"vnd", "VND", false},
    {"\u0E3F", "THB", false}, {"thb", "THB", false}, {"\u20B1", "PHP", false}, {"rm", "MYR", false},
    {"myr", "MYR", false}, {"rp", "IDR", false}, {"idr", "IDR", false}, {"\u0631.\u0633", "SAR", false},
    {"\u0631.\u0633.", "SAR", false}, {"sar", "SAR", false}, {"\u062F.\u0625", "AED", false},
    {"\u062F.\u0625.", "AED", false}, {"aed", "AED", false}, {"\u062C.\u0645", "EGP", false},
    {"e\u00A3", "EGP", false}, {"egp", "EGP", false}, {"\u20A6", "NGN", false}, {"ksh", "KES", false},
    {"\u20B8", "KZT", false}, {"\u20BE", "GEL", false}, {"\u0434\u0438\u043D.", "RSD", false},
    {"din.", "RSD", false}, {"rsd", "RSD", false}, {"br", "BYN", false}, {"byn", "BYN", false},
    {"s/.", "PEN", false}, {"s/", "PEN", false}, {"kd", "KWD", false}, {"kwd", "KWD", false},
    {"bd", "BHD", false}, {"bhd", "BHD", false}, {"omr", "OMR", false}, {"jod", "JOD", false},
    {"zar", "ZAR", false}, {"ars", "ARS", false}, {"clp", "CLP", false}, {"cop", "COP", false},
    {"mxn", "MXN", false}, {"brl", "BRL", false},
};

// ISO codes that count only when written in capitals (many are also words).
constexpr sv kCapitalCodes[] = {
    "NZD", "SGD", "HKD", "TWD", "ZAR", "TRY", "PHP", "THB", "EGP", "NGN", "KES", "KZT", "GEL", "AMD",
    "AZN", "MDL", "ALL", "MKD", "BAM", "RSD", "ISK", "PEN", "UYU", "PYG", "BOB", "VES", "CRC", "GTQ",
    "DOP", "HNL", "NIO", "PAB", "CUP", "JMD", "TTD", "QAR", "KWD", "BHD", "OMR", "JOD", "LBP", "IQD",
    "IRR", "MAD", "TND", "DZD", "LYD", "GHS", "TZS", "UGX", "ETB", "XOF", "XAF", "LKR", "BDT", "NPR",
    "MMK", "KHR", "LAK", "MNT", "UZS", "MOP"};

// Currencies written with three decimals.
constexpr sv kThreeDecimals[] = {"KWD", "BHD", "OMR", "JOD", "TND", "LYD", "IQD"};
// Currencies written without decimals, so "1.299" is always 1299.
constexpr sv kNoDecimals[] = {"JPY", "KRW", "VND", "IDR", "CLP", "HUF", "ISK", "PYG", "UGX"};

template <std::size_t N>
bool listed(const sv (&table)[N], sv code) {
    return std::find(std::begin(table), std::end(table), code) != std::end(table);
}

// Simple lower case of the letters the signs are spelled with.
char32_t fold(char32_t c) {
    if (c >= 'A' && c <= 'Z') return c + 32;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 32;
    if (c >= 0x410 && c <= 0x42F) return c + 32;
    // Latin Extended-A pairs capitals with the next code point: even ones
    // up to U+0137 and from U+014A, odd ones in between and from U+0179.
    if (((c >= 0x100 && c <= 0x137 && c != 0x130) || (c >= 0x14A && c <= 0x177)) && !(c & 1)) return c + 1;
    if (((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) && (c & 1)) return c + 1;
    return c;
}
bool is_letter(char32_t c) {
    return (c < 0x80 && ((c | 32) >= 'a' && (c | 32) <= 'z')) || (c >= 0x80 && text::is_cased(c));
}
bool is_digit(char32_t c) { return c >= '0' && c <= '9'; }

struct SignTable {
    std::vector<std::pair<std::u32string, const Sign*>> entries;  // longest first
    std::array<bool, 128> ascii_first{};  // an ASCII character that begins a sign
};
const SignTable& signs() {
    static const SignTable table = [] {
        SignTable t;
        for (const Sign& s : kSigns) {
            t.entries.emplace_back(text::to_u32(s.token), &s);
            if (static_cast<unsigned char>(s.token[0]) < 0x80) t.ascii_first[s.token[0]] = true;
        }
        std::stable_sort(t.entries.begin(), t.entries.end(),
                         [](const auto& a, const auto& b) { return a.first.size() > b.first.size(); });
        return t;
    }();
    return table;
}

struct Token {
    std::size_t start, end;
    std::string code;
    bool shared;
};

// The currency token at s[i], if one starts there.
std::optional<Token> token_at(const std::u32string& s, std::size_t i) {
    if (i > 0 && is_letter(s[i - 1]) && is_letter(s[i])) return std::nullopt;  // inside a word
    if (s[i] < 0x80 && !signs().ascii_first[fold(s[i])] && !(s[i] >= 'A' && s[i] <= 'Z')) return std::nullopt;
    for (const auto& [tok, sign] : signs().entries) {
        if (i + tok.size() > s.size()) continue;
        bool same = true;
        for (std::size_t k = 0; k < tok.size() && same; ++k) same = fold(s[i + k]) == tok[k];
        if (!same) continue;
        std::size_t e = i + tok.size();
        // A word-like sign must end its word: "kr" is no sign in "krone".
        if (is_letter(tok.back()) && e < s.size() && is_letter(s[e])) continue;
        return Token{i, e, std::string(sign->code), sign->shared};
    }
    if (i + 3 <= s.size()) {
        bool caps = true;
        for (std::size_t k = 0; k < 3; ++k) caps = caps && s[i + k] >= 'A' && s[i + k] <= 'Z';
        if (caps && (i + 3 == s.size() || !is_letter(s[i + 3]))) {
            std::string code{char(s[i]), char(s[i + 1]), char(s[i + 2])};
            if (listed(kCapitalCodes, code)) return Token{i, i + 3, code, false};
        }
    }
    return std::nullopt;
}

bool group_separator(char32_t c) {
    return c == ' ' || c == 0xA0 || c == 0x2009 || c == 0x202F || c == 0x2007 || c == 0x2008 || c == '\'' ||
           c == 0x2019 || c == 0x02BC || c == 0x2032 || c == 0x066C;
}
bool point_or_comma(char32_t c) { return c == '.' || c == ',' || c == 0x066B; }

struct Number {
    std::size_t start, end;
    std::vector<std::pair<char32_t, std::string>> groups;  // (separator before, digits); first separator 0
    bool leading_separator = false;
    std::size_t spaced_cents = 0;  // "12. 50": where the separator before the cents stands
};

bool is_space_like(char32_t c) { return c == ' ' || c == 0xA0 || c == 0x2009 || c == 0x202F || c == '\t'; }

// Where two digits of cents start after s[i]: up to two spaces, a point or
// comma, up to two spaces, with a space somewhere; 0 when that is not there.
std::size_t spaced_cents_at(const std::u32string& s, std::size_t i);

// Whether two digits of cents at s[i - 2] end there: the text ends, or no
// digit and no further number part follows.
bool cents_end(const std::u32string& s, std::size_t i) {
    if (i >= s.size()) return true;
    if (is_digit(s[i]) || s[i] == '%' || is_letter(s[i])) return false;
    return !(point_or_comma(s[i]) && i + 1 < s.size() && is_digit(s[i + 1]));
}

// The number starting at s[i] (a digit, or "." / "," before a digit that
// follows no digit); `end` is where it stops.
Number scan_number(const std::u32string& s, std::size_t i) {
    Number n;
    n.start = i;
    char32_t sep = 0;
    if (point_or_comma(s[i])) {
        n.leading_separator = true;
        sep = s[i] == 0x066B ? '.' : s[i];
        ++i;
    }
    for (;;) {
        std::string digits;
        while (i < s.size() && is_digit(s[i])) digits.push_back(char(s[i++]));
        n.groups.emplace_back(sep, std::move(digits));
        n.end = i;
        // "12. 50", "1.234, 56 €", "12 ,50 €": cents after a point or comma
        // and a space or two (before or after it), read only where exactly two
        // digits stand there, ending the number.
        if (std::size_t c = spaced_cents_at(s, i); c && !n.groups.back().second.empty()) {
            std::size_t sep_at = i;
            while (!point_or_comma(s[sep_at])) ++sep_at;
            n.groups.emplace_back(s[sep_at] == 0x066B ? '.' : s[sep_at], std::string{char(s[c]), char(s[c + 1])});
            n.end = c + 2;
            n.spaced_cents = i;
            break;
        }
        if (i + 1 >= s.size() || !is_digit(s[i + 1])) break;
        char32_t c = s[i];
        if (point_or_comma(c)) {
            sep = c == 0x066B ? '.' : c;
        } else if (group_separator(c)) {
            // A group after a space or an apostrophe has exactly three digits.
            std::size_t k = i + 1;
            while (k < s.size() && is_digit(s[k])) ++k;
            if (k - (i + 1) != 3) break;
            sep = '_';
        } else {
            break;
        }
        ++i;
    }
    // "12,-" and "12.--": whole units.
    if (n.end + 1 < s.size() && point_or_comma(s[n.end]) &&
        (s[n.end + 1] == '-' || s[n.end + 1] == 0x2013 || s[n.end + 1] == 0x2014)) {
        n.end += 2;
        while (n.end < s.size() && (s[n.end] == '-' || s[n.end] == 0x2013)) ++n.end;
    }
    return n;
}

// The decimal text of a number, the separators decided.
std::optional<std::string> decide(const Number& n, sv code) {
    std::string out;
    const auto& g = n.groups;
    if (n.leading_separator) {
        if (g.size() != 1) return std::nullopt;
        return "0." + g[0].second;
    }
    // The last point or comma, and how often its kind occurs.
    int last = -1, points = 0, commas = 0;
    for (std::size_t k = 1; k < g.size(); ++k) {
        if (g[k].first == '.') ++points, last = int(k);
        if (g[k].first == ',') ++commas, last = int(k);
    }
    int decimal = -1;
    if (n.spaced_cents != 0) {
        decimal = int(g.size()) - 1;
        for (std::size_t k = 1; k + 1 < g.size(); ++k)
            if (g[k].second.size() != 3 || g[k].first == g.back().first) return std::nullopt;
    } else if (last > 0) {
        char32_t kind = g[last].first;
        int same = kind == '.' ? points : commas;
        std::size_t tail = g[last].second.size();
        if (points && commas) {
            decimal = same == 1 ? last : -1;
        } else if (same == 1) {
            bool three_ok = listed(kThreeDecimals, code) || g[0].second == "0";
            if (tail != 3 || three_ok) decimal = last;
            if (tail == 3 && listed(kNoDecimals, code)) decimal = -1;
        } else {
            // Repeated: thousands, unless the last group cannot be one.
            if (tail != 3) decimal = last;
        }
        // Thousands groups hold three digits.
        for (std::size_t k = 1; k < g.size(); ++k)
            if (int(k) != decimal && g[k].second.size() != 3) return std::nullopt;
    }
    for (std::size_t k = 0; k < g.size(); ++k) {
        if (int(k) == decimal) out.push_back('.');
        out += g[k].second;
    }
    return out;
}

double round_to(double v, sv code) {
    if (listed(kThreeDecimals, code)) return std::round(v * 1000.0) / 1000.0;
    return numbers::round2(v);
}

// Words after a number that make it a count or a measure, not a price.
constexpr sv kCountWords[] = {
    "x", "\u00D7", "pcs", "pc", "pieces", "piece", "items", "item", "st", "stk", "st\u00FCck", "\u0161t",
    "\u0448\u0442", "\u4EF6", "\u4E2A", "units", "unit", "pack", "packs", "ct", "count", "%", "ml", "l", "g",
    "kg", "gb", "tb", "mb", "cm", "mm", "m", "oz", "lb"};
constexpr sv kCountLead[] = {"pack of", "set of", "qty", "qty:", "quantity", "pack", "lot of",
                                           "box of", "case of"};
// Words that say "no charge".
constexpr sv kFreeWords[] = {"free", "gratis", "kostenlos", "gratuit", "gratuito", "darmowa",
                                          "\u0431\u0435\u0441\u043F\u043B\u0430\u0442\u043D\u043E", "zdarma"};

std::u32string lower32(const std::u32string& s, std::size_t a, std::size_t b) {
    std::u32string out;
    for (std::size_t k = a; k < b; ++k) out.push_back(fold(s[k]));
    return out;
}

bool word_after(const std::u32string& s, std::size_t e, const std::u32string& w) {
    std::size_t i = e;
    while (i < s.size() && is_space_like(s[i])) ++i;
    if (i + w.size() > s.size()) return false;
    for (std::size_t k = 0; k < w.size(); ++k)
        if (fold(s[i + k]) != w[k]) return false;
    std::size_t j = i + w.size();
    return !is_letter(w.back()) || j == s.size() || !is_letter(s[j]);
}

bool is_count(const std::u32string& s, const Number& n) {
    for (sv w : kCountWords)
        if (word_after(s, n.end, text::to_u32(w))) {
            // "2 x 12,99" and "3 pcs" are counts; "12 $" is not.
            return true;
        }
    // "pack of 3", "qty 2", "x2"
    std::size_t i = n.start;
    while (i > 0 && is_space_like(s[i - 1])) --i;
    for (sv w : kCountLead) {
        std::u32string lw = text::to_u32(w);
        if (i >= lw.size() && lower32(s, i - lw.size(), i) == lw &&
            (i == lw.size() || !is_letter(s[i - lw.size() - 1])))
            return true;
    }
    return false;
}

std::size_t spaced_cents_at(const std::u32string& s, std::size_t i) {
    std::size_t j = i, spaces = 0;
    while (j < s.size() && j - i < 2 && is_space_like(s[j])) ++j, ++spaces;
    if (j >= s.size() || !point_or_comma(s[j])) return 0;
    std::size_t k = j + 1;
    while (k < s.size() && k - (j + 1) < 2 && is_space_like(s[k])) ++k, ++spaces;
    if (spaces == 0 || k + 1 >= s.size() || !is_digit(s[k]) || !is_digit(s[k + 1]) || !cents_end(s, k + 2)) return 0;
    return k;
}

// Whether a number read with spaced cents has a currency sign right before
// it or right after the cents, or is the whole text.
bool spaced_cents_signed(const std::u32string& s, const Number& n) {
    std::size_t a = n.start, b = n.end;
    while (a > 0 && is_space_like(s[a - 1])) --a;
    while (b < s.size() && is_space_like(s[b])) ++b;
    if (a == 0 && b == s.size()) return true;
    if (b < s.size() && token_at(s, b)) return true;
    for (std::size_t k = a; k-- > 0 && a - k <= 4;)
        if (auto t = token_at(s, k); t && t->end == a) return true;
    return false;
}

// Whether a currency sign or word follows s[i] after white space.
bool sign_after(const std::u32string& s, std::size_t i) {
    while (i < s.size() && is_space_like(s[i])) ++i;
    return i < s.size() && token_at(s, i).has_value();
}

}  // namespace

std::string currency_code(std::string_view token) {
    std::u32string t = text::to_u32(text::strip(token));
    if (t.empty()) return {};
    if (auto tok = token_at(t, 0); tok && tok->end == t.size()) return tok->code;
    if (t.size() == 3) {
        std::string up;
        for (char32_t c : t) up.push_back(c < 0x80 ? char(fold(c) - 32 * (fold(c) >= 'a' && fold(c) <= 'z')) : '?');
        if (listed(kCapitalCodes, up)) return up;
    }
    return {};
}

bool is_currency_token(std::string_view token) { return !currency_code(token).empty(); }

std::optional<Normalized> normalize(std::string_view text, std::optional<std::string_view> hint) {
    std::string_view cleaned = text::strip(text);
    if (cleaned.empty()) return std::nullopt;
    auto r = read(cleaned, hint);
    if (!r) return std::nullopt;
    std::string code = r->currency;
    if (code.empty() && hint && !hint->empty()) {
        code = currency_code(*hint);
        if (code.empty()) code = text::upper(text::strip(*hint));
    }
    if (code.empty()) code = "USD";
    return Normalized{std::string(cleaned), r->amount, std::move(code)};
}

std::optional<Reading> read(std::string_view raw, std::optional<std::string_view> hint) {
    std::u32string s;
    s.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size();) {
        char32_t c = text::next_code_point(raw, i);
        int d = text::decimal_value(c);
        s.push_back(d >= 0 ? char32_t('0' + d) : c);
    }

    std::vector<Token> tokens;
    std::vector<Number> numbers;
    for (std::size_t i = 0; i < s.size();) {
        if (is_digit(s[i]) || (point_or_comma(s[i]) && i + 1 < s.size() && is_digit(s[i + 1]) &&
                               (i == 0 || !is_digit(s[i - 1])))) {
            Number n = scan_number(s, i);
            // "12€50": the sign stands where the decimal separator would.
            std::optional<Token> t = n.end < s.size() ? token_at(s, n.end) : std::nullopt;
            if (t && !n.leading_separator && n.groups.size() == 1 && t->end + 2 <= s.size() &&
                is_digit(s[t->end]) && is_digit(s[t->end + 1]) && (t->end + 2 == s.size() || !is_digit(s[t->end + 2])) &&
                !is_letter(s[t->end - 1])) {
                n.groups.emplace_back('.', std::string{char(s[t->end]), char(s[t->end + 1])});
                tokens.push_back(*t);
                n.end = t->end + 2;
            } else if (std::size_t at = n.end + (n.end < s.size() && is_space_like(s[n.end]) ? 1 : 0);
                       !t && at < s.size()) {
                t = token_at(s, at);  // "12 € 50": a space before the sign
            }
            if (t && n.groups.size() == 1 && !n.leading_separator && t->end + 3 <= s.size() &&
                is_space_like(s[t->end]) && is_digit(s[t->end + 1]) && is_digit(s[t->end + 2]) &&
                !is_letter(s[t->end - 1]) && cents_end(s, t->end + 3) && !sign_after(s, t->end + 3)) {
                // "9€ 99", "12 € 50": the same with a space before the cents,
                // when nothing after them names a currency (another price would).
                n.groups.emplace_back('.', std::string{char(s[t->end + 1]), char(s[t->end + 2])});
                tokens.push_back(*t);
                n.end = t->end + 3;
            }
            if (n.spaced_cents != 0 && !spaced_cents_signed(s, n)) {
                // "Sizes 12, 50": without a sign beside it or the whole text
                // to itself, the gap may part two numbers.
                n.groups.pop_back();
                n.end = n.spaced_cents;
                n.spaced_cents = 0;
            }
            i = n.end;
            numbers.push_back(std::move(n));
            continue;
        }
        if (auto t = token_at(s, i)) {
            tokens.push_back(*t);
            i = t->end;
            continue;
        }
        ++i;
    }

    std::string hint_code = hint ? currency_code(*hint) : std::string();
    auto resolve = [&](const Token& t) {
        if (t.shared && !hint_code.empty() && hint_code != t.code) {
            // A hint names which of the currencies sharing the sign is meant.
            static constexpr std::array<std::pair<sv, sv>, 5> kinship = {{
                {"USD", "CAD AUD NZD SGD HKD TWD MXN ARS CLP COP UYU BRL"}, {"JPY", "CNY"},
                {"INR", "PKR LKR NPR"}, {"SEK", "NOK DKK ISK"}, {"DKK", "SEK NOK ISK"}}};
            for (auto [owner, others] : kinship)
                if (owner == t.code && text::contains(others, hint_code)) return hint_code;
        }
        return t.code;
    };

    // Adjacent: only white space between the token and the number.
    // Only the tokens right before and right after a number can touch it
    // (tokens are in text order), so each number costs a binary search.
    auto adjacent = [&](const Number& n) -> const Token* {
        auto touches = [&](const Token& t) {
            std::size_t a, b;
            if (t.end <= n.start) a = t.end, b = n.start;
            else if (t.start >= n.end) a = n.end, b = t.start;
            else return true;  // the "12€50" sign
            bool blank = b - a <= 3;
            for (std::size_t k = a; k < b && blank; ++k) blank = is_space_like(s[k]);
            return blank;
        };
        auto it = std::lower_bound(tokens.begin(), tokens.end(), n.start,
                                   [](const Token& t, std::size_t pos) { return t.start < pos; });
        if (it != tokens.begin() && touches(*(it - 1))) return &*(it - 1);
        if (it != tokens.end() && touches(*it)) return &*it;
        return nullptr;
    };

    const Number* chosen = nullptr;
    const Token* chosen_token = nullptr;
    for (const Number& n : numbers) {
        if (is_count(s, n)) continue;
        if (const Token* t = adjacent(n)) {
            chosen = &n;
            chosen_token = t;
            break;
        }
    }
    if (!chosen)
        for (const Number& n : numbers)
            if (!is_count(s, n)) {
                chosen = &n;
                break;
            }
    if (!chosen && !numbers.empty()) chosen = &numbers.front();  // "2 x" alone is still a number

    std::string code;
    if (chosen_token) code = resolve(*chosen_token);
    else if (!tokens.empty()) code = resolve(tokens.front());
    else code = hint_code;

    if (!chosen) {
        std::u32string low = lower32(s, 0, s.size());
        for (sv w : kFreeWords) {
            std::u32string lw = text::to_u32(w);
            for (std::size_t p = low.find(lw); p != std::u32string::npos; p = low.find(lw, p + 1))
                if ((p == 0 || !is_letter(low[p - 1])) &&
                    (p + lw.size() == low.size() || !is_letter(low[p + lw.size()])))
                    return Reading{0.0, code};
        }
        return std::nullopt;
    }
    auto digits = decide(*chosen, code);
    if (!digits) {
        // Groups that fit no convention: read the leading run alone.
        digits = chosen->groups.front().second;
        if (digits->empty()) return std::nullopt;
    }
    double v = std::strtod(digits->c_str(), nullptr);
    if (!std::isfinite(v) || v < 0) return std::nullopt;
    return Reading{round_to(v, code), code};
}

}  // namespace quillmere::price_text
