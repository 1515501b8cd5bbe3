#include "commerce/page_scan.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <optional>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "commerce/code_labels.hpp"
#include "commerce/html_entities.hpp"
#include "commerce/price_labels.hpp"
#include "commerce/text.hpp"

namespace quillmere::page_scan {
namespace {

using sv = std::string_view;

constexpr std::size_t kMaxDepth = 512;        // elements tracked on the stack
constexpr std::size_t kCloseSearch = 64;      // how far down an end tag looks for its start tag
constexpr std::size_t kMaxCaptures = 8;       // text captures open at once
constexpr std::size_t kCaptureBytes = 200;    // text kept per capture
constexpr std::size_t kMaxMarked = 240;       // marked elements kept per page (the first ones count)
constexpr std::size_t kMaxItems = 5000;       // items kept per page
constexpr std::size_t kMaxProps = 20000;      // properties kept per page
constexpr std::size_t kMaxButtons = 40;       // buttons kept per page (the first ones count)

// Byte classes of the tag reader, by table.
enum : std::uint8_t { SPACE = 1, NAME = 2, ATTR_END = 4, VALUE_END = 8 };
constexpr std::array<std::uint8_t, 256> kClasses = [] {
    std::array<std::uint8_t, 256> t{};
    for (unsigned char c : {' ', '\t', '\n', '\r', '\f'}) t[c] |= SPACE | ATTR_END | VALUE_END;
    for (int c = 0; c < 256; ++c)
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == ':' ||
            c == '_')
            t[c] |= NAME;
    for (unsigned char c : {'=', '>', '/'}) t[c] |= ATTR_END;
    t['>'] |= VALUE_END;
    return t;
}();
bool has(char c, std::uint8_t cls) { return kClasses[static_cast<unsigned char>(c)] & cls; }

using text::lower_ascii;
bool is_space(char c) { return has(c, SPACE); }
bool name_char(char c) { return has(c, NAME); }
bool equal_icase(sv a, sv lower) {
    if (a.size() != lower.size()) return false;
    for (std::size_t k = 0; k < a.size(); ++k)
        if (lower_ascii(a[k]) != lower[k]) return false;
    return true;
}
// Case-insensitive find of an end tag "</name" (lower case) from `from`.
std::size_t find_end_tag(sv hay, sv needle, std::size_t from) {
    for (std::size_t p = hay.find('<', from); p != sv::npos; p = hay.find('<', p + 1))
        if (p + needle.size() <= hay.size() && equal_icase(hay.substr(p, needle.size()), needle)) return p;
    return sv::npos;
}

struct Attr {
    sv name, value;
};

struct Tag {
    sv name;
    char lname[16];  // the name lower-cased, when it is short
    std::size_t lname_len = 0;
    bool name_is(sv lower) const {
        return lname_len == lower.size() && std::memcmp(lname, lower.data(), lower.size()) == 0;
    }
    std::array<Attr, 32> attrs;
    std::size_t count = 0;
    bool self_closing = false;
    std::size_t end = 0;  // just past ">"
    const Attr* begin() const { return attrs.data(); }
    const Attr* finish() const { return attrs.data() + count; }
    std::optional<sv> get(sv lower_name) const {
        for (const Attr* a = begin(); a != finish(); ++a)
            if (equal_icase(a->name, lower_name)) return a->value;
        return std::nullopt;
    }
};

// Whether a class or id value names a price or the stock. Candidates are the
// places where one of the words' first four letters stand ("pric", "prei",
// "cena", "avai", "stoc", "sold", ..., in any case), sixteen bytes at a time.
void mentions(sv v, bool& price, bool& stock, bool& sku) {
    auto check = [&](std::size_t k) {
        sv at = v.substr(k);
        auto is = [&](sv w) { return at.size() >= w.size() && equal_icase(at.substr(0, w.size()), w); };
        switch (lower_ascii(v[k])) {
            case 'p': price = price || is("price") || is("preis") || is("prix") || is("precio") || is("prezzo"); break;
            case 'c': price = price || is("cena"); break;
            case 'a': stock = stock || is("availab"); break;
            case 's':
                stock = stock || is("stock") || is("soldout") || is("sold-out");
                sku = sku || is("sku");
                break;
            default: break;
        }
    };
    std::size_t k = 0;
#if defined(__SSE2__)
    const __m128i bit = _mm_set1_epi8(0x20);
    auto quad = [&](const __m128i* l, const char* w) {
        __m128i m = _mm_cmpeq_epi8(l[0], _mm_set1_epi8(w[0]));
        for (int j = 1; j < 4; ++j) m = _mm_and_si128(m, _mm_cmpeq_epi8(l[j], _mm_set1_epi8(w[j])));
        return m;
    };
    for (; k + 19 <= v.size() && !price; k += 16) {
        __m128i l[4];
        for (int j = 0; j < 4; ++j)
            l[j] = _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(v.data() + k + j)), bit);
        __m128i any = _mm_setzero_si128();
        for (const char* w : {"pric", "prix", "prei", "prec", "prez", "cena", "avai", "stoc", "sold"})
            any = _mm_or_si128(any, quad(l, w));
        any = _mm_or_si128(any, _mm_and_si128(_mm_and_si128(_mm_cmpeq_epi8(l[0], _mm_set1_epi8('s')),
                                                            _mm_cmpeq_epi8(l[1], _mm_set1_epi8('k'))),
                                              _mm_cmpeq_epi8(l[2], _mm_set1_epi8('u'))));
        unsigned bits = static_cast<unsigned>(_mm_movemask_epi8(any));
        while (bits) {
            check(k + static_cast<std::size_t>(__builtin_ctz(bits)));
            bits &= bits - 1;
        }
    }
