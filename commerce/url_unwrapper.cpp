// Unwrapping of result links: one level of search redirect followed,
// tracking parameters dropped from the query, text-fragment directives
// dropped from the fragment. The link grammar itself is urlparse's.
//
// Where the time goes is written down in bench/bench_url.py.

#include "commerce/url_unwrapper.hpp"

#include <algorithm>
#include <cstring>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "commerce/text.hpp"
#include "commerce/vocabulary.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quillmere::url {
namespace {

using sv = std::string_view;
constexpr auto npos = sv::npos;

const LowerCaseNames kTracking(vocab::TRACKING_PARAMS.data(), vocab::TRACKING_PARAMS.size());

// Room to write into through a pointer, without the zero-filling of
// std::string::resize: one buffer per thread that only grows, up to a size
// worth keeping; larger room is taken for the call alone.
class Scratch {
public:
    explicit Scratch(std::size_t n) {
        constexpr std::size_t kKept = 64 * 1024;
        thread_local std::unique_ptr<char[]> kept;
        thread_local std::size_t kept_size = 0;
        if (n > kKept) {
            own_.reset(new char[n]);
            data_ = own_.get();
            return;
        }
        if (kept_size < n) {
            kept.reset(new char[kKept]);
            kept_size = kKept;
        }
        data_ = kept.get();
    }
    char* data() const { return data_; }

private:
    std::unique_ptr<char[]> own_;
    char* data_ = nullptr;
};

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
    } kept[kMostNames];
    std::size_t n_kept = 0;
    std::uint64_t kept_bits = 0;  // one bit per kept name, by its tag: most new names miss
    // Decoded names, when they hold "%" or "+": decoding does not lengthen,
    // so one buffer of the query's size holds them all.
    char small[128];
    std::string large;
    char* arena = query.size() <= sizeof small ? small : nullptr;
    std::size_t arena_used = 0;

    // Written through a pointer into scratch room first (no byte is written
    // as more than three), then appended at once.
    Scratch room(3 * query.size());
    char* const base = room.data();
    char* dst = base;
    const char* const q = query.data();
    const std::size_t n = query.size();
    bool ok = true;
    for (std::size_t start = 0; start <= n && ok;) {
        unsigned char seen = 0;
        std::size_t eq = scan_field_name(query, start, seen);
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
        if (seen & kFieldCoded) {
            if (!arena) arena = (large.resize(n), large.data());
            std::size_t len = unquote_plus_to(raw_name, arena + arena_used);
            if (len == npos) return false;
            name = sv(arena + arena_used, len);
            arena_used += len;
            limit = arena + arena_used;
        }
        bool ascii = (seen & kFieldCoded) ? text::is_ascii(name) : !(seen & kFieldHigh);
        sv value = query.substr(eq + 1);
        if (ascii ? kTracking.may_hold_ascii(name) && kTracking.contains(name, prefix_key(name, limit), true)
                  : kTracking.contains(name, 0, false)) {
            std::size_t amp = value.find('&');
            start = amp == npos ? n + 1 : eq + 1 + amp + 1;
            continue;
        }
        // Names seen before, by a tag of their length and first and last
        // bytes: a new name is compared with the kept ones only when its tag
        // was seen.
        unsigned tag = name.empty() ? 0u
                                    : (static_cast<unsigned char>(name[0]) * 7u ^ static_cast<unsigned>(name.size()) ^
                                       static_cast<unsigned char>(name.back()) * 3u);
        std::uint64_t bit = std::uint64_t{1} << (tag & 63);
        if (kept_bits & bit) {  // perhaps seen before
            for (std::size_t k = 0; k < n_kept && ok; ++k)
                ok = !(kept[k].len == name.size() && std::memcmp(kept[k].text, name.data(), name.size()) == 0);
        }
        if (!ok || n_kept == kMostNames) return false;
        kept[n_kept++] = {name.data(), name.size()};
        kept_bits |= bit;

        if (dst != base) *dst++ = '&';
        // The name is read up to its "=", so that it is copied sixteen
        // bytes at a time like the values.
        ok = requote_plus_until(query.substr(start), '=', dst) == raw_name.size();
        *dst++ = '=';
        std::size_t used = ok ? requote_plus_until(value, '&', dst) : npos;
        ok = used != npos;
        start = eq + 1 + used + 1;
    }
    if (!ok) return false;
    out.append(base, static_cast<std::size_t>(dst - base));
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
        if (kTracking.contains(name, prefix_key(name, end), text::is_ascii(name))) continue;
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

