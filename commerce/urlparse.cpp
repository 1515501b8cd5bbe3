// urllib.parse's splitting, joining, unquoting and quoting, byte for byte.

#include "commerce/urlparse.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <functional>
#include <iterator>
#include <optional>
#include <vector>

#include "commerce/text.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quillmere::url {
namespace {

using sv = std::string_view;
constexpr auto npos = sv::npos;

#include "url_tables.inc"

template <std::size_t N>
std::vector<std::string> listed(const sv (&list)[N]) {
    return std::vector<std::string>(std::begin(list), std::end(list));
}

// The rules in force: the building Python's until the host's are adopted.
// An adopted set is never freed, so a reader holding the old one is safe.
std::atomic<const HostRules*> rules_in_force{
    new HostRules{kUnsplitKeepsRelativePath, kChecksBracketedNetloc, listed(kUsesNetloc), listed(kUsesParams)}};

bool one_of(sv s, const std::vector<std::string>& list) {
    return std::find(list.begin(), list.end(), s) != list.end();
}

bool uses_netloc(sv scheme) { return one_of(scheme, host_rules().uses_netloc); }
bool uses_params(sv scheme) { return one_of(scheme, host_rules().uses_params); }

constexpr bool is_ascii_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
constexpr bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }
constexpr bool is_hex(char c) { return is_ascii_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
constexpr bool is_scheme_char(char c) {
    return is_ascii_alpha(c) || is_ascii_digit(c) || c == '+' || c == '-' || c == '.';
}

std::vector<sv> split_on(sv s, char sep) {
    std::vector<sv> parts;
    std::size_t start = 0;
    for (;;) {
        std::size_t k = s.find(sep, start);
        if (k == npos) {
            parts.push_back(s.substr(start));
            return parts;
        }
        parts.push_back(s.substr(start, k - start));
        start = k + 1;
    }
}

// ipaddress.IPv4Address: four decimal octets, no leading zeros, each <= 255.
bool valid_ipv4(sv s) {
    auto octets = split_on(s, '.');
    if (octets.size() != 4) return false;
    for (sv o : octets) {
        if (o.empty() || o.size() > 3) return false;
        if (!std::all_of(o.begin(), o.end(), is_ascii_digit)) return false;
        if (o.size() > 1 && o[0] == '0') return false;
        int v = 0;
        for (char c : o) v = v * 10 + (c - '0');
        if (v > 255) return false;
    }
    return true;
}

bool valid_hextet(sv h) {
    return !h.empty() && h.size() <= 4 && std::all_of(h.begin(), h.end(), is_hex);
}

// ipaddress.IPv6Address, with its optional "%scope" suffix and its dotted
// IPv4 tail.
bool valid_ipv6(sv s) {
    constexpr std::size_t kHextets = 8;
    if (std::size_t pct = s.find('%'); pct != npos) {
        sv scope = s.substr(pct + 1);
        if (scope.empty() || text::contains(scope, "%")) return false;
        s = s.substr(0, pct);
    }
    if (s.empty()) return false;
    auto parts = split_on(s, ':');
    if (parts.size() < 3) return false;
    if (text::contains(parts.back(), ".")) {
        if (!valid_ipv4(parts.back())) return false;
        parts.back() = "0";  // stands for the two hextets the address makes
        parts.push_back("0");
    }
    if (parts.size() > kHextets + 1) return false;
    std::size_t n = parts.size();
    std::optional<std::size_t> skip;
    for (std::size_t i = 1; i + 1 < n; ++i) {
        if (parts[i].empty()) {
            if (skip) return false;
            skip = i;
        }
    }
    std::size_t hi, lo;
    if (skip) {
        hi = *skip;
        lo = n - *skip - 1;
        if (parts[0].empty() && --hi) return false;
        if (parts[n - 1].empty() && --lo) return false;
        if (hi + lo >= kHextets) return false;
    } else {
        if (n != kHextets || parts[0].empty() || parts[n - 1].empty()) return false;
        hi = n;
        lo = 0;
    }
    for (std::size_t i = 0; i < hi; ++i)
        if (!valid_hextet(parts[i])) return false;
    for (std::size_t i = n - lo; i < n; ++i)
        if (!valid_hextet(parts[i])) return false;
    return true;
}

// urllib.parse._check_bracketed_host.
void check_bracketed_host(sv host) {
    if (!host.empty() && host[0] == 'v') {
        // \Av[a-fA-F0-9]+\..+\Z  (line breaks were removed before splitting)
        std::size_t i = 1;
        while (i < host.size() && is_hex(host[i])) ++i;
        if (i == 1 || i >= host.size() || host[i] != '.' || i + 1 >= host.size())
            throw InvalidUrl("IPvFuture address is invalid");
        return;
    }
    if (valid_ipv4(host)) throw InvalidUrl("An IPv4 address cannot be in brackets");
    if (!valid_ipv6(host))
        throw InvalidUrl(text::repr(host) + " does not appear to be an IPv4 or IPv6 address");
}

// urllib.parse._check_bracketed_netloc, where this Python has it: the
// brackets open the host (after any user info) and only a port follows
// them; the host they hold is then checked. Older Pythons check the first
// bracketed text alone.
void check_bracketed_netloc(sv netloc) {
    if (!host_rules().checks_bracketed_netloc) {
        sv after = netloc.substr(netloc.find('[') + 1);
        check_bracketed_host(after.substr(0, after.find(']')));
        return;
    }
    std::size_t at = netloc.rfind('@');
    sv host_and_port = at == npos ? netloc : netloc.substr(at + 1);
    std::size_t open = host_and_port.find('[');
    sv host;
    if (open != npos) {
        if (open > 0) throw InvalidUrl("Invalid IPv6 URL");
        sv bracketed = host_and_port.substr(1);
        std::size_t close = bracketed.find(']');
        host = bracketed.substr(0, close);
        sv port = close == npos ? sv() : bracketed.substr(close + 1);
        if (!port.empty() && port[0] != ':') throw InvalidUrl("Invalid IPv6 URL");
    } else {
        host = host_and_port.substr(0, host_and_port.find(':'));
    }
    check_bracketed_host(host);
}

// urllib.parse._checknetloc: no character may turn into a delimiter under NFKC.
void check_netloc(sv netloc) {
    if (text::is_ascii(netloc)) return;
    for (std::size_t i = 0; i < netloc.size();) {
        if (text::is_nfkc_delimiter(text::next_code_point(netloc, i)))
            throw InvalidUrl("netloc '" + std::string(netloc) +
                             "' contains invalid characters under NFKC normalization");
    }
}

inline int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

constexpr bool always_safe(unsigned char c) {
    return is_ascii_alpha(static_cast<char>(c)) || is_ascii_digit(static_cast<char>(c)) ||
           c == '_' || c == '.' || c == '-' || c == '~';
}

bool surrogate_at(sv s, std::size_t i) {
    return i + 2 < s.size() && static_cast<unsigned char>(s[i]) == 0xED &&
           static_cast<unsigned char>(s[i + 1]) >= 0xA0;
}

[[noreturn]] void unencodable(sv s, std::size_t byte_pos) {
    std::size_t start = 0;
    for (std::size_t k = 0; k < byte_pos; ++k)
        if ((static_cast<unsigned char>(s[k]) & 0xC0) != 0x80) ++start;
    std::size_t end = start;
    for (std::size_t k = byte_pos; surrogate_at(s, k); k += 3) ++end;
    std::string what = "'utf-8' codec can't encode ";
    if (end - start == 1) {
        what += "character " + text::repr(s.substr(byte_pos, 3)) + " in position " +
                std::to_string(start);
    } else {
        what += "characters in position " + std::to_string(start) + "-" + std::to_string(end - 1);
    }
    what += ": surrogates not allowed";
    throw UnencodableText(std::string(s), start, end, what);
}

// Whether the link holds a tab or a line break (which urlsplit removes):
// sixteen bytes at a time where the machine allows.
bool has_tab_or_line_break(sv s) {
#if defined(__SSE2__)
    if (s.size() >= 16) {
        const __m128i tab = _mm_set1_epi8('\t'), cr = _mm_set1_epi8('\r'), lf = _mm_set1_epi8('\n');
        auto block = [&](std::size_t at) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.data() + at));
            __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, tab), _mm_cmpeq_epi8(v, cr)),
                                       _mm_cmpeq_epi8(v, lf));
            return _mm_movemask_epi8(hit) != 0;
        };
        std::size_t i = 0;
        for (; i + 16 <= s.size(); i += 16)
            if (block(i)) return true;
        return i < s.size() && block(s.size() - 16);  // the rest, overlapping the block before
    }
