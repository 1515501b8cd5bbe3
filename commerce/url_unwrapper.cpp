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
#include <optional>
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
        struct Kept {
            std::unique_ptr<char[]> room;
            std::size_t size = 0;
        };
        thread_local Kept kept;  // one look-up of the thread's storage per call
        if (n > kKept) {
            own_.reset(new char[n]);
            data_ = own_.get();
            return;
        }
        Kept& k = kept;
        if (k.size < n) {
            k.room.reset(new char[kKept]);
            k.size = kKept;
        }
        data_ = k.room.get();
    }
    char* data() const { return data_; }

private:
    std::unique_ptr<char[]> own_;
    char* data_ = nullptr;
};

// What the bytes of a query field's name hold.
enum FieldNameBits : unsigned char {
    kFieldCoded = 1,    // "%" or "+": the name is compared decoded
    kFieldHigh = 2,     // bytes above ASCII
    kFieldChanged = 4,  // bytes the re-encoding changes
    kFieldEnd = 8,      // "=" or "&"
};
constexpr std::array<unsigned char, 256> kNameBits = [] {
    std::array<unsigned char, 256> t{};
    for (int c = 0; c < 256; ++c) t[c] = detail::kVerbatim[c] ? 0 : kFieldChanged;
    t['='] = t['&'] = kFieldEnd;
    t['%'] |= kFieldCoded;
    t['+'] |= kFieldCoded;
    for (int c = 0x80; c < 0x100; ++c) t[c] |= kFieldHigh;
    return t;
}();

// Copies the name of the query field at `i` to `d` as it is, and returns
// where it ends (its first "=" or "&", or the end of the query); `seen`
// tells what its bytes hold. Sixteen bytes are stored at a time, so `d` may
// be written past the name: it has room for three bytes per byte left.
std::size_t copy_field_name(sv query, std::size_t i, char* d, unsigned char& seen) {
    const char* q = query.data();
    const std::size_t n = query.size();
    unsigned char bits = 0;
#if defined(__SSE2__)
    for (; i + 16 <= n; i += 16, d += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d), v);
        unsigned stop = static_cast<unsigned>(_mm_movemask_epi8(
            _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('=')), _mm_cmpeq_epi8(v, _mm_set1_epi8('&')))));
        unsigned coded = static_cast<unsigned>(_mm_movemask_epi8(
            _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('%')), _mm_cmpeq_epi8(v, _mm_set1_epi8('+')))));
        unsigned high = static_cast<unsigned>(_mm_movemask_epi8(v));
        unsigned before = stop ? (stop & (0u - stop)) - 1 : 0xFFFFu;
        if (coded & before) bits |= kFieldCoded;
        if (high & before) bits |= kFieldHigh;
        if (detail::non_verbatim16(v) & before) bits |= kFieldChanged;
        if (stop) {
            seen = bits;
            return i + static_cast<std::size_t>(std::countr_zero(stop));
        }
    }
#endif
    for (unsigned char b; i < n && !((b = kNameBits[static_cast<unsigned char>(q[i])]) & kFieldEnd); ++i) {
        *d++ = q[i];
        bits |= b;
    }
    seen = bits;
    return i;
}

// The first "&" of s, else its size: a short value is usually found in one
// block.
std::size_t find_amp(sv s) {
#if defined(__SSE2__)
    std::size_t i = 0;
    for (; i + 16 <= s.size(); i += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.data() + i));
        if (unsigned m = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('&')))))
            return i + static_cast<std::size_t>(std::countr_zero(m));
    }
    for (; i < s.size(); ++i)
        if (s[i] == '&') return i;
    return s.size();
#else
    std::size_t at = s.find('&');
    return at == npos ? s.size() : at;
#endif
}

// The names a query's readings keep, told apart by a tag of their length
// and first and last bytes: a new name is compared with the kept ones only
// when its tag was seen before.
class KeptNames {
public:
    static constexpr std::size_t kMost = 64;
    // False when `name` is kept already or kMost names are: the reading
    // cannot decide the query alone. `name` must outlive the set.
    bool add(sv name) {
        unsigned tag = name.empty() ? 0u
                                    : (static_cast<unsigned char>(name[0]) * 7u ^ static_cast<unsigned>(name.size()) ^
                                       static_cast<unsigned char>(name.back()) * 3u);
        std::uint64_t& seen = seen_[(tag >> 6) & 1];
        std::uint64_t bit = std::uint64_t{1} << (tag & 63);
        if (seen & bit) {
            for (std::size_t k = 0; k < n_; ++k)
                if (kept_[k].len == name.size() && std::memcmp(kept_[k].text, name.data(), name.size()) == 0)
                    return false;
        }
        if (n_ == kMost) return false;
        kept_[n_++] = {name.data(), name.size()};
        seen |= bit;
        return true;
    }

private:
    struct Entry {  // plain, so the array is not cleared for every query
        const char* text;
        std::size_t len;
    } kept_[kMost];
    std::size_t n_ = 0;
    std::uint64_t seen_[2] = {};
};

