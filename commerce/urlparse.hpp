// Link splitting, query parsing and form encoding with the exact behaviour of
// CPython's urllib.parse (urlparse, urlunparse, parse_qs, unquote_plus,
// quote_plus), including its checks of bracketed hosts and of characters
// that NFKC turns into delimiters.
//
// All delimiters are ASCII, so the work is done on UTF-8 bytes; code points
// only matter for the NFKC check of the network location and for positions
// in error reports.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quillmere::url {

// urllib.parse raises ValueError for these (unmatched brackets, invalid IPv6
// literal, NFKC-delimiter characters in the network location).
struct InvalidUrl : std::invalid_argument {
    explicit InvalidUrl(const std::string& msg) : std::invalid_argument(msg), message(msg) {}
    std::string message;  // the whole text: what() stops at a NUL the link may hold
};

// Python's quote_plus encodes with UTF-8 "strict" and raises
// UnicodeEncodeError for lone surrogates. `text` is the str being encoded;
// [start, end) is the run of surrogates, in code points.
struct UnencodableText : std::invalid_argument {
    UnencodableText(std::string text_, std::size_t start_, std::size_t end_, const std::string& what)
        : std::invalid_argument(what), text(std::move(text_)), start(start_), end(end_) {}
    std::string text;
    std::size_t start, end;
};

// The rules of urllib.parse that differ between Python releases: how
// urlunsplit rebuilds a link without a network location, whether a bracketed
// host is checked in place (text before the brackets, or between them and the
// port, is refused), and the schemes that take a network location or path
// parameters. They start as the building Python's; the host interpreter's own
// are adopted once, when the module loads and before any link is read, so a
// module built once for many Python releases answers as the one running it.
struct HostRules {
    bool unsplit_keeps_relative_path;
    bool checks_bracketed_netloc;
    std::vector<std::string> uses_netloc, uses_params;
};
const HostRules& host_rules();
void adopt_host_rules(HostRules rules);

// urllib.parse.urlparse(url): the six components.
struct UrlParts {
    std::string scheme, netloc, path, params, query, fragment;
};
UrlParts urlparse(std::string_view url);
std::string urlunparse(const UrlParts& parts);

// The six components as views into the link (or into `cleaned`, the link
// without its tabs and line breaks); the scheme, lower-cased, is a view
// into `lowered` when the link spells it with capitals.
struct Split {
    std::string cleaned, lowered;
    std::string_view scheme, netloc, path, params, query, fragment;
    Split() = default;
    Split(const Split&) = delete;
    Split& operator=(const Split&) = delete;
};
void split_url(std::string_view input, Split& p);  // throws InvalidUrl

// urlunparse((scheme, netloc, path, params, query, fragment)), and its
// part before the query, appended to `out`.
void append_unsplit_head(std::string& out, std::string_view scheme, std::string_view netloc,
                         std::string_view path, std::string_view params);
std::string join_url(std::string_view scheme, std::string_view netloc, std::string_view path,
                     std::string_view params, std::string_view query, std::string_view fragment);

// unquote_plus(s, "utf-8", "replace"), and the same appended to `out`.
std::string unquote_plus(std::string_view s);
void append_unquote_plus(std::string_view s, std::string& out);
// The same written at `dst` (room for s.size() bytes), unless an escaped
// run is not UTF-8 and needs U+FFFD: then npos. Returns the length written.
std::size_t unquote_plus_to(std::string_view s, char* dst);
// Whether unquote_plus(s) == s: no "%" and no "+".
bool unquote_keeps(std::string_view s);

// quote_plus(s), appended to `out`: UTF-8 bytes, only ASCII letters, digits
// and "_.-~" left as they are, a space written as "+". Throws
// UnencodableText for a lone surrogate.
void append_quote_plus(std::string_view s, std::string& out);