#endif
    for (; k + 2 < v.size() && !price; ++k) {
        char c0 = lower_ascii(v[k]), c1 = lower_ascii(v[k + 1]);
        if ((c0 == 'p' && c1 == 'r') || (c0 == 'c' && c1 == 'e') || (c0 == 'a' && c1 == 'v') ||
            (c0 == 's' && (c1 == 't' || c1 == 'o' || c1 == 'k')))
            check(k);
    }
}

// Whether a class, id or test name names the element as the product's code
// ("product-reference", "article-number", "productCode", "item_number"):
// a cheap look for the words' cores first, then the names themselves.
sv names_code(sv v) {
    v = v.substr(0, 120);
    if (v.find("efer") == sv::npos && v.find("umber") == sv::npos && v.find("ode") == sv::npos &&
        v.find("nr") == sv::npos && v.find("Nr") == sv::npos)
        return {};
    std::string names;  // lower case, camel-case humps and "_" as "-"
    for (std::size_t k = 0; k < v.size(); ++k) {
        char c = v[k];
        if (c >= 'A' && c <= 'Z' && k > 0 && v[k - 1] >= 'a' && v[k - 1] <= 'z') names.push_back('-');
        names.push_back(c == '_' ? '-' : lower_ascii(c));
    }
    for (sv w : {sv("product-reference"), sv("product-ref"), sv("article-number"), sv("articlenumber"), sv("article-nr"),
                 sv("art-nr"), sv("artnr"), sv("product-code"), sv("productcode"), sv("item-number"), sv("itemnumber"),
                 sv("item-code"), sv("product-number"), sv("productnumber"), sv("part-number"), sv("model-number"),
                 sv("style-number"), sv("reference-number")})
        if (names.find(w) != std::string::npos) return w;
    return {};
}

// The start tag at html[i] == '<' (a letter follows), into `t` (reused:
// its attribute slots are not cleared).
void read_tag(sv html, std::size_t i, Tag& t) {
    t.count = 0;
    t.self_closing = false;
    std::size_t k = i + 1, n = html.size();
    std::size_t s = k;
    while (k < n && name_char(html[k])) ++k;
    t.name = html.substr(s, k - s);
    t.lname_len = t.name.size() < sizeof t.lname ? t.name.size() : 0;
    for (std::size_t c = 0; c < t.lname_len; ++c) t.lname[c] = lower_ascii(t.name[c]);
    while (k < n) {
        while (k < n && (is_space(html[k]) || html[k] == '/')) {
            if (html[k] == '/' && k + 1 < n && html[k + 1] == '>') t.self_closing = true;
            ++k;
        }
        if (k >= n) break;
        if (html[k] == '>') {
            ++k;
            break;
        }
        std::size_t a = k;
        while (k < n && !has(html[k], ATTR_END)) ++k;
        if (k == a) ++k;  // a stray character
        sv name = html.substr(a, k - a);
        std::size_t b = k;
        while (b < n && is_space(html[b])) ++b;
        sv value;
        if (b < n && html[b] == '=') {
            k = b + 1;
            while (k < n && is_space(html[k])) ++k;
            if (k < n && (html[k] == '"' || html[k] == '\'')) {
                char q = html[k];
                std::size_t e = k + 1;
                while (e < n && e < k + 16 && html[e] != q) ++e;  // most values are short
                if (e < n && html[e] != q) e = html.find(q, e);
                if (e == sv::npos || e > n) e = n;
                value = html.substr(k + 1, e - k - 1);
                k = e < n ? e + 1 : n;
            } else {
                std::size_t v = k;
                while (k < n && !has(html[k], VALUE_END)) ++k;
                value = html.substr(v, k - v);
            }
        }
        if (t.count < t.attrs.size()) t.attrs[t.count++] = Attr{name, value};
    }
    t.end = k;
}