// Whether every byte of the link allows the usual reading: none is a
// control, space, DEL or above ASCII, a bracket or ";". Sixteen at a time.
bool usual_bytes(sv url) {
    const std::size_t n = url.size();
#if defined(__SSE2__)
    auto unusual = [](const char* p) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i low = _mm_cmpeq_epi8(_mm_max_epu8(v, _mm_set1_epi8(0x20)), _mm_set1_epi8(0x20));    // <= 0x20
        __m128i high = _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x7F)), _mm_set1_epi8(0x7F));  // >= 0x7F
        __m128i marks = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('[')),
                                                  _mm_cmpeq_epi8(v, _mm_set1_epi8(']'))),
                                     _mm_cmpeq_epi8(v, _mm_set1_epi8(';')));
        return _mm_or_si128(_mm_or_si128(low, high), marks);
    };
    if (n < 16) {
        char pad[16];
        std::memset(pad, 'a', sizeof pad);
        std::memcpy(pad, url.data(), n);
        return !_mm_movemask_epi8(unusual(pad));
    }
    __m128i any = _mm_setzero_si128();
    for (std::size_t at = 0; at + 16 <= n; at += 16) any = _mm_or_si128(any, unusual(url.data() + at));
    any = _mm_or_si128(any, unusual(url.data() + n - 16));  // the rest, in the block ending the link
    return !_mm_movemask_epi8(any);
#else
    for (char ch : url) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c <= 0x20 || c >= 0x7F || c == '[' || c == ']' || c == ';') return false;
    }
    return true;
#endif
}

// The usual result link, "http://" or "https://" and a host, in printable
// ASCII with neither brackets nor parameters, not a search redirect, its
// query and fragment (when there) not empty: such a link splits and joins
// back as it was, so only its query and fragment can change, and it is read
// in one pass. False for any other link (the general reading takes it),
// else `same` tells whether the clean link is the link itself; if not, it
// is in `out`.
bool unwrap_usual(sv url, std::string& out, bool& same) {
    std::size_t head = text::starts_with(url, "https://") ? 8 : text::starts_with(url, "http://") ? 7 : 0;
    if (!head || !usual_bytes(url)) return false;
    struct {
        std::size_t query, fragment;
    } at{url.find('?'), url.find('#')};
    const std::size_t n = url.size();
    std::size_t path_end = std::min({at.query, at.fragment, n});
    std::size_t host_end = std::min(url.substr(0, path_end).find('/', head), path_end);
    if (host_end == head) return false;
    sv host = url.substr(head, host_end - head), path = url.substr(host_end, path_end - host_end);
    if (path == "/url" && is_search_host(host)) return false;
    bool has_query = at.query < std::min(at.fragment, n);
    sv query = has_query ? url.substr(at.query + 1, std::min(at.fragment, n) - at.query - 1) : sv();
    sv fragment = at.fragment < n ? url.substr(at.fragment + 1) : sv();
    if ((has_query && query.empty()) || (at.fragment != npos && fragment.empty())) return false;
    bool keeps_fragment = fragment.empty() || !drops_fragment(fragment);
    if (!has_query && keeps_fragment) return same = true;

    out.assign(url.data(), path_end);
    if (has_query) {
        out.push_back('?');
        append_clean_query(query, out);
        if (out.size() == path_end + 1) out.resize(path_end);  // nothing kept: no "?" either
    }
    if (!fragment.empty() && keeps_fragment) {
        out.push_back('#');
        out += fragment;
    }
    same = out == url;
    return true;
}

}  // namespace

bool unwrap(std::string_view url, std::string& out) {
    out.clear();
    if (url.empty()) return true;
    if (bool same; unwrap_usual(url, out, same)) return same;
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
    return out == url;
}

std::string unwrap(std::string_view url) {
    std::string out;
    if (unwrap(url, out)) return std::string(url);
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
