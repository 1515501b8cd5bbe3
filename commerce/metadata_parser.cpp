// DestinationMetadataParser.parse_metadata: one match (and its page, when it
// was fetched) to the twelve facts of the metadata map.
//
// The resolution runs as numbered steps over one set of working fields:
//   1-6   entry, domain classification, page gate, JSON-LD and Next.js data;
//   7-14  meta tags, shop markup and the repair of weak titles;
//   15-23 fallbacks that need no page, page type, completion, score, record.
// Text is UTF-8 throughout and every string operation has the semantics of
// the host's str methods (see text.hpp).
#include "commerce/metadata_parser.hpp"

#include <array>
#include <cmath>
#include <cstdlib>

#include "commerce/extended.hpp"
#include "commerce/extractors.hpp"
#include "commerce/html_entities.hpp"
#include "commerce/json.hpp"
#include "commerce/markup.hpp"
#include "commerce/numbers.hpp"
#include "commerce/price_normalizer.hpp"
#include "commerce/text.hpp"
#include "commerce/url_unwrapper.hpp"
#include "commerce/vocabulary.hpp"

namespace quillmere::metadata {
namespace {

using json::Value;
using sv = std::string_view;

// ---------------------------------------------------------------- helpers

// Empty in the host's sense: absent, null, false, 0, "", [] or {}.
bool empty(const Value* v) { return v == nullptr || json::is_empty(*v); }
bool empty(const std::optional<std::string>& s) { return !s || s->empty(); }

std::string trimmed(sv s) { return std::string(text::strip(s)); }
std::string trimmed_text_form(const Value& v) { return trimmed(json::text_form(v)); }

bool is_generic(sv lowered) { return vocab::is_member(vocab::GENERIC_TITLES, lowered); }

// str.replace(old, "") : non-overlapping, left to right.
std::string remove_all(sv s, sv old) {
    std::string out;
    out.reserve(s.size());
    std::size_t i = 0;
    for (std::size_t p = s.find(old); p != sv::npos; p = s.find(old, i)) {
        out.append(s, i, p - i);
        i = p + old.size();
    }
    out.append(s, i, sv::npos);
    return out;
}

std::size_t word_count(sv s) { return text::split(s).size(); }

// len(s) > n, counting code points but stopping early.
bool longer_than(sv s, std::size_t n) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < s.size();) {
        text::next_code_point(s, i);
        if (++count > n) return true;
    }
    return false;
}

// A markup number: group 1 without its commas, read as float() reads it.
// Text that is not a number, and numbers too long to be finite, give
// nothing: the price record only holds finite amounts.
std::optional<double> markup_number(sv group) {
    std::string digits;
    digits.reserve(group.size());
    for (char c : group)
        if (c != ',') digits.push_back(c);
    auto v = numbers::parse_python_float(digits);
    if (!v || !std::isfinite(*v)) return std::nullopt;
    return v;
}

// A decimal integer text divided by 100, correctly rounded.
double hundredth(std::string digits) {
    if (digits.size() < 3) digits.insert(0, 3 - digits.size(), '0');
    digits.insert(digits.size() - 2, 1, '.');
    return std::strtod(digits.c_str(), nullptr);
}

// cents / 100 as the host's true division computes it (correctly rounded,
// for integers of any size too), then round(x, 2). Only positive JSON
// numbers count, and a quotient out of the range of a double is as
// unreadable as a non-number.
std::optional<double> cents_amount(const Value& cents) {
    double q;
    if (const auto* i = std::get_if<std::int64_t>(&cents.v)) {
        if (*i <= 0) return std::nullopt;
        // Exact operands give a correctly rounded quotient; beyond 2**53 the
        // quotient is read from its exact decimal text instead.
        q = *i <= (std::int64_t{1} << 53) ? static_cast<double>(*i) / 100.0 : hundredth(std::to_string(*i));
    } else if (const auto* b = std::get_if<json::BigInt>(&cents.v)) {
        std::string_view d = b->digits;
        if (!d.empty() && d[0] == '+') d.remove_prefix(1);
        if (d.empty() || d[0] == '-') return std::nullopt;
        q = hundredth(std::string(d));
    } else if (const auto* f = std::get_if<double>(&cents.v)) {
        if (!(*f > 0)) return std::nullopt;
        q = *f / 100.0;
    } else {
        return std::nullopt;
    }
    if (!std::isfinite(q)) return std::nullopt;
    return numbers::round2(q);
}

// ------------------------------------------------------- working fields

