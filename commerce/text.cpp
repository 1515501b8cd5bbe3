#include "commerce/text.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>

namespace quillmere::text {
namespace {

struct CaseMap {
    std::uint32_t cp;
    std::uint32_t to[3];
    std::uint8_t n;
};
struct CpRange {
    std::uint32_t first, last;
};
struct DecimalRange {
    std::uint32_t first, last, zero;
};

#include "unicode_tables.inc"

template <std::size_t N>
bool in_ranges(const CpRange (&table)[N], char32_t cp) {
    auto it = std::upper_bound(std::begin(table), std::end(table), cp,
                               [](char32_t c, const CpRange& r) { return c < r.first; });
    return it != std::begin(table) && cp <= std::prev(it)->last;
}

template <std::size_t N>
const CaseMap* find_map(const CaseMap (&table)[N], char32_t cp) {
    auto it = std::lower_bound(std::begin(table), std::end(table), cp,
                               [](const CaseMap& m, char32_t c) { return m.cp < c; });
    return (it != std::end(table) && it->cp == cp) ? &*it : nullptr;
}

template <std::size_t N>
void append_mapped(std::string& out, const CaseMap (&table)[N], char32_t cp) {
    if (const CaseMap* m = find_map(table, cp)) {
        for (int k = 0; k < m->n; ++k) append_utf8(out, m->to[k]);
    } else {
        append_utf8(out, cp);
    }
}

// Python's Final_Sigma rule for U+03A3 at position i of u.
char32_t capital_sigma(const std::u32string& u, std::size_t i) {
    std::size_t j = i;
    char32_t c = 0;
    bool found = false;
    while (j > 0) {
        c = u[--j];
        if (!is_case_ignorable(c)) {
            found = true;
            break;
        }
    }
    bool final_sigma = found && is_cased(c);
    if (final_sigma && i + 1 < u.size()) {
        std::size_t k = i + 1;
        for (; k < u.size(); ++k) {
            c = u[k];
            if (!is_case_ignorable(c)) break;
        }
        final_sigma = k == u.size() || !is_cased(c);
    }
    return final_sigma ? 0x3C2 : 0x3C3;
}

}  // namespace

char32_t next_code_point(std::string_view s, std::size_t& i) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    std::size_t n = s.size();
    unsigned char b0 = p[i];
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    int len;
    char32_t cp;
    char32_t min;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2, cp = b0 & 0x1F, min = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3, cp = b0 & 0x0F, min = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4, cp = b0 & 0x07, min = 0x10000;
    } else {
        ++i;
        return 0xFFFD;
    }
    if (i + len > n) {
        ++i;
        return 0xFFFD;
    }
    for (int k = 1; k < len; ++k) {
        unsigned char b = p[i + k];
        if ((b & 0xC0) != 0x80) {
            ++i;
            return 0xFFFD;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF) {
        ++i;
        return 0xFFFD;
    }
    i += len;
    return cp;
}

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

std::u32string to_u32(std::string_view s) {
    std::u32string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) out.push_back(next_code_point(s, i));
    return out;
}

std::size_t length(std::string_view s) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < s.size();) {
        unsigned char b = static_cast<unsigned char>(s[i]);
        if (b < 0x80) {
            ++i;
        } else {
            next_code_point(s, i);
        }
        ++n;
    }
    return n;
}

