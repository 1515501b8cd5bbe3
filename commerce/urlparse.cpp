// urllib.parse's splitting, joining, unquoting and quoting, byte for byte.

#include "commerce/urlparse.hpp"

#include <algorithm>
#include <iterator>
#include <optional>
#include <vector>

#include "commerce/text.hpp"

namespace quillmere::url {
namespace {

using sv = std::string_view;
constexpr auto npos = sv::npos;

#include "url_tables.inc"

template <std::size_t N>
bool one_of(sv s, const sv (&list)[N]) {
    return std::find(std::begin(list), std::end(list), s) != std::end(list);
}

bool uses_netloc(sv scheme) { return one_of(scheme, kUsesNetloc); }
bool uses_params(sv scheme) { return one_of(scheme, kUsesParams); }

bool is_ascii_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }
bool is_hex(char c) { return is_ascii_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool is_scheme_char(char c) {
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

// urllib.parse._checknetloc: no character may turn into a delimiter under NFKC.
void check_netloc(sv netloc) {
    if (text::is_ascii(netloc)) return;
    for (std::size_t i = 0; i < netloc.size();) {
        if (text::is_nfkc_delimiter(text::next_code_point(netloc, i)))
            throw InvalidUrl("netloc '" + std::string(netloc) +
                             "' contains invalid characters under NFKC normalization");
    }
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool always_safe(unsigned char c) {
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

// First position at or after `from` holding one of the bytes in `set`
// (a short loop beats find_first_of's per-byte search of the set).
template <std::size_t N>
std::size_t find_any(sv s, const char (&set)[N], std::size_t from = 0) {
    for (std::size_t i = from; i < s.size(); ++i) {
        char c = s[i];
        for (std::size_t k = 0; k + 1 < N; ++k)
            if (c == set[k]) return i;
    }
    return npos;
}

}  // namespace

// unquote_plus(s, "utf-8", "replace"). Percent escapes are decoded within
// runs of ASCII characters; other characters are copied as they are.
std::string unquote_plus(sv s) {
    std::string out;
    out.reserve(s.size());
    if (!text::contains(s, "%")) {
        for (char c : s) out.push_back(c == '+' ? ' ' : c);
        return out;
    }
    std::string bytes;
    std::size_t i = 0, n = s.size();
    while (i < n) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x80) {
            std::size_t j = i;
            while (j < n && static_cast<unsigned char>(s[j]) >= 0x80) ++j;
            out.append(s.substr(i, j - i));
            i = j;
            continue;
        }
        bytes.clear();
        bool escaped = false;
        for (; i < n && static_cast<unsigned char>(s[i]) < 0x80; ++i) {
            char d = s[i];
            int h1, h2;
            if (d == '%' && i + 2 < n && (h1 = hex_value(s[i + 1])) >= 0 &&
                (h2 = hex_value(s[i + 2])) >= 0) {
                bytes.push_back(static_cast<char>(h1 * 16 + h2));
                escaped = true;
                i += 2;
            } else {
                bytes.push_back(d == '+' ? ' ' : d);
            }
        }
        if (escaped) {
            text::decode_utf8_replace(bytes, out);
        } else {
            out += bytes;
        }
    }
    return out;
}

// quote_plus(s): UTF-8 bytes, only ASCII letters, digits and "_.-~" left as
// they are, a space written as "+".
void append_quote_plus(sv s, std::string& out) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < s.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (always_safe(c)) {
            out.push_back(static_cast<char>(c));
        } else if (c == ' ') {
            out.push_back('+');
        } else {
            if (c == 0xED && surrogate_at(s, i)) unencodable(s, i);
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 15]);
        }
    }
}

void split_url(sv input, Split& p) {
    // Leading C0 controls and spaces go; tabs and line breaks go everywhere.
    std::size_t lead = 0;
    while (lead < input.size() && static_cast<unsigned char>(input[lead]) <= 0x20) ++lead;
    input.remove_prefix(lead);
    if (find_any(input, "\t\r\n") != npos) {
        p.cleaned.reserve(input.size());
        for (char c : input)
            if (c != '\t' && c != '\r' && c != '\n') p.cleaned.push_back(c);
        input = p.cleaned;
    }

    sv url = input;
    std::size_t colon = url.find(':');
    if (colon != npos && colon > 0 && is_ascii_alpha(url[0]) &&
        std::all_of(url.begin(), url.begin() + colon, is_scheme_char)) {
        for (char c : url.substr(0, colon))
            p.scheme.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c);
        url.remove_prefix(colon + 1);
    }
    if (text::starts_with(url, "//")) {
        std::size_t end = find_any(url, "/?#", 2);
        if (end == npos) end = url.size();
        sv netloc = url.substr(2, end - 2);
        url.remove_prefix(end);
        bool open = text::contains(netloc, "["), close = text::contains(netloc, "]");
        if (open != close) throw InvalidUrl("Invalid IPv6 URL");
        if (open) {
            sv after = netloc.substr(netloc.find('[') + 1);
            check_bracketed_host(after.substr(0, after.find(']')));
        }
        p.netloc = netloc;
    }
    if (std::size_t hash = url.find('#'); hash != npos) {
        p.fragment = url.substr(hash + 1);
        url = url.substr(0, hash);
    }
    if (std::size_t q = url.find('?'); q != npos) {
        p.query = url.substr(q + 1);
        url = url.substr(0, q);
    }
    check_netloc(p.netloc);

    if (uses_params(p.scheme) && text::contains(url, ";")) {
        std::size_t slash = url.rfind('/');
        std::size_t semi = url.find(';', slash == npos ? 0 : slash);
        if (semi != npos) {
            p.params = url.substr(semi + 1);
            url = url.substr(0, semi);
        }
    }
    p.path = url;
}

// urlunparse((scheme, netloc, path, params, query, fragment)).
std::string join_url(sv scheme, sv netloc, sv path, sv params, sv query, sv fragment) {
    std::string out;
    out.reserve(scheme.size() + netloc.size() + path.size() + params.size() + query.size() +
                fragment.size() + 8);
    if (!scheme.empty()) {
        out += scheme;
        out += ':';
    }
    // urlunsplit sees the path with its parameters appended: that text is
    // empty only when both are, and starts with "//" exactly when the path
    // does.
    bool slashes = text::starts_with(path, "//");
    if (!netloc.empty()) {
        out += "//";
        out += netloc;
        if (path.empty() ? !params.empty() : path[0] != '/') out += '/';
    } else if (kUnsplitKeepsRelativePath) {
        bool absent_or_rooted = path.empty() ? params.empty() : path[0] == '/';
        if (slashes || (!scheme.empty() && uses_netloc(scheme) && absent_or_rooted)) out += "//";
    } else if (!scheme.empty() && uses_netloc(scheme) && !slashes) {
        out += "//";
        if (path.empty() ? !params.empty() : path[0] != '/') out += '/';
    }
    out += path;
    if (!params.empty()) {
        out += ';';
        out += params;
    }
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

UrlParts urlparse(std::string_view url) {
    Split p;
    split_url(url, p);
    return UrlParts{std::move(p.scheme), std::string(p.netloc), std::string(p.path),
                    std::string(p.params), std::string(p.query), std::string(p.fragment)};
}

std::string urlunparse(const UrlParts& parts) {
    return join_url(parts.scheme, parts.netloc, parts.path, parts.params, parts.query, parts.fragment);
}

}  // namespace quillmere::url
