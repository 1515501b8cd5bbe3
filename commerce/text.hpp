// Text helpers with the semantics of Python's str methods.
//
// Text is UTF-8. Lone surrogates (which a Python str may hold) travel as their
// three-byte encodings, the way Python's "surrogatepass" error handler writes
// them, and count as one code point each. Lengths are counted in code points.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quillmere::text {

// Decodes the code point at s[i] and advances i. A malformed byte decodes as
// U+FFFD and advances by one byte, so decoding never fails.
char32_t next_code_point(std::string_view s, std::size_t& i);
void append_utf8(std::string& out, char32_t cp);
std::u32string to_u32(std::string_view s);
std::size_t length(std::string_view s);  // in code points
// bytes.decode("utf-8", "replace") appended to `out`: each maximal invalid
// subpart becomes one U+FFFD, as CPython's decoder does.
void decode_utf8_replace(std::string_view bytes, std::string& out);
bool is_strict_utf8(std::string_view bytes);  // bytes.decode("utf-8") succeeds
bool is_ascii(std::string_view s);

// Character properties, as the building interpreter sees them.
bool is_space(char32_t cp);            // str.isspace(), and \s of Python's re
bool is_cased(char32_t cp);
bool is_case_ignorable(char32_t cp);
int decimal_value(char32_t cp);        // unicodedata.decimal(), or -1
bool is_nfkc_delimiter(char32_t cp);   // NFKC turns it into one of "/?#@:"
bool is_printable(char32_t cp);        // str.isprintable()

std::string lower(std::string_view s);  // str.lower() (full mappings, final sigma)
std::string title(std::string_view s);  // str.title()
std::string upper(std::string_view s);  // str.upper() (full mappings: "ß" -> "SS")
std::string_view strip(std::string_view s);   // str.strip()
std::vector<std::string_view> split(std::string_view s);  // str.split()
std::string collapse_whitespace(std::string_view s);  // " ".join(s.split())
std::string repr(std::string_view s);    // repr() of a str

inline bool contains(std::string_view haystack, std::string_view needle) {
    return haystack.find(needle) != std::string_view::npos;
}
inline bool starts_with(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }
// ASCII letters lowered; every other byte as it is.
inline char lower_ascii(char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; }
// HTML's white space: space, tab, line feed, carriage return, form feed.
inline bool html_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }
// Whether `s` begins with `lower` (written in lower case) in any ASCII letter case.
inline bool starts_with_ascii_icase(std::string_view s, std::string_view lower) {
    if (lower.size() > s.size()) return false;
    for (std::size_t k = 0; k < lower.size(); ++k)
        if (lower_ascii(s[k]) != lower[k]) return false;
    return true;
}
inline bool ends_with(std::string_view s, std::string_view p) {
    return s.size() >= p.size() && s.substr(s.size() - p.size()) == p;
}

// The white-space class of Python's re spelled out for PCRE2 (whose \s
// misses U+001C to U+001F), without the surrounding brackets.
const std::string& python_space_class_body();

}  // namespace quillmere::text