#endif
    for (char c : s)
        if (c == '\t' || c == '\r' || c == '\n') return true;
    return false;
}

// Byte classes of the form encoding, one table look-up per byte.
enum : unsigned char { kSafe = 1, kAsIs = 2, kHex = 4, kScheme = 8 };
constexpr std::array<unsigned char, 256> kClass = [] {
    std::array<unsigned char, 256> t{};
    for (int c = 0; c < 256; ++c) {
        if (always_safe(static_cast<unsigned char>(c))) t[c] |= kSafe | kAsIs;
        if (is_hex(static_cast<char>(c))) t[c] |= kHex;
        if (is_scheme_char(static_cast<char>(c))) t[c] |= kScheme;
    }
    t['+'] |= kAsIs;
    return t;
}();
constexpr char kHexDigits[] = "0123456789ABCDEF";

// Bytes of a network location: what ends it, the brackets, and those of
// characters outside ASCII.
enum : unsigned char { kNetlocEnd = 1, kOpen = 2, kClose = 4, kNonAscii = 8 };
constexpr std::array<unsigned char, 256> kNetlocClass = [] {
    std::array<unsigned char, 256> t{};
    t['/'] = t['?'] = t['#'] = kNetlocEnd;
    t['['] = kOpen;
    t[']'] = kClose;
    for (int c = 0x80; c < 0x100; ++c) t[c] = kNonAscii;
    return t;
}();