struct Fields {
    url::UrlParts link;
    std::string domain;
    std::string title;
    std::string merchant_name;
    std::optional<std::string> brand;
    std::optional<std::string> sku;
    std::optional<double> price_amount;
    std::optional<std::string> currency;
    std::optional<StockStatus> stock_status;
    std::optional<ItemCondition> condition;
    PageType page_type = PageType::UNCATEGORIZED;
    sv fetch_source = "serp_fallback";
    std::optional<std::string> image;
    bool is_social = false;
};

// ------------------------------------------------------------ JSON-LD (5)

// An "image" value: text unchanged, a mapping through its "url" member, a
// list through its first element. A list whose first element is a mapping
// (pages list ImageObject mappings) is read through that mapping's "url",
// for a variant too; any other first element gives its text form. A
// variant's image given as a mapping alone gives nothing.
std::optional<std::string> image_of(const Value& img, bool variant) {
    const Value* v = &img;
    if (img.is_array()) {
        if (img.array().empty()) return std::nullopt;
        v = &img.array().front();
        if (!v->is_object()) return json::text_form(*v);
    } else if (img.is_string()) {
        return img.str();
    } else if (variant) {
        return std::nullopt;
    }
    if (v->is_object())
        if (const Value* u = v->get("url")) return json::text_form(*u);
    return std::nullopt;
}

void apply_offer(Fields& f, const Value& offer) {
    const Value* raw = offer.get("price");
    if (empty(raw)) raw = offer.get("lowPrice");
    if (empty(raw)) raw = offer.get("highPrice");
    // A currency member that is not text says nothing about the currency.
    std::optional<sv> hint;
    if (const Value* c = offer.get("priceCurrency"); c && c->is_string()) hint = sv(c->str());

    if (raw && !raw->is_null()) {
        if (auto p = price::parse(json::text_form(*raw), hint)) {
            f.price_amount = p->amount;
            f.currency = p->currency;
        }
    }
    if (empty(f.currency)) f.currency = hint ? std::optional<std::string>(std::string(*hint)) : std::nullopt;

    const Value* a = offer.get("availability");
    std::string availability = text::lower(a ? json::text_form(*a) : std::string());
    if (text::contains(availability, "instock"))
        f.stock_status = StockStatus::IN_STOCK;
    else if (text::contains(availability, "outofstock") || text::contains(availability, "soldout"))
        f.stock_status = StockStatus::OUT_OF_STOCK;
    else if (text::contains(availability, "preorder"))
        f.stock_status = StockStatus::PREORDER;

    const Value* c = offer.get("itemCondition");
    std::string condition = text::lower(c ? json::text_form(*c) : std::string());
    if (text::contains(condition, "new"))  // also "newcondition"
        f.condition = ItemCondition::NEW;
    else if (text::contains(condition, "used"))
        f.condition = ItemCondition::USED;
    else if (text::contains(condition, "refurbished"))
        f.condition = ItemCondition::REFURBISHED;
}

void apply_ld_json(Fields& f, const std::vector<const Value*>& products) {
    const Value* chosen = products.front();
    for (const Value* r : products) {
        if (!empty(r->get("offers")) || !empty(r->get("sku")) || !empty(r->get("hasVariant"))) {
            chosen = r;
            break;
        }
    }
    const Value& rec = *chosen;
    f.fetch_source = "ld_json";
    if (f.page_type != PageType::MARKETPLACE) f.page_type = PageType::PRODUCT;

    if (const Value* name = rec.get("name"); name && name->is_string()) {
        sv t = text::strip(name->str());
        if (!t.empty()) f.title = html::unescape(t);
    }

    if (const Value* b = rec.get("brand")) {
        if (b->is_object()) {
            if (const Value* n = b->get("name")) f.brand = trimmed_text_form(*n);
        } else if (b->is_string()) {
            f.brand = trimmed(b->str());
        }
    }

    const Value* id = nullptr;
    for (sv key : {sv("sku"), sv("gtin13"), sv("gtin12"), sv("gtin8"), sv("mpn")}) {
        id = rec.get(key);
        if (!empty(id)) break;
    }
    if (!empty(id))
        f.sku = trimmed_text_form(*id);
    else if (id && id->is_string())
        f.sku = std::string();

    if (const Value* img = rec.get("image")) f.image = image_of(*img, false);

    const Value* offers = rec.get("offers");
    if (empty(offers)) {
        if (const Value* variants = rec.get("hasVariant"); variants && variants->is_array()) {
            for (const Value& v : variants->array()) {
                if (!v.is_object()) continue;
                if (const Value* vo = v.get("offers"); !empty(vo)) offers = vo;
                if (empty(f.sku))
                    if (const Value* vs = v.get("sku"); !empty(vs)) f.sku = trimmed_text_form(*vs);
                if (empty(f.image))
                    if (const Value* vi = v.get("image"); !empty(vi)) f.image = image_of(*vi, true);
                if (!empty(offers)) break;
            }
        }
    }
    if (empty(offers)) {
        for (const Value* r : products) {
            const Value* ro = r->get("offers");
            if (empty(ro)) continue;
            offers = ro;
            if (empty(f.sku))
                if (const Value* rs = r->get("sku"); !empty(rs)) f.sku = trimmed_text_form(*rs);
            break;
        }
    }

    // The offer: a mapping, or a list's first element when that is a
    // mapping. Anything else (null, text, a number, a nested list) is no offer.
    const Value* offer = nullptr;
    if (offers && offers->is_object()) {
        offer = offers;
    } else if (offers && offers->is_array() && !offers->array().empty()) {
        const Value& first = offers->array().front();
        if (first.is_object()) offer = &first;
    }
    if (offer && !json::is_empty(*offer)) apply_offer(f, *offer);
}