// quote_plus(unquote_plus(raw)) appended to `out`, in one pass over `raw`
// unless an escape decodes to malformed UTF-8 or the text holds a lone
// surrogate; then `scratch` holds the decoded text on the way.
void append_requote_plus(std::string_view raw, std::string& out, std::string& scratch);
// The one pass of it over `raw` up to the first byte `stop` (-1: none),
// written at `dst` (room for three bytes per byte read), which it advances.
// Returns the number of bytes read, or npos where the pass cannot decide
// alone (dst is then of no use).
namespace detail {
// Bytes quote_plus(unquote_plus(.)) leaves as they are: ASCII letters,
// digits, "_.-~", and "+" (a space, written "+").
inline constexpr auto kVerbatim = [] {
    std::array<bool, 256> t{};
    for (int c = 0; c < 256; ++c)
        t[c] = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
               c == '.' || c == '-' || c == '~' || c == '+';
    return t;
}();
std::size_t requote_plus_from(std::string_view raw, std::size_t i, int stop, char*& dst);

#if defined(__SSE2__)
// A bit for each of the sixteen bytes at p that is not verbatim (first byte
// lowest). Letters: (c | 0x20) - 'a' below 26, digits: c - '0' below 10,
// each as a signed comparison after moving the range's start to -128.
inline unsigned non_verbatim16(__m128i v) {
    __m128i letter = _mm_cmplt_epi8(_mm_add_epi8(_mm_or_si128(v, _mm_set1_epi8(0x20)), _mm_set1_epi8(0x1F)),
                                    _mm_set1_epi8(-128 + 26));
    __m128i digit = _mm_cmplt_epi8(_mm_add_epi8(v, _mm_set1_epi8(0x50)), _mm_set1_epi8(-128 + 10));
    __m128i sym = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('_')), _mm_cmpeq_epi8(v, _mm_set1_epi8('.'))),
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('-')), _mm_cmpeq_epi8(v, _mm_set1_epi8('~'))),
                     _mm_cmpeq_epi8(v, _mm_set1_epi8('+'))));
    return ~static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(letter, digit), sym))) & 0xFFFFu;
}
inline unsigned non_verbatim16(const char* p) {
    return non_verbatim16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}
#endif

// Copies the verbatim run of raw at i to d, which it advances; returns where
// the run ends. Sixteen bytes are stored at a time: d has room for three
// bytes per byte left to read, so for sixteen while sixteen are left.
inline std::size_t copy_verbatim(std::string_view raw, std::size_t i, char*& d) {
    const std::size_t n = raw.size();
#if defined(__SSE2__)
    for (; i + 16 <= n; i += 16, d += 16) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm_loadu_si128(reinterpret_cast<const __m128i*>(raw.data() + i)));
        if (unsigned m = non_verbatim16(raw.data() + i)) {
            std::size_t k = static_cast<std::size_t>(std::countr_zero(m));
            d += k;
            return i + k;
        }
    }
#endif
    while (i < n && kVerbatim[static_cast<unsigned char>(raw[i])]) *d++ = raw[i++];
    return i;
}
}  // namespace detail

inline std::size_t requote_plus_until(std::string_view raw, int stop, char*& dst) {
    std::size_t n = raw.size();
    char* d = dst;
    std::size_t i = detail::copy_verbatim(raw, 0, d);
    dst = d;
    if (i == n || static_cast<unsigned char>(raw[i]) == stop) return i;
    return detail::requote_plus_from(raw, i, stop, dst);
}

// Calls fn(name, value) with the raw (still encoded) text of each field
// parse_qs keeps: split at "&" only, fields without "=" and fields with an
// empty value dropped. Stops early when fn returns false.
template <class Fn>
void for_each_field(std::string_view query, Fn&& fn) {
    std::size_t start = 0;
    while (start <= query.size()) {
        std::size_t amp = query.find('&', start);
        if (amp == std::string_view::npos) amp = query.size();
        std::string_view field = query.substr(start, amp - start);
        start = amp + 1;
        std::size_t eq = field.find('=');
        if (eq == std::string_view::npos || eq + 1 == field.size()) continue;
        if (!fn(field.substr(0, eq), field.substr(eq + 1))) return;
    }
}

// The first eight bytes of s as one number (byte i in bits 8i..8i+7, zero
// past the end): texts that differ there differ. `limit` is the end of the
// buffer s lies in, which may be read up to.
inline std::uint64_t prefix_key(std::string_view s, const char* limit) {
    std::uint64_t k = 0;
    if constexpr (std::endian::native == std::endian::little) {
        if (limit - s.data() >= 8) {
            std::memcpy(&k, s.data(), 8);
            return s.size() >= 8 ? k : k & ((std::uint64_t{1} << (8 * s.size())) - 1);
        }
    }
    for (std::size_t i = 0; i < s.size() && i < 8; ++i)
        k |= std::uint64_t{static_cast<unsigned char>(s[i])} << (8 * i);
    return k;
}