[[gnu::always_inline]] inline bool hex_at(sv s, std::size_t i) { return kClass[static_cast<unsigned char>(s[i])] & kHex; }
// A "%XX" escape at i (with i + 2 < size, as unquote wants).
[[gnu::always_inline]] inline bool escape_at(sv s, std::size_t i) { return s[i] == '%' && i + 2 < s.size() && hex_at(s, i + 1) && hex_at(s, i + 2); }
[[gnu::always_inline]] inline unsigned char escaped_byte(sv s, std::size_t i) {
    return static_cast<unsigned char>(hex_value(s[i + 1]) * 16 + hex_value(s[i + 2]));
}

void put_escape(char*& dst, unsigned char b) {
    dst[0] = '%';
    dst[1] = kHexDigits[b >> 4];
    dst[2] = kHexDigits[b & 15];
    dst += 3;
}

}  // namespace

const HostRules& host_rules() { return *rules_in_force.load(std::memory_order_acquire); }

void adopt_host_rules(HostRules rules) {
    rules_in_force.store(new HostRules(std::move(rules)), std::memory_order_release);
}

namespace {
// Hex digit values, 16 for any other byte.
constexpr std::array<unsigned char, 256> kHexValue = [] {
    std::array<unsigned char, 256> t{};
    for (int c = 0; c < 256; ++c) t[c] = 16;
    for (int c = 0; c < 10; ++c) t['0' + c] = static_cast<unsigned char>(c);
    for (int c = 0; c < 6; ++c) t['a' + c] = t['A' + c] = static_cast<unsigned char>(10 + c);
    return t;
}();
}  // namespace