constexpr std::array<sv, 14> kVoid = {"area", "base", "br",    "col",   "embed", "hr",  "img",
                                      "input", "link", "meta", "param", "source", "track", "wbr"};
bool is_void(const Tag& t) {
    for (sv v : kVoid)
        if (t.name_is(v)) return true;
    return false;
}

std::string clean_text(sv raw) {
    std::string decoded = raw.find('&') != sv::npos ? html::unescape(raw) : std::string(raw);
    return text::collapse_whitespace(decoded);
}

// The property name of an itemprop / property value's first name we read.
std::vector<std::string> prop_names(sv value, bool rdfa) {
    std::vector<std::string> out;
    for (sv w : text::split(value)) {
        if (rdfa) {
            std::size_t colon = w.find(':');
            if (colon != sv::npos) {
                sv prefix = w.substr(0, colon);
                if (!equal_icase(prefix, "schema") && !equal_icase(prefix, "s")) continue;
                w.remove_prefix(colon + 1);
            }
        } else if (std::size_t slash = w.rfind('/'); slash != sv::npos) {
            w.remove_prefix(slash + 1);  // a full schema.org property URL
        }
        if (!w.empty() && out.size() < 4) out.emplace_back(w);
    }
    return out;
}

struct Capture {
    std::size_t element;  // stack depth of the element it belongs to
    std::string text;
    int item = -1, prop = -1;  // property to fill, or
    int marked = -1;           // marked element to fill, or
    int button = -1;           // button to fill
};

struct Open {
    sv name;
    int item = -1;  // the item this element opened
    bool strike = false;
    bool aside = false;  // inside a link or a block of other products
    bool old = false;    // inside an element named for a price nobody pays ("old-price", "was")
};

// Whether a class or id names a block of other products ("related-products",
// "recommendations", "similar-items", "a-carousel", "upsell", "cross-sell").
bool names_aside(sv v) {
    v = v.substr(0, 160);
    for (sv w : {sv("elated"), sv("ecommend"), sv("imilar"), sv("arousel"), sv("psell"), sv("ross-sell"),
                 sv("rosssell"), sv("ecently"), sv("lso-bought"), sv("lsoBought")})
        if (v.find(w) != sv::npos) return true;
    return false;
}

class Scanner {
public:
    explicit Scanner(sv html) : html_(html) { out_.items.push_back(Item{}); }