bool is_ascii(std::string_view s) {
    for (char c : s)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

bool is_space(char32_t cp) {
    if (cp < 0x80) return (cp >= 0x09 && cp <= 0x0D) || (cp >= 0x1C && cp <= 0x20);
    return in_ranges(kSpace, cp);
}
bool is_cased(char32_t cp) { return in_ranges(kCased, cp); }
bool is_case_ignorable(char32_t cp) { return in_ranges(kCaseIgnorable, cp); }
bool is_nfkc_delimiter(char32_t cp) { return cp >= 0x80 && in_ranges(kNfkcDelimiter, cp); }

int decimal_value(char32_t cp) {
    if (cp >= '0' && cp <= '9') return static_cast<int>(cp - '0');
    if (cp < 0x80) return -1;
    auto it = std::upper_bound(std::begin(kDecimal), std::end(kDecimal), cp,
                               [](char32_t c, const DecimalRange& r) { return c < r.first; });
    if (it == std::begin(kDecimal)) return -1;
    --it;
    return cp <= it->last ? static_cast<int>(cp - it->zero) : -1;
}

std::string lower(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    std::size_t i = 0;
    for (; i < s.size(); ++i) {  // ASCII fast path
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x80) break;
        out.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c));
    }
    if (i == s.size()) return out;
    // Final sigma needs context in both directions; work on code points.
    std::u32string u = to_u32(s.substr(i));
    std::u32string before = to_u32(out);  // ASCII prefix, for the sigma rule
    std::u32string all = before + u;
    for (std::size_t k = before.size(); k < all.size(); ++k) {
        char32_t c = all[k];
        if (c == 0x3A3) {
            append_utf8(out, capital_sigma(all, k));
        } else if (c < 0x80) {
            out.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c));
        } else {
            append_mapped(out, kLower, c);
        }
    }
    return out;
}

std::string title(std::string_view s) {
    std::u32string u = to_u32(s);
    std::string out;
    out.reserve(s.size());
    bool previous_is_cased = false;
    for (std::size_t k = 0; k < u.size(); ++k) {
        char32_t c = u[k];
        if (previous_is_cased) {
            if (c == 0x3A3)
                append_utf8(out, capital_sigma(u, k));
            else
                append_mapped(out, kLower, c);
        } else {
            append_mapped(out, kTitle, c);
        }
        previous_is_cased = is_cased(c);
    }
    return out;
}

std::string upper(std::string_view s) {
    // Upper-casing has no context rules: each code point maps on its own.
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c));
            ++i;
        } else {
            append_mapped(out, kUpper, next_code_point(s, i));
        }
    }
    return out;
}

std::string_view strip(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e) {
        std::size_t j = b;
        char32_t c = next_code_point(s, j);
        if (!is_space(c)) break;
        b = j;
    }
    while (e > b) {
        // step back to the start of the last code point
        std::size_t j = e - 1;
        while (j > b && (static_cast<unsigned char>(s[j]) & 0xC0) == 0x80 && e - j < 4) --j;
        std::size_t k = j;
        char32_t c = next_code_point(s, k);
        if (k != e) {  // malformed tail: treat the last byte alone
            j = e - 1;
            c = 0xFFFD;
        }
        if (!is_space(c)) break;
        e = j;
    }
    return s.substr(b, e - b);
}

std::vector<std::string_view> split(std::string_view s) {
    std::vector<std::string_view> parts;
    std::size_t i = 0, start = 0;
    bool in_word = false;
    while (i < s.size()) {
        std::size_t at = i;
        char32_t c = next_code_point(s, i);
        if (is_space(c)) {
            if (in_word) parts.push_back(s.substr(start, at - start));
            in_word = false;
        } else if (!in_word) {
            in_word = true;
            start = at;
        }
    }
    if (in_word) parts.push_back(s.substr(start));
    return parts;
}

std::string collapse_whitespace(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::string_view w : split(s)) {
        if (!out.empty()) out.push_back(' ');
        out.append(w);
    }
    return out;
}

bool is_printable(char32_t cp) {
    if (cp < 0x80) return cp >= 0x20 && cp != 0x7F;
    return in_ranges(kPrintable, cp);
}

namespace {

void append_hex(std::string& out, char prefix, std::uint32_t v, int width) {
    static const char digits[] = "0123456789abcdef";
    out.push_back('\\');
    out.push_back(prefix);
    for (int k = width - 1; k >= 0; --k) out.push_back(digits[(v >> (4 * k)) & 0xF]);
}

}  // namespace