std::size_t detail::requote_plus_from(sv raw, std::size_t i, int stop, char*& dst) {
    std::size_t n = raw.size();
    const unsigned char* u = reinterpret_cast<const unsigned char*>(raw.data());
    char* d = dst;
    while (i < n) {
        unsigned char c = u[i];
        if (kClass[c] & kAsIs) {  // safe bytes, or "+": a space, written "+"
            i = copy_verbatim(raw, i, d);
            continue;
        }
        if (c == stop) break;
        if (c == '%' && i + 2 < n) {
            unsigned hi = kHexValue[u[i + 1]], lo = kHexValue[u[i + 2]];
            if ((hi | lo) < 16) {
                unsigned char b = static_cast<unsigned char>(hi << 4 | lo);
                if (b < 0x80) {  // an ASCII byte: as quote_plus writes it
                    if (kClass[b] & kSafe) {
                        *d++ = static_cast<char>(b);
                    } else if (b == ' ') {
                        *d++ = '+';
                    } else {
                        d[0] = '%', d[1] = kHexDigits[hi], d[2] = kHexDigits[lo];
                        d += 3;
                    }
                    i += 3;
                    continue;
                }
                // Escaped bytes above ASCII: unquote keeps them only as whole
                // UTF-8 sequences, read here one at a time.
                while (i < n && escape_at(raw, i) && escaped_byte(raw, i) >= 0x80) {
                    unsigned char lead = escaped_byte(raw, i), seq[4];
                    std::size_t len = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
                    for (std::size_t k = 0; k < len; ++k, i += 3) {
                        if (i >= n || !escape_at(raw, i) || escaped_byte(raw, i) < 0x80) return npos;
                        seq[k] = escaped_byte(raw, i);
                    }
                    if (!text::is_strict_utf8(sv(reinterpret_cast<const char*>(seq), len))) return npos;
                    for (std::size_t k = 0; k < len; ++k) put_escape(d, seq[k]);
                }
                continue;
            }
        }
        // A character unquote copies: ASCII, or a byte of the str's UTF-8.
        if (c == 0xED && surrogate_at(raw, i)) return npos;
        if (c == ' ') *d++ = '+';
        else put_escape(d, c);
        ++i;
    }
    dst = d;
    return i;
}


// unquote_plus(s, "utf-8", "replace"). Percent escapes are decoded within
// runs of ASCII characters; other characters are copied as they are. The
// text never lengthens, except where U+FFFD replaces a byte.
std::size_t unquote_plus_to(sv s, char* dst) {
    std::size_t i = 0, n = s.size();
    char* d = dst;
    while (i < n) {
        // One run of ASCII characters, decoded to bytes; bytes above ASCII
        // make it pass the UTF-8 decoder.
        char* run = d;
        bool high = false;
        for (; i < n && static_cast<unsigned char>(s[i]) < 0x80; ++i) {
            if (s[i] == '%' && escape_at(s, i)) {
                unsigned char b = escaped_byte(s, i);
                high = high || b >= 0x80;
                *d++ = static_cast<char>(b);
                i += 2;
            } else {
                *d++ = s[i] == '+' ? ' ' : s[i];
            }
        }
        if (high && !text::is_strict_utf8(sv(run, static_cast<std::size_t>(d - run)))) return npos;
        for (; i < n && static_cast<unsigned char>(s[i]) >= 0x80; ++i) *d++ = s[i];
    }
    return static_cast<std::size_t>(d - dst);
}

void append_unquote_plus(sv s, std::string& out) {
    std::size_t start = out.size();
    out.resize(start + s.size());
    std::size_t len = unquote_plus_to(s, out.data() + start);
    if (len != npos) {
        out.resize(start + len);
        return;
    }
    // Some run is not UTF-8 once decoded: run by run, with replacement.
    out.resize(start);
    std::string bytes;
    for (std::size_t i = 0, n = s.size(); i < n;) {
        std::size_t j = i;
        while (j < n && static_cast<unsigned char>(s[j]) >= 0x80) ++j;
        out.append(s.substr(i, j - i));
        bytes.clear();
        for (i = j; i < n && static_cast<unsigned char>(s[i]) < 0x80; ++i) {
            if (escape_at(s, i)) {
                bytes.push_back(static_cast<char>(escaped_byte(s, i)));
                i += 2;
            } else {
                bytes.push_back(s[i] == '+' ? ' ' : s[i]);
            }
        }
        text::decode_utf8_replace(bytes, out);
    }
}