// ------------------------------------------------------------ Next.js (6)

void apply_next_data(Fields& f, const Value& p) {
    f.fetch_source = "next_data";
    if (f.page_type != PageType::MARKETPLACE) f.page_type = PageType::PRODUCT;

    const Value* name = p.get("name");
    if (empty(name)) name = p.get("title");
    if (name && name->is_string()) {
        sv t = text::strip(name->str());
        if (!t.empty()) f.title = html::unescape(t);
    }

    const Value* brand = p.get("brandName");
    if (empty(brand)) brand = p.get("brand");
    if (brand && brand->is_string()) {
        sv t = text::strip(brand->str());
        if (!t.empty()) f.brand = std::string(t);
    }

    if (const Value* s = p.get("sku"); !empty(s))
        f.sku = trimmed_text_form(*s);
    else
        f.sku.reset();

    if (!f.price_amount) {
        const Value* cents = p.get("specialDisplayPriceCents");
        if (empty(cents)) cents = p.get("retailPriceCents");
        if (empty(cents)) cents = p.get("lowestPriceCents");
        std::optional<double> amount = cents ? cents_amount(*cents) : std::nullopt;
        if (amount) {
            f.price_amount = amount;
            f.currency = "USD";
        } else if (const Value* price = p.get("price"); !empty(price)) {
            if (auto parsed = price::parse(json::text_form(*price), std::nullopt)) {
                f.price_amount = parsed->amount;
                if (empty(f.currency)) f.currency = parsed->currency;
            }
        }
    }
    f.stock_status = StockStatus::IN_STOCK;
    f.condition = ItemCondition::NEW;
}

// ------------------------------------------------- meta tags (7 to 12)

void apply_meta(Fields& f, const MetaMap& meta, sv direct_url) {
    if (f.fetch_source == "serp_fallback" && !f.is_social) {  // 7
        const std::string* og = meta.find("og:type");
        std::string og_type = og ? text::lower(*og) : std::string();
        if (text::contains(og_type, "product") || text::contains(direct_url, "/product"))
            f.page_type = PageType::PRODUCT;
        else if (text::contains(og_type, "article") || text::contains(direct_url, "/blog/") ||
                 text::contains(direct_url, "/news/") || vocab::has_labels(f.domain, vocab::MEDIUM_DOMAIN))
            f.page_type = PageType::ARTICLE;
        f.fetch_source = "opengraph";
    }

    if (empty(f.brand) && !f.is_social) {  // 8
        auto short_name = [](const std::string& v) {
            std::size_t n = text::length(v);
            return n >= 2 && n <= 30;
        };
        if (const std::string* v = meta.find("og:brand")) {
            f.brand = trimmed(*v);
        } else if (const std::string* v2 = meta.find("product:brand")) {
            f.brand = trimmed(*v2);
        } else if (const std::string* a = meta.find("author"); a && short_name(*a) && !text::contains(*a, "http")) {
            f.brand = trimmed(*a);
        } else if (const std::string* s = meta.find("og:site_name"); s && short_name(*s)) {
            f.brand = trimmed(*s);
        }
    }

    if (empty(f.image))  // 9
        if (const std::string* v = meta.find("og:image")) f.image = *v;

    const std::string* meta_currency = meta.find("product:price:currency");
    if (!f.price_amount) {  // 10
        if (const std::string* amount = meta.find("product:price:amount")) {
            std::optional<sv> hint;
            if (meta_currency) hint = sv(*meta_currency);
            if (auto p = price::parse(*amount, hint)) {
                f.price_amount = p->amount;
                if (empty(f.currency)) f.currency = p->currency;
            }
        }
    }

    if (empty(f.currency) && meta_currency) f.currency = text::upper(*meta_currency);  // 11

    if (!f.stock_status) {  // 12
        if (const std::string* v = meta.find("product:availability")) {
            std::string a = text::lower(*v);
            if (text::contains(a, "instock"))
                f.stock_status = StockStatus::IN_STOCK;
            else if (text::contains(a, "outofstock"))
                f.stock_status = StockStatus::OUT_OF_STOCK;
        }
    }
}