// Eight bytes at a time on little-endian machines.
namespace swar {
inline constexpr bool kUsable = std::endian::native == std::endian::little;
inline constexpr std::uint64_t kOnes = 0x0101010101010101ull, kHighs = kOnes * 0x80;
inline std::uint64_t load(const char* p) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}
// The high bit of each byte of w equal to c: exact up to the first such
// byte, and any byte flagged lies after a true one.
inline std::uint64_t equal(std::uint64_t w, unsigned char c) {
    std::uint64_t x = w ^ (kOnes * c);
    return (x - kOnes) & ~x & kHighs;
}
// Of the flags in `mask`, those of the bytes before the first flag of `stop`.
inline std::uint64_t before(std::uint64_t mask, std::uint64_t stop) {
    return stop ? mask & ((stop & (~stop + 1)) - 1) : mask;
}
inline std::size_t first(std::uint64_t stop) { return static_cast<std::size_t>(std::countr_zero(stop) >> 3); }
// ASCII capitals made lower case, eight at once (every byte below 0x80).
inline std::uint64_t ascii_lower(std::uint64_t w) {
    std::uint64_t at_least_a = w + kOnes * (0x80 - 'A'), above_z = w + kOnes * (0x7F - 'Z');
    return w | (((at_least_a & ~above_z) & kHighs) >> 2);
}
}  // namespace swar


// A fixed set of lower-case names, and whether a decoded query name
// lower-cases (str.lower()) to one of them: an ASCII name by its prefix key
// made lower case, against the names of its length and first letter only;
// any other by full Unicode lower-casing (the Kelvin sign lower-cases to
// "k"). `key` is prefix_key(name).
class LowerCaseNames {
public:
    LowerCaseNames(const std::string_view* names, std::size_t count);  // each 1 to 16 bytes
    bool contains(std::string_view name, std::uint64_t key, bool ascii) const {
        if (!ascii) return contains_unicode(name);
        if (name.size() >= first_letters_.size()) return false;
        std::uint64_t low = swar::ascii_lower(key);
        if (!(first_letters_[name.size()] & (std::uint64_t{1} << (low & 63)))) return false;
        return contains_ascii(name, low);
    }

    // False when an ASCII name is surely none of them, by its length and
    // first letter alone (a cheap filter before the prefix key is made).
    bool may_hold_ascii(std::string_view name) const {
        return !name.empty() && name.size() < first_letters_.size() &&
               (first_letters_[name.size()] >> ((static_cast<unsigned char>(name[0]) | 0x20u) & 63) & 1);
    }

private:
    bool contains_unicode(std::string_view name) const;
    bool contains_ascii(std::string_view name, std::uint64_t low) const;
    struct Entry {
        std::string_view name;
        std::uint64_t key;
    };
    std::vector<Entry> names_;  // by length: those of length n at [from_[n], from_[n + 1])
    std::array<std::size_t, 18> from_{};
    std::array<std::uint64_t, 17> first_letters_{};  // bit (first byte % 64) per length
};

// parse_qs(query) without copying what needs no decoding: the distinct
// decoded names in the order of their first appearance, each with its raw
// values in order. Names are decoded only when they hold "%" or "+", and
// looked up by their first bytes, then through a hash table once there are
// many.
class QueryFields {
public:
    explicit QueryFields(std::string_view query);
    std::size_t size() const { return names_.size(); }
    std::string_view name(std::size_t k) const { return text_of(names_[k]); }
    std::string_view raw_name(std::size_t k) const { return {names_[k].raw, names_[k].raw_len}; }
    template <class Fn>
    void for_each_value(std::size_t k, Fn&& fn) const {
        for (std::size_t v = names_[k].first; v != kNone; v = values_[v].next)
            fn(std::string_view(values_[v].raw, values_[v].len));
    }

private:
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    struct Name {
        const char* raw;  // the first spelling, still encoded
        std::size_t raw_len, off, len;  // decoded text: at `off` in the arena when `decoded`
        std::uint64_t key;
        bool decoded;
        std::size_t first, last, hash;
    };
    struct Value {
        const char* raw;
        std::size_t len, next;
    };
    std::string_view text_of(const Name& n) const {
        return n.decoded ? std::string_view(arena_.data() + n.off, n.len) : std::string_view(n.raw, n.raw_len);
    }
    std::size_t find(std::string_view name, std::uint64_t key, std::size_t& hash);
    std::vector<Name> names_;
    std::vector<Value> values_;
    std::vector<std::size_t> slots_;  // name index + 1, 0 when empty
    std::string arena_;
};

}  // namespace quillmere::url