std::string unquote_plus(sv s) {
    std::string out;
    out.reserve(s.size());
    append_unquote_plus(s, out);
    return out;
}

// quote_plus(s): UTF-8 bytes, only ASCII letters, digits and "_.-~" left as
// they are, a space written as "+".
void append_quote_plus(sv s, std::string& out) {
    for (std::size_t i = 0; i < s.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (kClass[c] & kSafe) {
            out.push_back(static_cast<char>(c));
        } else if (c == ' ') {
            out.push_back('+');
        } else {
            if (c == 0xED && surrogate_at(s, i)) unencodable(s, i);
            char e[3] = {'%', kHexDigits[c >> 4], kHexDigits[c & 15]};
            out.append(e, 3);
        }
    }
}

void append_requote_plus(sv raw, std::string& out, std::string& scratch) {
    std::size_t mark = out.size();
    out.resize(mark + 3 * raw.size());  // no byte is written as more than three
    char* dst = out.data() + mark;
    if (requote_plus_until(raw, -1, dst) != npos) {
        out.resize(static_cast<std::size_t>(dst - out.data()));
        return;
    }
    out.resize(mark);
    scratch.clear();
    append_unquote_plus(raw, scratch);
    append_quote_plus(scratch, out);
}

bool unquote_keeps(sv raw) {
    for (char c : raw)
        if (c == '%' || c == '+') return false;
    return true;
}

void split_url(sv input, Split& p) {
    // Leading C0 controls and spaces go; tabs and line breaks go everywhere.
    std::size_t lead = 0;
    while (lead < input.size() && static_cast<unsigned char>(input[lead]) <= 0x20) ++lead;
    input.remove_prefix(lead);
    if (has_tab_or_line_break(input)) {
        p.cleaned.reserve(input.size());
        for (char c : input)
            if (c != '\t' && c != '\r' && c != '\n') p.cleaned.push_back(c);
        input = p.cleaned;
    }

    sv url = input;
    std::size_t colon = url.find(':');
    if (colon != npos && colon > 0 && is_ascii_alpha(url[0])) {
        bool valid = true, upper = false;
        for (std::size_t i = 0; i < colon && valid; ++i) {
            unsigned char c = static_cast<unsigned char>(url[i]);
            valid = kClass[c] & kScheme;
            upper = upper || (c >= 'A' && c <= 'Z');
        }
        if (valid) {
            p.scheme = url.substr(0, colon);
            if (upper) {
                for (char c : p.scheme) p.lowered.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c);
                p.scheme = p.lowered;
            }
            url.remove_prefix(colon + 1);
        }
    }
    bool ascii_netloc = true;
    if (url.size() >= 2 && url[0] == '/' && url[1] == '/') {
        // One look at each byte of the network location: where it ends,
        // its brackets, and whether it leaves ASCII.
        std::size_t end = 2, n = url.size();
        unsigned char seen = 0, cls = 0;
        if constexpr (swar::kUsable) {
            for (; end + 8 <= n; end += 8) {
                std::uint64_t w = swar::load(url.data() + end);
                std::uint64_t stop = swar::equal(w, '/') | swar::equal(w, '?') | swar::equal(w, '#');
                std::uint64_t open = swar::equal(w, '['), close = swar::equal(w, ']');
                if (swar::before(open, stop)) seen |= kOpen;
                if (swar::before(close, stop)) seen |= kClose;
                if (swar::before(w & swar::kHighs, stop)) seen |= kNonAscii;
                if (stop) {
                    end += swar::first(stop);
                    break;
                }
            }
        }
        if (end >= n || !(kNetlocClass[static_cast<unsigned char>(url[end])] & kNetlocEnd))
            for (; end < n && !((cls = kNetlocClass[static_cast<unsigned char>(url[end])]) & kNetlocEnd); ++end)
                seen |= cls;
        sv netloc = url.substr(2, end - 2);
        url.remove_prefix(end);
        bool open = seen & kOpen, close = seen & kClose;
        if (open != close) throw InvalidUrl("Invalid IPv6 URL");
        if (open) check_bracketed_netloc(netloc);
        p.netloc = netloc;
        ascii_netloc = !(seen & kNonAscii);
    }
    if (std::size_t hash = url.find('#'); hash != npos) {
        p.fragment = url.substr(hash + 1);
        url = url.substr(0, hash);
    }
    if (std::size_t q = url.find('?'); q != npos) {
        p.query = url.substr(q + 1);
        url = url.substr(0, q);
    }
    if (!ascii_netloc) check_netloc(p.netloc);

    if (text::contains(url, ";") && uses_params(p.scheme)) {
        std::size_t slash = url.rfind('/');
        std::size_t semi = url.find(';', slash == npos ? 0 : slash);
        if (semi != npos) {
            p.params = url.substr(semi + 1);
            url = url.substr(0, semi);
        }
    }
    p.path = url;
}