// Names that hold "%" or "+" decoded, for comparing: decoding does not
// lengthen, so room of the query's size holds them all.
class DecodedNames {
public:
    explicit DecodedNames(std::size_t query_size) : size_(query_size) {}
    // The decoded name, or nullopt when an escaped run is not UTF-8.
    std::optional<sv> decode(sv raw_name) {
        if (!room_) {  // taken from the heap only for a long query that needs it
            if (size_ > sizeof small_) large_.reset(new char[size_]);
            room_ = large_ ? large_.get() : small_;
        }
        std::size_t len = unquote_plus_to(raw_name, room_ + used_);
        if (len == npos) return std::nullopt;
        sv name(room_ + used_, len);
        used_ += len;
        return name;
    }
    // Where the decoded text ends (prefix_key may read up to it).
    const char* end() const { return room_ + used_; }

private:
    std::size_t size_;
    char small_[1024];
    std::unique_ptr<char[]> large_;
    char* room_ = nullptr;
    std::size_t used_ = 0;
};

// Whether a decoded query name is a tracking parameter's; `limit` is the end
// of the buffer the name lies in (prefix_key reads up to it).
bool is_tracking(sv name, const char* limit, bool ascii) {
    if (!ascii) return kTracking.contains(name, 0, false);
    return kTracking.may_hold_ascii(name) && kTracking.contains(name, prefix_key(name, limit), true);
}

// The query as parse_qs, the tracking filter and urlencode(doseq=True) see
// it, written in one pass for the usual query: every kept name appears
// once, so the pairs come out in the order they are read. Returns false,
// with `out` as it was, for any other query (a kept name repeated, many
// names, a value the one-pass re-encoding cannot decide alone).
bool append_clean_query_in_one_pass(sv query, std::string& out) {
    KeptNames kept;
    DecodedNames decoded(query.size());

    // Written through a pointer into scratch room first (no byte is written
    // as more than three), then appended at once.
    Scratch room(3 * query.size());
    char* const base = room.data();
    char* dst = base;
    const char* const q = query.data();
    const std::size_t n = query.size();
    bool ok = true;
    for (std::size_t start = 0; start <= n && ok;) {
        // The field is written as it is read, and taken back if dropped.
        char* const field_out = dst;
        if (dst != base) *dst++ = '&';
        char* const name_out = dst;
        unsigned char seen = 0;
        std::size_t eq = copy_field_name(query, start, name_out, seen);
        if (eq == n || q[eq] == '&') {  // a field without "="
            dst = field_out;
            start = eq + 1;
            continue;
        }
        if (eq + 1 == n || q[eq + 1] == '&') {  // an empty value
            dst = field_out;
            start = eq + 2;
            continue;
        }
        sv raw_name(q + start, eq - start), name = raw_name;
        const char* limit = q + n;
        if (seen & kFieldCoded) {
            std::optional<sv> d = decoded.decode(raw_name);
            if (!d) return false;
            name = *d;
            limit = decoded.end();
        }
        bool ascii = (seen & kFieldCoded) ? text::is_ascii(name) : !(seen & kFieldHigh);
        sv value = query.substr(eq + 1);
        if (is_tracking(name, limit, ascii)) {
            dst = field_out;
            start = eq + 1 + find_amp(value) + 1;
            continue;
        }
        if (!kept.add(name)) return false;

        dst = name_out + raw_name.size();
        if (seen & kFieldChanged) {  // written again, re-encoded
            dst = name_out;
            if (requote_plus_until(raw_name, -1, dst) != raw_name.size()) return false;
        }
        *dst++ = '=';
        std::size_t used = requote_plus_until(value, '&', dst);
        ok = used != npos;
        start = eq + 1 + used + 1;
    }
    if (!ok) return false;
    out.append(base, static_cast<std::size_t>(dst - base));
    return true;
}

#if defined(__SSE2__)
// The usual query, up to a few kilobytes, as bitmaps of its bytes (a bit per
// byte): where the fields and names end, the bytes a name must be decoded
// for, and those the re-encoding changes. Each field is then found and
// checked by bit scans, and copied at once when nothing in it changes.
// Returns false, with `out` as it was, for a query the one pass must read
// (a name with "%", "+" or bytes above ASCII, a kept name repeated, many
// names, a value the re-encoding cannot decide alone).
class QueryBitmaps {
public:
    static constexpr std::size_t kMost = 2048;  // bytes