// ------------------------------------------------------ shop markup (13)

void apply_markup(Fields& f, sv html) {
    Page page(html);
    if (!f.price_amount) {  // 13.1
        if (auto m = find_markup(Markup::SHOP_PRICE, page)) {
            if (auto v = markup_number(m->group)) {
                f.price_amount = v;
                if (empty(f.currency)) f.currency = "USD";
                if (f.page_type == PageType::UNCATEGORIZED) f.page_type = PageType::PRODUCT;
            }
        }
    }
    if (!f.price_amount) {  // 13.2
        if (auto m = find_markup(Markup::MICRODATA_PRICE, page)) {
            if (auto v = markup_number(m->group)) {
                f.price_amount = v;
                if (auto c = find_markup(Markup::MICRODATA_CURRENCY, page)) f.currency = text::upper(c->group);
                if (f.page_type == PageType::UNCATEGORIZED) f.page_type = PageType::PRODUCT;
            }
        }
    }
    if (empty(f.sku)) {  // 13.3: only the first pattern that matches counts
        for (Markup which : {Markup::MICRODATA_SKU, Markup::SKU_ELEMENT, Markup::SKU_ATTRIBUTE}) {
            if (auto m = find_markup(which, page)) {
                sv id = text::strip(m->group);
                if (!id.empty()) f.sku = std::string(id);
                break;
            }
        }
    }
    if (!f.stock_status) {  // 13.4: in-stock evidence anywhere wins
        if (find_markup(Markup::IN_STOCK_CLASS, page) || page.lower_contains("schema.org/instock"))
            f.stock_status = StockStatus::IN_STOCK;
        else if (find_markup(Markup::OUT_OF_STOCK_CLASS, page) || page.lower_contains("schema.org/outofstock"))
            f.stock_status = StockStatus::OUT_OF_STOCK;
    }
}

// ------------------------------------------------- extended analysis

// Findings tied to the main product replace what the steps above read from
// the first record or anywhere in the page; the weaker ones only fill.
// The standard answer among a traced field's candidates, where the merge
// below would rank it: after the candidates that replace it.
void trace_standard(std::vector<extended::Candidate>& list, extended::Source replaced_up_to,
                    extended::Candidate standard) {
    auto at = list.begin();
    while (at != list.end() && at->source <= replaced_up_to) ++at;
    list.insert(at, std::move(standard));
}

void trace_extended(const Fields& f, extended::Findings& x) {
    using extended::Source;
    if (f.price_amount && *f.price_amount != 0)
        trace_standard(x.prices, Source::META,
                       {Source::LINK, "standard", {}, *f.price_amount, empty(f.currency) ? "" : *f.currency});
    if (!empty(f.sku)) trace_standard(x.skus, Source::ITEM, {Source::LINK, "standard", *f.sku});
    if (f.stock_status) x.stocks.push_back({Source::LINK, "standard", {}, 0, {}, *f.stock_status});
}

// What the last steps did to the traced fields: a field they cleared has no
// candidate left, and a priced product page without any stock word is in stock.
void settle_trace(const Fields& f, extended::Findings& x) {
    if (!f.price_amount) x.prices.clear();
    if (empty(f.sku)) x.skus.clear();
    if (!f.stock_status) x.stocks.clear();
    else if (x.stocks.empty()) x.stocks.push_back({extended::Source::LINK, "priced product", {}, 0, {}, *f.stock_status});
}