void append_unsplit_head(std::string& out, sv scheme, sv netloc, sv path, sv params) {
    std::size_t start = out.size();
    out.resize(start + scheme.size() + netloc.size() + path.size() + params.size() + 6);
    char* d = out.data() + start;
    auto put = [&d](sv s) {
        if (!s.empty()) std::memcpy(d, s.data(), s.size());
        d += s.size();
    };
    if (!scheme.empty()) {
        put(scheme);
        *d++ = ':';
    }
    // urlunsplit sees the path with its parameters appended: that text is
    // empty only when both are, and starts with "//" exactly when the path
    // does.
    bool slashes = text::starts_with(path, "//");
    if (!netloc.empty()) {
        put("//");
        put(netloc);
        if (path.empty() ? !params.empty() : path[0] != '/') *d++ = '/';
    } else if (host_rules().unsplit_keeps_relative_path) {
        bool absent_or_rooted = path.empty() ? params.empty() : path[0] == '/';
        if (slashes || (!scheme.empty() && uses_netloc(scheme) && absent_or_rooted)) put("//");
    } else if (!scheme.empty() && uses_netloc(scheme) && !slashes) {
        put("//");
        if (path.empty() ? !params.empty() : path[0] != '/') *d++ = '/';
    }
    put(path);
    if (!params.empty()) {
        *d++ = ';';
        put(params);
    }
    out.resize(static_cast<std::size_t>(d - out.data()));
}

std::string join_url(sv scheme, sv netloc, sv path, sv params, sv query, sv fragment) {
    std::string out;
    out.reserve(scheme.size() + netloc.size() + path.size() + params.size() + query.size() +
                fragment.size() + 8);
    append_unsplit_head(out, scheme, netloc, path, params);
    if (!query.empty()) {
        out += '?';
        out += query;
    }
    if (!fragment.empty()) {
        out += '#';
        out += fragment;
    }
    return out;
}