    explicit QueryBitmaps(sv query) : n_(query.size()) {
        // Each word made in registers from four blocks of sixteen bytes, then
        // stored; the last block is padded with a byte of no class.
        const char* q = query.data();
        std::size_t w = 0;
        for (std::size_t chunk = 0; chunk <= n_; chunk += 64, ++w) {
            Masks word;
            for (std::size_t at = chunk; at < chunk + 64 && at < n_; at += 16) {
                unsigned shift = static_cast<unsigned>(at - chunk);
                if (at + 16 <= n_) {
                    word.add(classify(q + at), shift, 0xFFFFu);
                } else {
                    char pad[16];
                    std::memset(pad, 'a', sizeof pad);
                    std::memcpy(pad, q + at, n_ - at);
                    word.add(classify(pad), shift, (1u << (n_ - at)) - 1);
                }
            }
            amp_[w] = word.amp, eq_[w] = word.eq, coded_[w] = word.coded, changed_[w] = word.changed;
        }
        amp_[n_ / 64] |= std::uint64_t{1} << (n_ % 64);  // the query ends a field
    }
    // The first "&" at or after `from` (the query's end when there is none).
    std::size_t next_amp(std::size_t from) const { return next(amp_, from); }
    // The first "=" in [from, to), else `to`.
    std::size_t next_equals(std::size_t from, std::size_t to) const {
        std::size_t at = next_bounded(eq_, from, to);
        return at < to ? at : to;
    }
    // The bits from `from` to the end of its word, of each bitmap: a field
    // that ends in the word it starts in is read in them alone.
    struct Window {
        std::uint64_t amp, eq, coded, changed;
    };
    Window window(std::size_t from) const {
        std::size_t w = from / 64, shift = from % 64;
        return {amp_[w] >> shift, eq_[w] >> shift, coded_[w] >> shift, changed_[w] >> shift};
    }
    bool coded(std::size_t from, std::size_t to) const { return any(coded_, from, to); }
    bool changed(std::size_t from, std::size_t to) const { return any(changed_, from, to); }

private:
    static constexpr std::size_t kWords = kMost / 64 + 1;  // and the word of the query's end
    std::size_t n_;
    std::uint64_t amp_[kWords], eq_[kWords], coded_[kWords], changed_[kWords];  // words past the query's end unused

    struct Masks {
        std::uint64_t amp = 0, eq = 0, coded = 0, changed = 0;
        void add(const Masks& block, unsigned shift, unsigned valid) {
            amp |= (block.amp & valid) << shift;
            eq |= (block.eq & valid) << shift;
            coded |= (block.coded & valid) << shift;
            changed |= (block.changed & valid) << shift;
        }
    };
    // The classes of sixteen bytes, a bit each.
    static Masks classify(const char* p) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        auto is = [&](char c) { return _mm_cmpeq_epi8(v, _mm_set1_epi8(c)); };
        auto bits = [](__m128i m) { return std::uint64_t{static_cast<unsigned>(_mm_movemask_epi8(m))}; };
        // "%", "+", and (the high bit of) bytes above ASCII; the re-encoding
        // changes the bytes that are not verbatim, "%" and those above ASCII
        // among them.
        return {bits(is('&')), bits(is('=')), bits(_mm_or_si128(_mm_or_si128(is('%'), is('+')), v)),
                detail::non_verbatim16(v)};
    }
    static std::size_t next(const std::uint64_t* bits, std::size_t from) {
        std::size_t w = from / 64;
        std::uint64_t word = bits[w] & (~std::uint64_t{0} << (from % 64));
        while (!word) word = bits[++w];
        return w * 64 + static_cast<std::size_t>(std::countr_zero(word));
    }
    static std::size_t next_bounded(const std::uint64_t* bits, std::size_t from, std::size_t to) {
        if (from >= to) return to;
        std::size_t w = from / 64, last = (to - 1) / 64;
        std::uint64_t word = bits[w] & (~std::uint64_t{0} << (from % 64));
        while (!word && w < last) word = bits[++w];
        return word ? w * 64 + static_cast<std::size_t>(std::countr_zero(word)) : to;
    }
    // Whether a bit is set in [from, to): usually one word, for a field.
    static bool any(const std::uint64_t* bits, std::size_t from, std::size_t to) {
        if (from >= to) return false;
        std::size_t w = from / 64, last = (to - 1) / 64;
        std::uint64_t tail = ~std::uint64_t{0} >> (63 - (to - 1) % 64);  // bits up to to - 1 in its word
        std::uint64_t word = bits[w] & (~std::uint64_t{0} << (from % 64));
        if (w == last) return word & tail;
        if (word) return true;
        while (++w < last)
            if (bits[w]) return true;
        return bits[last] & tail;
    }
};

