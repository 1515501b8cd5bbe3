#include "commerce/extended_sku.hpp"

#include <cstring>
#include <string>
#include <vector>

#include "commerce/code_labels.hpp"
#include "commerce/text.hpp"

namespace quillmere::extended {
namespace {

using json::Value;
using sv = std::string_view;

void add(Pool& pool, Source source, const char* rule, sv value) {
    pool.add(Candidate{source, rule, std::string(value)});
}

void from_record(const Value& p, const Offer& o, Pool& sku) {
    if (std::string s = str_of(p.get("sku")); one_word(s)) return add(sku, Source::STRUCTURED, "ld.sku", s);
    if (one_word(o.sku)) return add(sku, Source::STRUCTURED, "ld.offer.sku", o.sku);
    for (sv key : {sv("productID"), sv("mpn"), sv("gtin13"), sv("gtin"), sv("gtin14"), sv("gtin12"), sv("gtin8")}) {
        std::string s = str_of(p.get(key));
        if (key == "productID") {
            // "isbn:123", "sku:ABC": the value after a short scheme.
            if (std::size_t c = s.find(':'); c != std::string::npos && c <= 6) s = std::string(text::strip(sv(s).substr(c + 1)));
        }
        if (one_word(s)) return add(sku, Source::STRUCTURED, key == "productID" ? "ld.productID" : key == "mpn" ? "ld.mpn" : "ld.gtin", s);
    }
}

void from_item(const page_scan::Scan& s, const page_scan::Item& best, Pool& sku) {
    for (sv key : {sv("sku"), sv("productID"), sv("mpn"), sv("gtin13"), sv("gtin"), sv("gtin12"), sv("gtin8")}) {
        const auto* p = best.find(key);
        if (!p && &best != &s.items[0]) {
            // The identifier may stand on the offer.
            for (const auto& q : best.props)
                if (q.item >= 0 && q.name == "offers")
                    if ((p = s.items[q.item].find(key))) break;
        }
        sv id = p ? text::strip(p->value) : sv();
        if (one_word(id)) return add(sku, Source::ITEM, "item", id);
    }
}

void from_markup(const page_scan::Scan& s, Pool& sku) {
    if (!sku.open(Source::MARKUP)) return;
    // An element named for the SKU whose text is one identifier.
    for (const auto& m : s.marked) {
        if (m.kind != page_scan::Marked::SKU || m.aside || !one_word(m.text) || m.text.size() < 3 || !alnum(m.text[0]))
            continue;  // one word, not another product's
        if (!has_digit(m.text)) continue;
        add(sku, Source::MARKUP, "markup.sku", m.text);
        break;
    }
    if (!s.data_skus.empty() && one_word(s.data_skus.front()))
        add(sku, Source::MARKUP, "data-sku", s.data_skus.front());
}

// An identifier the link carries (a product number in its path or query)
// that the page repeats.
void from_link(sv html, const url::UrlParts& link, Pool& sku) {
    std::vector<sv> tokens;
    auto gather = [&](sv part) {
        for (std::size_t i = 0; i < part.size();) {
            if (!alnum(part[i])) {
                ++i;
                continue;
            }
            std::size_t j = i;
            while (j < part.size() && alnum(part[j])) ++j;
            sv tok = part.substr(i, j - i);
            std::size_t digits = 0;
            for (char c : tok) digits += c >= '0' && c <= '9';
            if (tok.size() >= 5 && tok.size() <= 30 && digits >= 3 && tokens.size() < 12) tokens.push_back(tok);
            i = j;
        }
    };
    // A query value named like an identifier comes first.
    for (std::size_t i = 0; i < link.query.size();) {
        std::size_t amp = link.query.find('&', i);
        if (amp == sv::npos) amp = link.query.size();
        sv pair = sv(link.query).substr(i, amp - i);
        std::size_t eq = pair.find('=');
        if (eq != sv::npos) {
            std::string key = text::lower(pair.substr(0, eq));
            sv value = pair.substr(eq + 1);
            bool id_key = key == "pid" || key == "sku" || key == "id" || text::ends_with(key, "_id") ||
                          text::ends_with(key, "productid") || key == "itemid" || key == "item";
            if (id_key && value.size() >= 3 && value.size() <= 30 && page_has(html, value)) {
                bool plain = true;
                for (char c : value) plain = plain && (alnum(c) || c == '-' || c == '_');
                if (plain) return add(sku, Source::LINK, "link.query", value);
            }
        }
        i = amp + 1;
    }
    gather(link.path);
    std::size_t path_tokens = tokens.size();
    gather(link.query);
    // The last path token the page repeats, else the first query token.
    for (std::size_t k = path_tokens; k-- > 0;)
        if (page_has(html, tokens[k])) return add(sku, Source::LINK, "link.path", tokens[k]);
    for (std::size_t k = path_tokens; k < tokens.size(); ++k)
        if (page_has(html, tokens[k])) return add(sku, Source::LINK, "link.query", tokens[k]);
}

// The first "sku" member of the data a shop platform embeds in its scripts
// (Shopify's product object, WooCommerce's variations, analytics layers).
void embedded_sku(sv html, Pool& sku) {
    // Scripts write the member plainly; attributes (WooCommerce's variation
    // data) with the quotes escaped.
    constexpr std::pair<sv, sv> kForms[] = {{"\"sku\":", "\""}, {"&quot;sku&quot;:", "&quot;"}};
    const char* end = html.data() + html.size();
    for (auto [key, quote] : kForms) {
        const char* at = html.data();
        for (int tries = 0; tries < 8; ++tries) {
            const void* hit = ::memmem(at, static_cast<std::size_t>(end - at), key.data(), key.size());
            if (!hit) break;
            const char* v = static_cast<const char*>(hit) + key.size();
            at = v;
            while (v < end && *v == ' ') ++v;
            bool quoted = static_cast<std::size_t>(end - v) >= quote.size() && sv(v, quote.size()) == quote;
            if (quoted) v += quote.size();
            const char* e = v;
            while (e < end && e - v <= 40 && (quoted ? *e != quote[0] : (*e >= '0' && *e <= '9'))) ++e;
            if (e >= end || e - v > 40 || e == v) continue;
            sv value(v, static_cast<std::size_t>(e - v));
            bool plain = true;
            for (char c : value) plain = plain && (c > ' ' && c != '\\' && c != '<' && c != '&');
            if (has_digit(value) && plain) return add(sku, Source::LINK, "script.sku", value);
        }
    }
}

// Letters and digits alone: "002.937.72" and "s00293772" carry "00293772".
std::string bare(sv code) {
    std::string out;
    for (char c : code)
        if (alnum(c)) out.push_back(c >= 'A' && c <= 'Z' ? char(c + 32) : c);
    return out;
}

// Whether the link carries the code, separators aside (five characters at least).
bool in_link(sv code, const std::string& link_bare) {
    std::string b = bare(code);
    return b.size() >= 5 && link_bare.find(b) != std::string::npos;
}

// A code an element named for it shows ("article-number", "product-reference"):
// its text when that is one code, else the code after a label it begins with.
std::string shown_code(const page_scan::Marked& m) {
    if (one_word(m.text) && m.text.size() >= 3 && has_digit(m.text) && alnum(m.text[0])) return m.text;
    if (m.text.size() <= 80)
        if (auto hit = code_labels::find(m.text, false)) return std::string(code_labels::code_at(sv(m.text).substr(hit->end)));
    return {};
}

// Codes the page shows a shopper: after the shop's own label (SKU, item,
// article or product number, Ref.) or in an element named for the code.
// Principles, in order:
// - a structured identifier confirmed by what the page shows (the same code
//   shown) or by its own link (the same letters and digits, when the link
//   carries no shown code) stays first;
// - else the shown code goes first, one the link carries before the others,
//   else the first the page shows;
// - the maker's codes and bar codes after labels come last of all.
void shown(const page_scan::Scan& s, const std::string& link_bare, Pool& sku) {
    struct Shown {
        std::string code;
        std::size_t pos;
        std::string rule;  // the family and the word that found it ("label.shop:sku")
    };
    std::vector<Shown> codes;
    for (const auto& m : s.marked)
        if (m.kind == page_scan::Marked::CODE && !m.aside && codes.size() < 8)
            if (std::string c = shown_code(m); !c.empty()) codes.push_back(Shown{c, m.pos, "shown.element:" + m.code_word});
    for (const auto& l : s.label_skus)
        if (l.rank == code_labels::SHOP) codes.push_back(Shown{l.code, l.pos, "label.shop:" + l.label});
    if (!codes.empty()) {
        bool shown_linked = false;
        for (const Shown& x : codes) shown_linked = shown_linked || in_link(x.code, link_bare);
        for (const Candidate& c : sku.ranked()) {
            if (c.source > Source::ITEM) continue;
            if (!shown_linked && in_link(c.text, link_bare)) return;
            for (const Shown& x : codes)
                if (x.code == c.text) return;  // confirmed: the record's stays first
        }
        const Shown* best = nullptr;
        for (const Shown& x : codes) {
            bool linked = in_link(x.code, link_bare);
            if (!best || (linked && !in_link(best->code, link_bare)) ||
                (linked == in_link(best->code, link_bare) && x.pos < best->pos))
                best = &x;
        }
        return sku.add(Candidate{Source::SHOWN, best->rule, best->code});
    }
    if (s.label_skus.empty() || !sku.open(Source::LINK)) return;
    const auto* best = &s.label_skus.front();
    for (const auto& l : s.label_skus)
        if (l.rank < best->rank) best = &l;
    sku.add(Candidate{Source::LINK, (best->rank == code_labels::MAKER ? "label.maker:" : "label.barcode:") + best->label,
                      best->code});
}

}  // namespace

void gather_skus(const MainProduct& main, const page_scan::Scan& s, sv html, const url::UrlParts& link, Pool& sku) {
    if (main.record) from_record(*main.record, main.offer, sku);
    if (main.item) from_item(s, *main.item, sku);  // always: it may confirm a label
    from_markup(s, sku);
    if (sku.open(Source::LINK)) from_link(html, link, sku);
    if (sku.open(Source::LINK)) embedded_sku(html, sku);
    shown(s, bare(std::string(link.path) + " " + std::string(link.query)), sku);
}

}  // namespace quillmere::extended