void apply_extended(Fields& f, const extended::Findings& x) {
    using extended::Source;
    if (x.price && (!f.price_amount || *f.price_amount == 0 || x.price_source <= Source::META)) {
        f.price_amount = x.price;
        if (!x.currency.empty()) f.currency = x.currency;
    }
    if (x.sku && (empty(f.sku) || x.sku_source <= Source::ITEM)) f.sku = x.sku;
    if (x.stock) f.stock_status = x.stock;
    // A product described by the page's data makes it a product page; a price
    // alone only fills the field (an uncategorised page with a price becomes
    // a product page later anyway, an article listing prices stays one).
    if (x.product && (f.page_type == PageType::UNCATEGORIZED || f.page_type == PageType::ARTICLE))
        f.page_type = PageType::PRODUCT;
}

// ------------------------------------------------------ title repair (14)

void repair_title(Fields& f, const MetaMap& meta, const std::optional<std::string>& page_title) {
    std::string lowered = text::lower(f.title);
    bool weak = is_generic(lowered) || !longer_than(f.title, 3) || lowered == text::lower(f.merchant_name);
    if (!weak) return;
    if (const std::string* og = meta.find("og:title"); og && !og->empty() && !is_generic(text::lower(*og)))
        f.title = html::unescape(*og);
    else if (page_title && !page_title->empty() && !is_generic(text::lower(*page_title)))
        f.title = html::unescape(*page_title);
}

// ------------------------------------------- classification (15 to 19)

constexpr std::array<sv, 4> kProductPaths = {"/products/", "/item/", "/goods/", "/product"};
constexpr std::array<sv, 3> kShopEndings = {".shop", ".store", ".boutique"};
constexpr std::array<sv, 4> kFootwearWords = {"shoes", "sneakers", "footwear", "nike"};
constexpr std::array<sv, 2> kRefurbishedWords = {"refurbished", "renewed"};
constexpr std::array<sv, 4> kUsedWords = {"pre-owned", "vintage", "used", "thrift"};
constexpr std::array<sv, 2> kSoldOutWords = {"sold out", "out of stock"};

void generic_title_fallback(Fields& f) {  // 15
    if (!is_generic(text::lower(f.title))) return;
    if (!f.merchant_name.empty() && longer_than(f.merchant_name, 5) &&
        !text::contains(f.domain, text::lower(f.merchant_name))) {
        f.title = f.merchant_name;
        f.merchant_name = f.domain;
        return;
    }
    sv path = f.link.path;
    std::size_t b = path.find_first_not_of('/');
    if (b == sv::npos) return;
    path = path.substr(b, path.find_last_not_of('/') - b + 1);
    sv last;
    for (std::size_t i = 0; i <= path.size();) {
        std::size_t j = path.find('/', i);
        if (j == sv::npos) j = path.size();
        if (j > i) last = path.substr(i, j - i);
        i = j + 1;
    }
    if (last.empty()) return;
    std::string words(last);
    for (char& c : words)
        if (c == '-' || c == '_') c = ' ';
    f.title = text::title(words);
}

void single_word_swap(Fields& f) {  // 16
    if (word_count(f.title) <= 1 && !f.merchant_name.empty() && word_count(f.merchant_name) >= 3) {
        std::swap(f.title, f.merchant_name);
        if (empty(f.brand)) f.brand = f.merchant_name;
    }
}

void page_type_heuristics(Fields& f) {  // 17
    if (f.page_type != PageType::UNCATEGORIZED || f.is_social) return;
    std::string path = text::lower(f.link.path);
    bool product_evidence = f.sku.has_value() || f.fetch_source != "serp_fallback";
    if (f.price_amount || (vocab::any_contained(kProductPaths, path) && product_evidence)) {
        f.page_type = PageType::PRODUCT;
    } else if (vocab::any_contained(vocab::ARTICLE_PATH_PATTERNS, path) || vocab::any_labels(vocab::EDITORIAL_DOMAINS, f.domain)) {
        f.page_type = PageType::ARTICLE;
    } else if (vocab::any_contained(vocab::PORTFOLIO_PATH_PATTERNS, path) ||
               vocab::any_contained(vocab::PORTFOLIO_KEYWORDS, text::lower(f.title)) ||
               vocab::any_labels(vocab::PORTFOLIO_DOMAINS, f.domain)) {
        f.page_type = PageType::PORTFOLIO;
    } else {
        bool shop_ending = false;
        for (sv e : kShopEndings) shop_ending = shop_ending || text::ends_with(f.domain, e);
        if (vocab::any_contained(vocab::CATALOG_PATH_PATTERNS, path) || shop_ending ||
            vocab::any_contained(kFootwearWords, f.domain))
            f.page_type = PageType::PRODUCT;
    }
}