QueryFields::QueryFields(sv query) {
    for_each_field(query, [&](sv raw_name, sv raw_value) {
        std::size_t off = arena_.size();
        bool decoded = !unquote_keeps(raw_name);
        if (decoded) append_unquote_plus(raw_name, arena_);
        sv name = decoded ? sv(arena_).substr(off) : raw_name;
        const char* limit = decoded ? arena_.data() + arena_.size() : query.data() + query.size();
        std::uint64_t key = prefix_key(name, limit);
        std::size_t hash = 0;
        std::size_t at = find(name, key, hash);
        if (at == kNone) {
            at = names_.size();
            names_.push_back(Name{raw_name.data(), raw_name.size(), off, name.size(), key, decoded, kNone, kNone, hash});
            if (!slots_.empty()) {
                // find() left the empty slot for the name at `hash`
                std::size_t mask = slots_.size() - 1, i = hash & mask;
                while (slots_[i]) i = (i + 1) & mask;
                slots_[i] = at + 1;
            }
        } else if (decoded) {
            arena_.resize(off);  // the name is known: its decoding is not kept
        }
        Name& n = names_[at];
        values_.push_back(Value{raw_value.data(), raw_value.size(), kNone});
        std::size_t v = values_.size() - 1;
        if (n.last == kNone) n.first = v;
        else values_[n.last].next = v;
        n.last = v;
        return true;
    });
}

std::size_t QueryFields::find(sv name, std::uint64_t key, std::size_t& hash) {
    constexpr std::size_t kLinearLimit = 16;
    auto same = [&](const Name& n) { return n.key == key && n.len == name.size() && text_of(n) == name; };
    if (names_.size() <= kLinearLimit) {
        for (std::size_t k = 0; k < names_.size(); ++k)
            if (same(names_[k])) return k;
        return kNone;
    }
    auto hash_of = [](sv s) { return std::hash<sv>{}(s); };
    if (slots_.size() <= names_.size() * 2) {  // (re)build at a quarter full
        std::size_t n = 64;
        while (n < names_.size() * 4) n *= 2;
        slots_.assign(n, 0);
        for (std::size_t k = 0; k < names_.size(); ++k) {
            Name& e = names_[k];
            if (e.hash == 0) e.hash = hash_of(text_of(e)) | 1;
            std::size_t i = e.hash & (n - 1);
            while (slots_[i]) i = (i + 1) & (n - 1);
            slots_[i] = k + 1;
        }
    }
    hash = hash_of(name) | 1;  // never 0, which marks a name not hashed yet
    std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask; slots_[i]; i = (i + 1) & mask) {
        const Name& n = names_[slots_[i] - 1];
        if (n.hash == hash && same(n)) return slots_[i] - 1;
    }
    return kNone;
}

LowerCaseNames::LowerCaseNames(const sv* names, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        sv name = names[i];
        if (name.empty() || name.size() >= first_letters_.size())
            throw std::logic_error("a name of 1 to 16 bytes");
        names_.push_back({name, prefix_key(name, name.data())});
        first_letters_[name.size()] |= std::uint64_t{1} << (name[0] & 63);
    }
    std::stable_sort(names_.begin(), names_.end(),
                     [](const Entry& a, const Entry& b) { return a.name.size() < b.name.size(); });
    for (std::size_t n = 0, i = 0; n < from_.size(); ++n) {
        while (i < names_.size() && names_[i].name.size() < n) ++i;
        from_[n] = i;
    }
}

bool LowerCaseNames::contains_unicode(sv name) const {
    std::string low = text::lower(name);
    return std::any_of(names_.begin(), names_.end(), [&](const Entry& e) { return e.name == low; });
}

bool LowerCaseNames::contains_ascii(sv name, std::uint64_t low) const {
    for (std::size_t k = from_[name.size()]; k < from_[name.size() + 1]; ++k) {
        const Entry& e = names_[k];
        if (e.key != low) continue;
        bool same = true;
        for (std::size_t i = 8; i < name.size(); ++i) {
            char c = name[i];
            same = same && (c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c) == e.name[i];
        }
        if (same) return true;
    }
    return false;
}

UrlParts urlparse(std::string_view url) {
    Split p;
    split_url(url, p);
    return UrlParts{std::string(p.scheme), std::string(p.netloc), std::string(p.path),
                    std::string(p.params), std::string(p.query), std::string(p.fragment)};
}

std::string urlunparse(const UrlParts& parts) {
    return join_url(parts.scheme, parts.netloc, parts.path, parts.params, parts.query, parts.fragment);
}

}  // namespace quillmere::url
