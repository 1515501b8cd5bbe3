// Unwrapping of result links: one level of search redirect followed,
// tracking parameters dropped from the query, text-fragment directives
// dropped from the fragment. The link grammar itself is urlparse's.
//
// Where the time went before this shape (callgrind, links harvested from
// shop pages and a 20-parameter query): allocation was about 40 % of the
// instructions (a decoded name, a lower-cased name, a decoded value and a
// vector per parameter, the query and the result built apart), hashing the
// names of queries with more than 16 names 20 %, decoding and re-encoding
// every value 20 %, and the byte-by-byte search for tabs and line breaks
// most of the splitting. Now the query is read once, names and values stay
// views into the link, a value is re-encoded straight from its raw text,
// and the result is written into one buffer.

#include "commerce/url_unwrapper.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "commerce/text.hpp"
#include "commerce/vocabulary.hpp"

namespace quillmere::url {
namespace {

using sv = std::string_view;
constexpr auto npos = sv::npos;

// The tracking names with their prefix keys, and for each length the
// first bytes (modulo 64) of the names of that length, so that most other
// names are told apart with one test.
struct TrackingName {
    sv name;
    std::uint64_t key;
};
constexpr std::size_t kLongestTracking = 12;  // "utm_campaign"
static_assert(std::all_of(vocab::TRACKING_PARAMS.begin(), vocab::TRACKING_PARAMS.end(),
                          [](sv name) { return !name.empty() && name.size() <= kLongestTracking; }));
// Sorted by length; those of length n are at [kTracking.from[n], kTracking.from[n + 1]).
const struct TrackingTable {
    std::array<TrackingName, vocab::TRACKING_PARAMS.size()> names;
    std::array<std::size_t, kLongestTracking + 2> from;
} kTracking = [] {
    TrackingTable t{};
    for (std::size_t i = 0; i < t.names.size(); ++i) {
        sv name = vocab::TRACKING_PARAMS[i];
        t.names[i] = {name, prefix_key(name, name.data())};
    }
    std::stable_sort(t.names.begin(), t.names.end(),
                     [](const TrackingName& a, const TrackingName& b) { return a.name.size() < b.name.size(); });
    for (std::size_t n = 0, i = 0; n < t.from.size(); ++n) {
        while (i < t.names.size() && t.names[i].name.size() < n) ++i;
        t.from[n] = i;
    }
    return t;
}();
constexpr std::array<std::uint64_t, kLongestTracking + 1> kFirstLetters = [] {
    std::array<std::uint64_t, kLongestTracking + 1> t{};
    for (sv name : vocab::TRACKING_PARAMS) t[name.size()] |= std::uint64_t{1} << (name[0] & 63);
    return t;
}();

// ASCII upper-case letters of a prefix key made lower case, eight at once
// (every byte below 0x80).
std::uint64_t ascii_lower(std::uint64_t w) {
    constexpr std::uint64_t ones = 0x0101010101010101ull;
    std::uint64_t at_least_a = w + ones * (0x80 - 'A'), above_z = w + ones * (0x7F - 'Z');
    return w | (((at_least_a & ~above_z) & ones * 0x80) >> 2);
}

// Whether the lower-case form of a decoded name is a tracking name. Only a
// name outside ASCII needs full Unicode lower-casing (the Kelvin sign
// lower-cases to "k"); an ASCII one is compared by its lower-cased key.
[[gnu::noinline]] bool is_tracking_unicode(sv name) {
    std::string low = text::lower(name);
    return std::any_of(kTracking.names.begin(), kTracking.names.end(),
                       [&](const TrackingName& t) { return t.name == low; });
}

[[gnu::noinline]] bool is_tracking_ascii(sv name, std::uint64_t low) {
    for (std::size_t k = kTracking.from[name.size()]; k < kTracking.from[name.size() + 1]; ++k) {
        const TrackingName& t = kTracking.names[k];
        if (t.key != low) continue;
        bool same = true;
        for (std::size_t i = 8; i < name.size(); ++i) {
            char c = name[i];
            same = same && (c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c) == t.name[i];
        }
        if (same) return true;
    }
    return false;
}

inline bool is_tracking(sv name, std::uint64_t key, bool ascii) {
    if (!ascii) return is_tracking_unicode(name);
    if (name.size() > kLongestTracking) return false;
    std::uint64_t low = ascii_lower(key);
    if (!(kFirstLetters[name.size()] & (std::uint64_t{1} << (low & 63)))) return false;
    return is_tracking_ascii(name, low);
}

// "=" ends a name, "&" a field; "%" and "+" are what unquote changes.
enum : unsigned char { kEquals = 1, kAmp = 2, kCoded = 4, kHigh = 8 };
constexpr std::array<unsigned char, 256> kNameClass = [] {
    std::array<unsigned char, 256> t{};
    t['='] = kEquals;
    t['&'] = kAmp;
    t['%'] = t['+'] = kCoded;
    for (int c = 0x80; c < 0x100; ++c) t[c] = kHigh;
    return t;
}();

// The end of the name of the field at `start` (the first "=" or "&", or n),
// and in `seen` the classes of the bytes before it; eight bytes at a time
// where the machine is little-endian.
std::size_t scan_name(const char* q, std::size_t start, std::size_t n, unsigned char& seen) {
    std::size_t i = start;
    unsigned char bits = 0;
    if constexpr (swar::kUsable) {
        for (; i + 8 <= n; i += 8) {
            std::uint64_t w = swar::load(q + i);
            std::uint64_t stop = swar::equal(w, '=') | swar::equal(w, '&');
            std::uint64_t coded = swar::equal(w, '%') | swar::equal(w, '+');
            if (swar::before(coded, stop)) bits |= kCoded;
            if (swar::before(w & swar::kHighs, stop)) bits |= kHigh;
            if (stop) {
                seen = bits;
                return i + swar::first(stop);
            }
        }
    }
    for (unsigned char cls; i < n && !((cls = kNameClass[static_cast<unsigned char>(q[i])]) & (kEquals | kAmp)); ++i)
        bits |= cls;
    seen = bits;
    return i;
}

// The query as parse_qs, the tracking filter and urlencode(doseq=True) see
// it, written in one pass for the usual query: every kept name appears
// once, so the pairs come out in the order they are read. Returns false,
// with `out` as it was, for any other query (a kept name repeated, many
// names, a value the one-pass re-encoding cannot decide alone).
bool append_clean_query_in_one_pass(sv query, std::string& out) {
    constexpr std::size_t kMostNames = 24;
    struct Kept {
        const char* text;
        std::size_t len;
        std::uint64_t key;
    } kept[kMostNames];
    std::size_t n_kept = 0;
    std::uint64_t kept_bits = 0;  // one bit per kept name, by its key: most new names miss
    // Decoded names, when they hold "%" or "+": decoding does not lengthen,
    // so one buffer of the query's size holds them all.
    char small[128];
    std::string large;
    char* arena = query.size() <= sizeof small ? small : nullptr;
    std::size_t arena_used = 0;

    const std::size_t mark = out.size();
    out.resize(mark + 3 * query.size());  // no byte is written as more than three
    char* const base = out.data();
    char* dst = base + mark;
    const char* const q = query.data();
    const std::size_t n = query.size();
    bool ok = true;
    for (std::size_t start = 0; start <= n && ok;) {
        unsigned char seen = 0;
        std::size_t eq = scan_name(q, start, n, seen);
        if (eq == n || q[eq] == '&') {  // a field without "="
            start = eq + 1;
            continue;
        }
        if (eq + 1 == n || q[eq + 1] == '&') {  // an empty value
            start = eq + 2;
            continue;
        }
        sv raw_name(q + start, eq - start), name = raw_name;
        const char* limit = q + n;
        if (seen & kCoded) {
            if (!arena) arena = (large.resize(n), large.data());
            std::size_t len = unquote_plus_to(raw_name, arena + arena_used);
            if (len == npos) return out.resize(mark), false;
            name = sv(arena + arena_used, len);
            arena_used += len;
            limit = arena + arena_used;
        }
        std::uint64_t key = prefix_key(name, limit);
        bool ascii = (seen & kCoded) ? text::is_ascii(name) : !(seen & kHigh);
        sv value = query.substr(eq + 1);
        if (is_tracking(name, key, ascii)) {
            std::size_t amp = value.find('&');
            start = amp == npos ? n + 1 : eq + 1 + amp + 1;
            continue;
        }
        std::uint64_t bit = std::uint64_t{1} << ((key ^ (key >> 29) ^ name.size()) & 63);
        if (kept_bits & bit) {  // perhaps seen before
            for (std::size_t k = 0; k < n_kept && ok; ++k)
                ok = !(kept[k].key == key && kept[k].len == name.size() && sv(kept[k].text, kept[k].len) == name);
        }
        if (!ok || n_kept == kMostNames) return out.resize(mark), false;
        kept[n_kept++] = {name.data(), name.size(), key};
        kept_bits |= bit;

        if (dst != base + mark) *dst++ = '&';
        ok = requote_plus_until(raw_name, -1, dst) != npos;
        *dst++ = '=';
        std::size_t used = ok ? requote_plus_until(value, '&', dst) : npos;
        ok = used != npos;
        start = eq + 1 + used + 1;
    }
    if (!ok) return out.resize(mark), false;
    out.resize(static_cast<std::size_t>(dst - base));
    return true;
}

// The same for any query: parsed into names with their values first.
void append_clean_query(sv query, std::string& out) {
    if (append_clean_query_in_one_pass(query, out)) return;
    QueryFields fields(query);
    std::string scratch, quoted_name;
    bool first = true;
    for (std::size_t k = 0; k < fields.size(); ++k) {
        sv name = fields.name(k);
        const char* end = name.data() + name.size();
        if (is_tracking(name, prefix_key(name, end), text::is_ascii(name))) continue;
        quoted_name.clear();
        append_requote_plus(fields.raw_name(k), quoted_name, scratch);
        fields.for_each_value(k, [&](sv raw_value) {
            if (!first) out.push_back('&');
            first = false;
            out += quoted_name;
            out.push_back('=');
            append_requote_plus(raw_value, out, scratch);
        });
    }
}

// The network location names the search service: its label followed by a
// dot, anywhere.
bool is_search_host(sv netloc) {
    constexpr sv label = vocab::SEARCH_REDIRECT_LABEL;
    for (std::size_t at = netloc.find(label); at != npos; at = netloc.find(label, at + 1))
        if (at + label.size() < netloc.size() && netloc[at + label.size()] == '.') return true;
    return false;
}

// The first value of "q", else of "url", in the redirect's query, decoded
// into `target`; false when there is neither.
bool redirect_target(sv query, std::string& target) {
    sv q_raw, url_raw;
    bool has_q = false, has_url = false;
    std::string scratch;
    for_each_field(query, [&](sv raw_name, sv raw_value) {
        sv name = raw_name;
        if (!unquote_keeps(raw_name)) {
            scratch.clear();
            append_unquote_plus(raw_name, scratch);
            name = scratch;
        }
        if (name == "q") {
            q_raw = raw_value;
            has_q = true;
            return false;
        }
        if (name == "url" && !has_url) {
            url_raw = raw_value;
            has_url = true;
        }
        return true;
    });
    if (!has_q && !has_url) return false;
    append_unquote_plus(has_q ? q_raw : url_raw, target);
    return true;
}

bool drops_fragment(sv fragment) {
    return text::contains(fragment, ":~:text=") || text::starts_with(fragment, ":~:");
}

}  // namespace

void unwrap(std::string_view url, std::string& out) {
    out.clear();
    if (url.empty()) return;
    Split outer;
    split_url(url, outer);
    Split inner;
    const Split* p = &outer;
    std::string target;
    if (outer.path == "/url" && is_search_host(outer.netloc) && redirect_target(outer.query, target)) {
        split_url(target, inner);
        p = &inner;
    }

    // The query's re-encoding may take three bytes for one.
    out.reserve(p->scheme.size() + p->netloc.size() + p->path.size() + p->params.size() +
                3 * p->query.size() + p->fragment.size() + 8);
    append_unsplit_head(out, p->scheme, p->netloc, p->path, p->params);
    if (!p->query.empty()) {
        std::size_t mark = out.size();
        out.push_back('?');
        append_clean_query(p->query, out);
        if (out.size() == mark + 1) out.resize(mark);  // nothing kept: no "?" either
    }
    if (!p->fragment.empty() && !drops_fragment(p->fragment)) {
        out.push_back('#');
        out += p->fragment;
    }
}

std::string unwrap(std::string_view url) {
    std::string out;
    unwrap(url, out);
    return out;
}

std::string extract_domain(std::string_view url) {
    if (url.empty()) return {};
    Split p;
    split_url(url, p);
    std::string host = text::lower(p.netloc);
    if (text::starts_with(host, "www.")) host.erase(0, 4);
    return host;
}

}  // namespace quillmere::url