void complete_or_clear(Fields& f) {  // 18, 19
    if (f.page_type == PageType::PRODUCT || f.page_type == PageType::MARKETPLACE) {
        std::string lowered = text::lower(f.title);
        if (!f.condition) {
            if (vocab::any_contained(kRefurbishedWords, lowered))
                f.condition = ItemCondition::REFURBISHED;
            else if (vocab::any_contained(kUsedWords, lowered))
                f.condition = ItemCondition::USED;
        }
        if (!f.stock_status && f.price_amount && !vocab::any_contained(kSoldOutWords, lowered))
            f.stock_status = StockStatus::IN_STOCK;
        if (empty(f.brand) && longer_than(f.merchant_name, 2) &&
            !text::contains(f.domain, text::lower(f.merchant_name)))
            f.brand = f.merchant_name;
    } else {
        f.sku.reset();
        f.stock_status.reset();
        f.condition.reset();
    }
}

bool brand_in_title(const Fields& f) {  // 20.3
    return !empty(f.brand) && text::contains(text::lower(f.title), text::lower(*f.brand));
}

}  // namespace

Metadata parse_metadata(const Input& in) {
    Fields f;

    // 1. Initial values.
    f.link = url::urlparse(in.direct_url);
    f.domain = remove_all(text::lower(f.link.netloc), "www.");
    f.title = html::unescape(text::strip(in.initial_title));
    f.merchant_name = trimmed(in.initial_merchant);
    if (f.merchant_name.empty()) f.merchant_name = f.domain;
    if (in.initial_price) {
        f.price_amount = in.initial_price->amount;
        f.currency = in.initial_price->currency;
    }
    if (in.initial_stock) f.stock_status = *in.initial_stock ? StockStatus::IN_STOCK : StockStatus::OUT_OF_STOCK;

    // 2. Domain classification.
    if (vocab::any_labels(vocab::SOCIAL_DOMAINS, f.domain)) {
        f.page_type = PageType::SOCIAL;
        f.is_social = true;
    } else if (vocab::any_labels(vocab::MARKETPLACE_DOMAINS, f.domain)) {
        f.page_type = PageType::MARKETPLACE;
    }

    // 3. Page gate: more than 200 characters.
    if (in.html && longer_than(*in.html, 200)) {
        sv html = *in.html;
        // 4. Extraction.
        MetaMap meta = extract_meta_tags(html);
        LdJsonProducts products = find_ld_json_products(html);
        std::optional<NextDataProduct> next = find_next_data_product(html);
        std::optional<std::string> page_title = extract_html_title(html);

        bool ld_json_used = false;
        if (!products.products.empty() && !f.is_social) {  // 5
            apply_ld_json(f, products.products);
            ld_json_used = true;
        }
        if (!ld_json_used && next && next->product && !json::is_empty(*next->product) && !f.is_social)  // 6
            apply_next_data(f, *next->product);

        apply_meta(f, meta, in.direct_url);         // 7 to 12
        // 13; the extended analysis reads the shop markup in its own pass instead
        if (!f.is_social && !in.extended) apply_markup(f, html);
        if (in.extended && !f.is_social) {
            extended::Findings x = extended::analyse(html, in.direct_url, products, meta, in.trace != nullptr);
            if (in.trace) {
                trace_extended(f, x);
                *in.trace = x;
            }
            apply_extended(f, x);
        }
        repair_title(f, meta, page_title);          // 14
    }

    generic_title_fallback(f);  // 15
    single_word_swap(f);        // 16
    page_type_heuristics(f);    // 17
    complete_or_clear(f);       // 18, 19
    if (in.trace) settle_trace(f, *in.trace);

    Metadata out;
    out.match_score = match_score(in.rank, brand_in_title(f));              // 20
    out.title = text::collapse_whitespace(html::unescape(f.title));          // 21
    if (f.price_amount) {                                                    // 22
        std::string currency = empty(f.currency) ? std::string("USD") : *f.currency;
        out.price = Price{numbers::fixed2(*f.price_amount) + " " + currency, *f.price_amount, currency};
    }
    out.merchant_name = std::move(f.merchant_name);  // 23
    out.brand = std::move(f.brand);
    out.sku = std::move(f.sku);
    out.stock_status = f.stock_status;
    out.condition = f.condition;
    out.primary_image_url = std::move(f.image);
    out.page_type = f.page_type;
    out.fetch_source = std::string(f.fetch_source);
    return out;
}

}  // namespace quillmere::metadata