bool append_clean_query_by_bitmaps(sv query, std::string& out) {
    if (query.size() > QueryBitmaps::kMost) return false;
    KeptNames kept;
    DecodedNames decoded(query.size());

    const QueryBitmaps bits(query);
    Scratch room(3 * query.size());
    char* const base = room.data();
    char* dst = base;
    const char* const q = query.data();
    const std::size_t n = query.size();
    // Kept fields that follow one another unchanged are copied at once: the
    // run [run_from, run_to) of the query is not written yet.
    bool run = false;
    std::size_t run_from = 0, run_to = 0;
    auto flush = [&] {
        if (!run) return;
        std::memcpy(dst, q + run_from, run_to - run_from);
        dst += run_to - run_from;
        run = false;
    };
    for (std::size_t start = 0; start <= n;) {
        std::size_t amp, eq;
        bool coded, name_changes, value_changes;
        if (auto win = bits.window(start); win.amp) {  // the usual field, within one word
            std::size_t len = static_cast<std::size_t>(std::countr_zero(win.amp));
            std::uint64_t field = (std::uint64_t{1} << len) - 1;
            std::uint64_t equals = win.eq & field;
            std::size_t name_len = equals ? static_cast<std::size_t>(std::countr_zero(equals)) : len;
            amp = start + len;
            eq = start + name_len;
            std::uint64_t name_bits = (std::uint64_t{1} << name_len) - 1;
            coded = win.coded & name_bits;
            name_changes = win.changed & name_bits;
            value_changes = win.changed & field & ~(name_bits << 1 | 1);
        } else {
            amp = bits.next_amp(start);
            eq = bits.next_equals(start, amp);
            coded = bits.coded(start, eq);
            name_changes = bits.changed(start, eq);
            value_changes = bits.changed(eq + 1, amp);
        }
        std::size_t next = amp + 1;
        if (eq + 1 >= amp) {  // no "=", or an empty value: parse_qs drops the field
            start = next;
            continue;
        }
        sv raw_name(q + start, eq - start), name = raw_name;
        const char* limit = q + n;
        if (coded) {  // compared decoded
            std::optional<sv> d = decoded.decode(raw_name);
            if (!d || !text::is_ascii(*d)) return false;
            name = *d;
            limit = decoded.end();
        }
        if (is_tracking(name, limit, true)) {
            start = next;
            continue;
        }
        if (!kept.add(name)) return false;

        if (!name_changes && !value_changes) {  // the field as it is
            if (run && run_to + 1 == start) {
                run_to = amp;  // with the "&" before it
            } else {
                flush();
                if (dst != base) *dst++ = '&';
                run = true, run_from = start, run_to = amp;
            }
        } else {
            flush();
            if (dst != base) *dst++ = '&';
            if (!name_changes) {
                std::memcpy(dst, raw_name.data(), raw_name.size());
                dst += raw_name.size();
            } else if (requote_plus_until(raw_name, -1, dst) != raw_name.size()) {
                return false;
            }
            *dst++ = '=';
            sv value(q + eq + 1, amp - eq - 1);
            if (!value_changes) {
                std::memcpy(dst, value.data(), value.size());
                dst += value.size();
            } else if (requote_plus_until(value, -1, dst) != value.size()) {
                return false;
            }
        }
        start = next;
    }
    flush();
    out.append(base, static_cast<std::size_t>(dst - base));
    return true;
}
#else
bool append_clean_query_by_bitmaps(sv, std::string&) { return false; }
#endif

// The bitmaps pay for themselves on many short fields; long values, often
// escaped, are read as fast in the one pass, and making the bitmaps is extra.
// Told by the first 64 bytes.
bool many_short_fields(sv query) {
    if (query.size() < 96) return false;
#if defined(__SSE2__)
    __m128i counts = _mm_setzero_si128();
    for (std::size_t at = 0; at < 64; at += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(query.data() + at));
        counts = _mm_sub_epi8(counts, _mm_cmpeq_epi8(v, _mm_set1_epi8('&')));
    }
    __m128i sums = _mm_sad_epu8(counts, _mm_setzero_si128());
    return _mm_cvtsi128_si32(sums) + _mm_cvtsi128_si32(_mm_srli_si128(sums, 8)) >= 3;
#else
    return std::count(query.begin(), query.begin() + 64, '&') >= 3;
#endif
}

// The query as the filter leaves it: the fastest reading that can decide
// it, else parsed into names with their values first.
void append_clean_query(sv query, std::string& out) {
    if (many_short_fields(query) && append_clean_query_by_bitmaps(query, out)) return;
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
