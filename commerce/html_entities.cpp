// HTML character references, decoded exactly as Python's html.unescape does:
// every reference matched by
//   &(#[0-9]+;?|#[xX][0-9a-fA-F]+;?|[^\t\n\f <&#;]{1,32};?)
// is replaced, scanning left to right without overlap.
#include "commerce/html_entities.hpp"

#include <algorithm>
#include <cstdint>
#include <stdexcept>

#include "commerce/text.hpp"

namespace quillmere::html {
namespace {

struct Entity {
    std::string_view name;
    std::string_view value;
};
struct Charref {
    std::uint32_t code;
    std::string_view value;
};
#include "html_tables.inc"

// int() refuses decimal texts longer than this, and html.unescape with it.

const std::string_view* lookup(std::string_view name) {
    auto it = std::lower_bound(std::begin(kEntities), std::end(kEntities), name,
                               [](const Entity& e, std::string_view n) { return e.name < n; });
    if (it != std::end(kEntities) && it->name == name) return &it->value;
    return nullptr;
}

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }
inline int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Characters that end a reference name.
inline bool ends_name(char c) {
    return c == '\t' || c == '\n' || c == '\f' || c == ' ' || c == '<' || c == '&' || c == '#' || c == ';';
}

// The text of numeric reference `code` (any value past U+10FFFF is just "too big").
void append_numeric(std::string& out, std::uint64_t code) {
    for (const Charref& r : kInvalidCharrefs) {
        if (r.code == code) {
            out += r.value;
            return;
        }
    }
    if ((code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) {
        out += "\xEF\xBF\xBD";
        return;
    }
    if (std::binary_search(std::begin(kInvalidCodepoints), std::end(kInvalidCodepoints),
                           static_cast<std::uint32_t>(code)))
        return;
    text::append_utf8(out, static_cast<char32_t>(code));
}

constexpr std::uint64_t kTooBig = 0x110000;

}  // namespace

std::string unescape(std::string_view s) {
    std::size_t amp = s.find('&');
    if (amp == std::string_view::npos) return std::string(s);
    std::string out;
    out.reserve(s.size());
    std::size_t i = 0;
    const std::size_t n = s.size();
    while (amp != std::string_view::npos) {
        out.append(s, i, amp - i);
        std::size_t j = amp + 1;  // after '&'
        i = j;
        if (j < n && s[j] == '#') {
            std::size_t k = j + 1;
            std::uint64_t code = 0;
            if (k < n && is_digit(s[k])) {
                while (k < n && is_digit(s[k])) {
                    code = std::min<std::uint64_t>(code * 10 + static_cast<unsigned>(s[k] - '0'), kTooBig);
                    ++k;
                }
            } else if (k + 1 < n && (s[k] == 'x' || s[k] == 'X') && hex_value(s[k + 1]) >= 0) {
                ++k;
                while (k < n && hex_value(s[k]) >= 0) {
                    code = std::min<std::uint64_t>(code * 16 + static_cast<unsigned>(hex_value(s[k])), kTooBig);
                    ++k;
                }
            } else {
                out.push_back('&');  // "&#" without digits is no reference
                amp = s.find('&', i);
                continue;
            }
            if (k < n && s[k] == ';') ++k;
            append_numeric(out, code);
            i = k;
        } else {
            // A name: 1 to 32 characters, then an optional ';'.
            std::size_t k = j;
            std::size_t count = 0;
            std::size_t ascii_prefix = 0;  // leading ASCII characters of the name
            bool ascii = true;
            while (k < n && count < 32 && !ends_name(s[k])) {
                if (static_cast<unsigned char>(s[k]) < 0x80) {
                    ++k;
                    if (ascii) ++ascii_prefix;
                } else {
                    text::next_code_point(s, k);
                    ascii = false;
                }
                ++count;
            }
            if (count == 0) {
                out.push_back('&');
                amp = s.find('&', i);
                continue;
            }
            bool semicolon = k < n && s[k] == ';';
            std::size_t end = k + (semicolon ? 1 : 0);
            std::string_view ref = s.substr(j, end - j);
            std::size_t ref_len = count + (semicolon ? 1 : 0);  // in code points
            if (const std::string_view* v = lookup(ref)) {
                out += *v;
            } else {
                // Longest prefix of at least two characters that is a name
                // the table knows without a semicolon.
                std::size_t longest = std::min({ref_len - 1, ascii_prefix, kLongestBareName});
                bool found = false;
                for (std::size_t x = longest; x >= 2; --x) {
                    if (const std::string_view* v = lookup(ref.substr(0, x))) {
                        out += *v;
                        out += ref.substr(x);
                        found = true;
                        break;
                    }
                }
                if (!found) {
                    out.push_back('&');
                    out += ref;
                }
            }
            i = end;
        }
        amp = s.find('&', i);
    }
    out.append(s, i, std::string_view::npos);
    return out;
}

}  // namespace quillmere::html