    Scan run() {
        std::size_t i = 0, n = html_.size();
        while (i < n) {
            const void* lt = std::memchr(html_.data() + i, '<', n - i);
            std::size_t at = lt ? static_cast<std::size_t>(static_cast<const char*>(lt) - html_.data()) : n;
            if (at > i) add_text(html_.substr(i, at - i));
            if (at >= n) break;
            i = markup(at);
        }
        while (!stack_.empty()) pop();
        for (Capture& c : captures_) finish(c);
        captures_.clear();
        return std::move(out_);
    }

private:
    std::size_t markup(std::size_t at) {
        sv rest = html_.substr(at);
        std::size_t n = html_.size();
        if (rest.substr(0, 4) == "<!--") {
            std::size_t e = html_.find("-->", at + 4);
            return e == sv::npos ? n : e + 3;
        }
        if (rest.size() >= 2 && (rest[1] == '!' || rest[1] == '?')) {
            std::size_t e = html_.find('>', at);
            return e == sv::npos ? n : e + 1;
        }
        if (rest.size() >= 3 && rest[1] == '/' && name_char(rest[2])) {
            std::size_t k = at + 2;
            while (k < n && name_char(html_[k])) ++k;
            close(html_.substr(at + 2, k - at - 2));
            std::size_t e = html_.find('>', k);
            return e == sv::npos ? n : e + 1;
        }
        if (rest.size() >= 2 && ((rest[1] | 32) >= 'a' && (rest[1] | 32) <= 'z')) {
            Tag& t = tag_;
            read_tag(html_, at, t);
            open(t, at);
            // Raw text, and inline drawings (nothing a shop states lives in them).
            if (t.name_is("script") || t.name_is("style") || t.name_is("textarea") ||
                t.name_is("svg")) {
                // Raw text up to the matching end tag.
                std::string end_tag = "</";
                for (char c : t.name) end_tag.push_back(lower_ascii(c));
                // Pages write the end tag as they wrote the start tag; any
                // other spelling is looked for only when that one is missing.
                std::string as_written = "</" + std::string(t.name);
                const void* hit = ::memmem(html_.data() + t.end, n - std::min(t.end, n), as_written.data(),
                                           as_written.size());
                std::size_t e = hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - html_.data())
                                    : find_end_tag(html_, end_tag, t.end);
                if (!t.self_closing && !is_void(t)) pop();  // nothing inside counts
                if (e == sv::npos) return n;
                std::size_t g = html_.find('>', e);
                return g == sv::npos ? n : g + 1;
            }
            return t.end;
        }
        add_text("<");
        return at + 1;
    }

    int current_item() const { return item_stack_.empty() ? 0 : item_stack_.back(); }

    void open(const Tag& t, std::size_t pos) {
        std::optional<sv> itemprop, property;
        bool scope = false;
        for (const Attr* a = t.begin(); a != t.finish(); ++a) {
            char c = a->name.empty() ? 0 : char(a->name[0] | 32);
            if (c != 'i' && c != 'p' && c != 't') continue;
            if (equal_icase(a->name, "itemprop")) itemprop = a->value;
            else if (equal_icase(a->name, "property")) property = a->value;
            else if (equal_icase(a->name, "itemscope") || equal_icase(a->name, "typeof")) scope = true;
        }
        bool rdfa = false;
        if (!itemprop && property) {
            itemprop = property;
            rdfa = true;
        }
        std::vector<std::string> names;
        if (itemprop) names = prop_names(*itemprop, rdfa);
        int parent = current_item();

        int new_item = -1;
        if (scope && out_.items.size() < kMaxItems) {
            Item it;
            auto type = t.get("itemtype");
            if (!type) type = t.get("typeof");
            it.type = std::string(type.value_or(""));
            it.parent = names.empty() ? -1 : parent;
            it.pos = pos;
            new_item = static_cast<int>(out_.items.size());
            out_.items.push_back(std::move(it));
        }

        bool container = !t.self_closing && !is_void(t);
        std::size_t depth = stack_.size();  // this element's depth once pushed
        bool strike = (!stack_.empty() && stack_.back().strike) || t.name_is("del") ||
                      t.name_is("s") || t.name_is("strike");
        bool aside = !stack_.empty() && stack_.back().aside;
        if (!aside && container) {
            if (t.name_is("a")) {
                auto href = t.get("href");
                aside = href && !href->empty() && (*href)[0] != '#' && !equal_icase(href->substr(0, 11), "javascript:");
            }
            // blocks hold other products, inline elements do not
            bool block = t.name_is("div") || t.name_is("section") || t.name_is("ul") || t.name_is("ol") ||
                         t.name_is("li") || t.name_is("aside") || t.name_is("article") || t.name_is("nav");
            for (const Attr* a = t.begin(); block && a != t.finish() && !aside; ++a)
                if ((a->name.size() == 5 && equal_icase(a->name, "class")) || (a->name.size() == 2 && equal_icase(a->name, "id")))
                    aside = names_aside(a->value);
        }

        if (!names.empty() && props_ < kMaxProps) {
            std::optional<sv> value;
            if (new_item < 0) {
                if (auto c = t.get("content")) value = c;
                else if (t.name_is("a") || t.name_is("link") || t.name_is("area")) value = t.get("href");
                else if (t.name_is("img") || t.name_is("source") || t.name_is("iframe")) value = t.get("src");
                else if (t.name_is("data") || t.name_is("meter") || t.name_is("input")) value = t.get("value");
                else if (t.name_is("time")) value = t.get("datetime");
                else if (t.name_is("meta")) value = sv();
                if (!value && !container) value = sv();
            }
            for (const std::string& name : names) {
                Property p;
                p.name = name;
                p.item = new_item;
                p.pos = pos;
                if (value) p.value = clean_text(*value);
                auto& props = out_.items[parent].props;
                props.push_back(std::move(p));
                ++props_;
                if (new_item < 0 && !value && captures_.size() < kMaxCaptures)
                    captures_.push_back(Capture{depth, {}, parent, int(props.size() - 1), -1});
            }
        }

        // Elements that name a price or the stock in their class or id.
        std::optional<sv> cls, id;
        for (const Attr* a = t.begin(); a != t.finish(); ++a) {
            if (a->name.size() == 5 && equal_icase(a->name, "class")) cls = a->value;
            else if (a->name.size() == 2 && equal_icase(a->name, "id")) id = a->value;
        }
        std::optional<sv> test_name;  // data-qa, data-testid, ...: names tests find elements by
        for (const Attr* a = t.begin(); a != t.finish() && !test_name; ++a)
            if (a->name.size() >= 7 && (a->name[0] | 32) == 'd' &&
                (equal_icase(a->name.substr(0, 7), "data-qa") || equal_icase(a->name, "data-testid") ||
                 equal_icase(a->name, "data-test") || equal_icase(a->name, "data-test-id")))
                test_name = a->value;
        if ((cls || id || test_name) && out_.marked.size() < kMaxMarked && !t.name_is("script") &&
            !t.name_is("style") && !t.name_is("option") && !t.name_is("body") &&
            !t.name_is("html")) {
            // One pass over class and id for all the words (most hold none).
            bool price = false, stock = false, sku = false;
            auto look = [&](sv v) { mentions(v.substr(0, 250), price, stock, sku); };
            if (cls) look(*cls);
            if (id) look(*id);
            if (price) stock = sku = false;
            if (stock) sku = false;
            sv code_word;
            if (!price && !stock && !sku && container)
                for (const auto& v : {cls, id, test_name})
                    if (v && code_word.empty()) code_word = names_code(*v);
            bool code = !code_word.empty();
            if (price || stock || sku || code) {
                // class and id, lower-cased with camel-case humps as "-"
                // ("actionOldPrice" -> "action-old-price"), long values cut short
                std::string names_lower;
                auto add = [&](sv v) {
                    for (std::size_t k = 0; k < v.size(); ++k) {
                        char c = v[k];
                        if (c >= 'A' && c <= 'Z' && k > 0 && v[k - 1] >= 'a' && v[k - 1] <= 'z') names_lower.push_back('-');
                        names_lower.push_back(lower_ascii(c));
                    }
                };
                add(cls.value_or("").substr(0, 170));
                names_lower.push_back(' ');
                add(id.value_or("").substr(0, 80));
                Marked m{price ? Marked::PRICE : stock ? Marked::STOCK : code ? Marked::CODE : Marked::SKU,
                         std::move(names_lower), {}, {}, pos, strike, std::string(code_word), aside};
                for (const Attr* ap = t.begin(); ap != t.finish(); ++ap) {
                    const Attr& a = *ap;
                    if (equal_icase(a.name, "content") || equal_icase(a.name, "data-price") ||
                        equal_icase(a.name, "data-price-amount") || equal_icase(a.name, "data-product-price") ||
                        equal_icase(a.name, "data-value")) {
                        m.content = std::string(a.value.substr(0, 64));
                        break;
                    }
                }
                out_.marked.push_back(std::move(m));
                if (container && captures_.size() < kMaxCaptures)
                    captures_.push_back(Capture{depth, {}, -1, -1, int(out_.marked.size() - 1)});
            }
        }
        if ((t.name_is("button") || t.name_is("input")) && out_.buttons.size() < kMaxButtons) button(t, container, depth);
        for (const Attr* ap = t.begin(); ap != t.finish(); ++ap) {
            const Attr& a = *ap;
            if (a.name.size() < 8 || (a.name[0] | 32) != 'd') continue;
            if ((equal_icase(a.name, "data-sku") || equal_icase(a.name, "data-product-sku") ||
                 equal_icase(a.name, "data-product_sku")) &&
                !a.value.empty() && out_.data_skus.size() < 16)
                out_.data_skus.emplace_back(text::strip(a.value.substr(0, 64)));
        }

        if (container) {
            if (stack_.size() < kMaxDepth) {
                // Only while a price label waits for its price: what is
                // named an old price is passed over like a struck one.
                bool old_price = !stack_.empty() && stack_.back().old;
                for (const Attr* a = t.begin(); price_pending_ && !old_price && a != t.finish(); ++a)
                    if (a->name.size() == 5 && equal_icase(a->name, "class")) old_price = price_labels::names_old_price(a->value);
                stack_.push_back(Open{t.name, new_item, strike, aside, old_price});
                if (new_item >= 0) item_stack_.push_back(new_item);
            } else {
                drop_captures(depth);  // not tracked: its captures cannot be closed
            }
        } else {
            drop_captures(depth);
        }
    }

    void button(const Tag& t, bool container, std::size_t depth) {
        Button b;
        if (t.name_is("input")) {
            auto type = t.get("type");
            if (!type || !(equal_icase(*type, "submit") || equal_icase(*type, "button"))) return;
            b.text = clean_text(t.get("value").value_or("").substr(0, kCaptureBytes));
        }
        for (const Attr* a = t.begin(); a != t.finish(); ++a) {
            if (equal_icase(a->name, "disabled")) b.disabled = true;
            else if (equal_icase(a->name, "aria-disabled")) b.disabled = b.disabled || equal_icase(a->value, "true");
            else if (equal_icase(a->name, "hidden")) b.hidden = true;
            else if (equal_icase(a->name, "style")) {
                std::string v = text::lower(a->value.substr(0, 200));
                v.erase(std::remove(v.begin(), v.end(), ' '), v.end());
                b.hidden = b.hidden || text::contains(v, "display:none");
            } else if (equal_icase(a->name, "class")) {
                std::string v = text::lower(a->value.substr(0, 200));
                for (sv w : text::split(v)) {
                    b.hidden = b.hidden || w == "hidden" || w == "d-none" || w == "is-hidden";
                    b.disabled = b.disabled || w == "disabled" || w == "is-disabled" || w == "btn-disabled";
                }
            }
        }
        if (!text::strip(b.text).empty() || (!t.name_is("input") && container)) {
            out_.buttons.push_back(std::move(b));
            if (!t.name_is("input") && container && captures_.size() < kMaxCaptures)
                captures_.push_back(Capture{depth, {}, -1, -1, -1, int(out_.buttons.size() - 1)});
        }
    }

    void drop_captures(std::size_t depth) {
        for (std::size_t k = captures_.size(); k-- > 0;)
            if (captures_[k].element == depth) {
                finish(captures_[k]);
                captures_.erase(captures_.begin() + static_cast<std::ptrdiff_t>(k));
            }
    }

    void close(sv name) {
        std::size_t limit = stack_.size() > kCloseSearch ? stack_.size() - kCloseSearch : 0;
        for (std::size_t k = stack_.size(); k-- > limit;) {
            if (stack_[k].name.size() != name.size()) continue;
            bool same = true;
            for (std::size_t c = 0; c < name.size() && same; ++c)
                same = lower_ascii(stack_[k].name[c]) == lower_ascii(name[c]);
            if (!same) continue;
            while (stack_.size() > k) pop();
            return;
        }
    }

    void pop() {
        std::size_t depth = stack_.size() - 1;
        if (stack_.back().item >= 0 && !item_stack_.empty()) item_stack_.pop_back();
        stack_.pop_back();
        drop_captures(depth);
    }

    void add_text(sv chunk) {
        // White-space runs count as one space, so indentation does not use up a capture.
        for (Capture& c : captures_) {
            if (c.marked >= 0 && out_.marked[c.marked].kind == Marked::PRICE) join_cents(c.text, chunk);
            for (std::size_t k = 0; k < chunk.size() && c.text.size() < kCaptureBytes; ++k) {
                char ch = chunk[k];
                if (is_space(ch)) {
                    if (c.text.empty() || c.text.back() == ' ') continue;
                    ch = ' ';
                }
                c.text.push_back(ch);
            }
        }
        // Labels inside a link or a block of other products name their codes.
        if (stack_.empty() || !stack_.back().aside) {
            labels(chunk);
            price_label(chunk, !stack_.empty() && (stack_.back().strike || stack_.back().old));
        }
    }

    // Cents set apart in an element of their own ("$229<sup>99</sup>",
    // "173<span>34</span> Lei"): two digits straight after the whole amount
    // are its cents, so they are joined with the decimal separator the
    // amount does not group its thousands with.
    static void join_cents(std::string& text, sv chunk) {
        auto digit = [](char c) { return c >= '0' && c <= '9'; };
        if (text.empty() || !digit(text.back()) || chunk.size() != 2 || !digit(chunk[0]) || !digit(chunk[1])) return;
        std::size_t k = text.size();
        bool dot = false;
        for (; k > 0 && (digit(text[k - 1]) || text[k - 1] == '.' || text[k - 1] == ','); --k) dot = dot || text[k - 1] == '.';
        text.push_back(dot ? ',' : '.');
    }

    // Price labels: the text after "Price:", "Preis", "售價：" ... in the same
    // text, or in the next text when the label stands alone or with its
    // currency only ("<b>Price:</b> <span>12</span>"); a struck list price
    // between them is passed over.
    void price_label(sv t, bool struck) {
        while (!t.empty() && is_space(t.front())) t.remove_prefix(1);
        while (!t.empty() && is_space(t.back())) t.remove_suffix(1);
        if (t.empty() || out_.label_prices.size() >= 4) return;
        if (price_pending_) {
            if (struck) return;
            price_pending_ = false;
            std::string& text = out_.label_prices.back().text;
            text.push_back(' ');
            text.append(t.substr(0, 40));
            return;
        }
        if (struck) return;
        auto hit = price_labels::find(t);
        if (!hit) return;
        sv rest = t.substr(hit->end, 40);
        std::size_t pos = t.data() >= html_.data() ? std::size_t(t.data() - html_.data()) : 0;
        out_.label_prices.push_back(Scan::LabelPrice{std::string(rest), std::string(hit->label), pos});
        price_pending_ = std::none_of(rest.begin(), rest.end(), [](char c) { return c >= '0' && c <= '9'; });
    }

    // Identifier labels: the code after "SKU:", "Art.-Nr.", "Šifra:" ... in
    // the same text or in the next text of the page. A label stands anywhere
    // in a short text that holds a ":" or "#" ("<b>Šifra:</b> 0638"), or
    // begins a short text without one ("<dt>SKU</dt><dd>123</dd>").
    void labels(sv chunk) {
        if (out_.label_skus.size() >= 8) return;
        sv t = chunk;  // ASCII white space trimmed
        while (!t.empty() && is_space(t.front())) t.remove_prefix(1);
        while (!t.empty() && is_space(t.back())) t.remove_suffix(1);
        if (t.empty()) return;
        if (pending_) {
            pending_ = false;
            take_code(t, pending_label_, pending_rank_);
            return;
        }
        if (t.size() > 80) return;  // a paragraph, not a label
        bool mark = t.find(':') != sv::npos || t.find('#') != sv::npos;
        if (!mark && t.size() > 40) return;
        auto hit = code_labels::find(t, mark);
        if (!hit) return;
        if (hit->end >= t.size()) {
            pending_ = true;
            pending_label_ = hit->label;
            pending_rank_ = hit->rank;
        } else {
            take_code(t.substr(hit->end), hit->label, hit->rank);
        }
    }

    void take_code(sv rest, sv label, int rank) {
        sv code = code_labels::code_at(rest);
        const char* at = code.data();
        std::size_t pos = at >= html_.data() && at < html_.data() + html_.size() ? std::size_t(at - html_.data()) : 0;
        if (!code.empty()) out_.label_skus.push_back(Scan::LabelCode{std::string(code), std::string(label), rank, pos});
    }

    void finish(Capture& c) {
        std::string value = clean_text(c.text);
        if (c.button >= 0) {
            out_.buttons[c.button].text = std::move(value);
        } else if (c.marked >= 0) {
            out_.marked[c.marked].text = std::move(value);
        } else if (c.item >= 0 && c.prop >= 0) {
            auto& props = out_.items[c.item].props;
            if (static_cast<std::size_t>(c.prop) < props.size()) props[c.prop].value = std::move(value);
        }
    }

    sv html_;
    Tag tag_;
    Scan out_;
    std::vector<Open> stack_;
    std::vector<int> item_stack_;
    std::vector<Capture> captures_;
    std::size_t props_ = 0;
    bool pending_ = false;  // a label waits for its code in the next text
    bool price_pending_ = false;  // a price label waits for its price
    sv pending_label_;
    int pending_rank_ = 0;
};

}  // namespace

const Property* Item::find(std::string_view name) const {
    for (const Property& p : props)
        if (p.name == name) return &p;
    return nullptr;
}

Scan scan(std::string_view html) { return Scanner(html).run(); }

}  // namespace quillmere::page_scan