std::string repr(std::string_view s) {
    std::string out;
    out.reserve(s.size() + 2);
    bool squote = s.find('\'') != std::string_view::npos;
    bool dquote = s.find('"') != std::string_view::npos;
    char quote = (squote && !dquote) ? '"' : '\'';
    out.push_back(quote);
    for (std::size_t i = 0; i < s.size();) {
        unsigned char b = static_cast<unsigned char>(s[i]);
        if (b < 0x80) {
            ++i;
            if (b == static_cast<unsigned char>(quote) || b == '\\') {
                out.push_back('\\');
                out.push_back(static_cast<char>(b));
            } else if (b == '\t') {
                out += "\\t";
            } else if (b == '\n') {
                out += "\\n";
            } else if (b == '\r') {
                out += "\\r";
            } else if (b < ' ' || b == 0x7F) {
                append_hex(out, 'x', b, 2);
            } else {
                out.push_back(static_cast<char>(b));
            }
            continue;
        }
        std::size_t start = i;
        char32_t cp = text::next_code_point(s, i);
        if (is_printable(cp)) {
            if (cp == 0xFFFD && i - start == 1)
                text::append_utf8(out, cp);  // a malformed byte
            else
                out.append(s.substr(start, i - start));
        } else if (cp <= 0xFF) {
            append_hex(out, 'x', cp, 2);
        } else if (cp <= 0xFFFF) {
            append_hex(out, 'u', cp, 4);
        } else {
            append_hex(out, 'U', cp, 8);
        }
    }
    out.push_back(quote);
    return out;
}

const std::string& python_space_class_body() {
    static const std::string body = [] {
        std::string b;
        char buf[32];
        for (const CpRange& r : kSpace) {
            if (r.first == r.last)
                std::snprintf(buf, sizeof buf, "\\x{%X}", r.first);
            else
                std::snprintf(buf, sizeof buf, "\\x{%X}-\\x{%X}", r.first, r.last);
            b += buf;
        }
        return b;
    }();
    return body;
}

namespace {

// The length of the UTF-8 sequence at p[i] when it is well formed (as
// CPython's strict decoder sees it: no overlong forms, no surrogates, nothing
// above U+10FFFF), else minus the length of its maximal invalid subpart.
std::ptrdiff_t utf8_sequence(const unsigned char* p, std::size_t i, std::size_t n) {
    unsigned char c = p[i];
    if (c < 0x80) return 1;
    std::size_t need;
    unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        need = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
        need = 2;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        need = 3;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return -1;
    }
    std::size_t k = 1;
    for (; k <= need && i + k < n; ++k) {
        unsigned char d = p[i + k];
        unsigned char l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
        if (d < l || d > h) break;
    }
    auto len = static_cast<std::ptrdiff_t>(k);
    return k == need + 1 ? len : -len;
}

}  // namespace

void decode_utf8_replace(std::string_view b, std::string& out) {
    const auto* p = reinterpret_cast<const unsigned char*>(b.data());
    std::size_t n = b.size();
    for (std::size_t i = 0; i < n;) {
        if (p[i] < 0x80) {
            out.push_back(b[i++]);
            continue;
        }
        std::ptrdiff_t len = utf8_sequence(p, i, n);
        if (len > 0) {
            out.append(b.substr(i, static_cast<std::size_t>(len)));
            i += static_cast<std::size_t>(len);
        } else {
            out += "\xEF\xBF\xBD";
            i += static_cast<std::size_t>(-len);
        }
    }
}

bool is_strict_utf8(std::string_view b) {
    const auto* p = reinterpret_cast<const unsigned char*>(b.data());
    std::size_t n = b.size();
    for (std::size_t i = 0; i < n;) {
        std::ptrdiff_t len = utf8_sequence(p, i, n);
        if (len < 0) return false;
        i += static_cast<std::size_t>(len);
    }
    return true;
}

}  // namespace quillmere::text
