#include "commerce/extended.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "commerce/json.hpp"
#include "commerce/numbers.hpp"
#include "commerce/page_scan.hpp"
#include "commerce/price_text.hpp"
#include "commerce/text.hpp"
#include "commerce/url_unwrapper.hpp"

namespace quillmere::extended {
namespace {

using json::Value;
using sv = std::string_view;

// ------------------------------------------------------------ values

// A machine-written amount ("1234.5", "12"), as structured data writes it.
std::optional<double> machine_number(sv s) {
    s = text::strip(s);
    if (s.empty() || s.size() > 40) return std::nullopt;
    std::size_t dots = 0;
    for (char c : s) {
        if (c == '.') ++dots;
        else if (c < '0' || c > '9') return std::nullopt;
    }
    if (dots > 1 || s.front() == '.' || s.back() == '.') return std::nullopt;
    double v = std::strtod(std::string(s).c_str(), nullptr);
    if (!std::isfinite(v)) return std::nullopt;
    return numbers::round2(v);
}

struct Amount {
    double value;
    std::string currency;
};

// The code a priceCurrency value names: a known sign or code, or any three
// ASCII letters as an ISO code.
std::string code_of(sv hint) {
    std::string code = price_text::currency_code(hint);
    sv h = text::strip(hint);
    if (code.empty() && h.size() == 3 && std::all_of(h.begin(), h.end(), [](char c) {
            return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        }))
        code = text::upper(h);
    return code;
}

// A price value of structured data: a number, machine text or shop text.
std::optional<Amount> amount_of(sv text, sv hint) {
    if (auto v = machine_number(text)) return Amount{*v, code_of(hint)};
    auto r = price_text::read(text, hint.empty() ? std::nullopt : std::optional<sv>(hint));
    if (!r) return std::nullopt;
    std::string code = !r->currency.empty() ? r->currency : code_of(hint);
    return Amount{r->amount, code};
}
std::optional<Amount> amount_of(const Value* v, sv hint) {
    if (!v || v->is_null() || v->is_bool()) return std::nullopt;
    if (v->is_number()) {
        std::string t = json::text_form(*v);
        double d = std::strtod(t.c_str(), nullptr);
        if (!std::isfinite(d) || d < 0) return std::nullopt;
        return Amount{numbers::round2(d), code_of(hint)};
    }
    if (v->is_string()) return amount_of(sv(v->str()), hint);
    return std::nullopt;
}

std::string str_of(const Value* v) {
    if (!v) return {};
    if (v->is_string()) return std::string(text::strip(v->str()));
    if (v->is_number()) return json::text_form(*v);
    return {};
}

bool type_is(const Value& d, sv name) {
    const Value* t = d.get("@type");
    if (!t) return false;
    auto one = [&](const Value& x) {
        if (!x.is_string()) return false;
        sv s = x.str();
        if (std::size_t slash = s.rfind('/'); slash != sv::npos) s.remove_prefix(slash + 1);
        if (std::size_t colon = s.rfind(':'); colon != sv::npos) s.remove_prefix(colon + 1);
        return s == name;
    };
    if (one(*t)) return true;
    if (t->is_array())
        for (const Value& x : t->array())
            if (one(x)) return true;
    return false;
}
bool is_product(const Value& d) {
    return type_is(d, "Product") || type_is(d, "ProductGroup") || type_is(d, "IndividualProduct") ||
           type_is(d, "ProductModel") || type_is(d, "Vehicle") || type_is(d, "Car") || type_is(d, "Book");
}

// ------------------------------------------------------- availability

constexpr sv kOut[] = {
    "outofstock", "out of stock", "out-of-stock", "soldout", "sold out", "sold-out", "discontinued",
    "currently unavailable", "not available", "no longer available", "unavailable", "ausverkauft",
    "nicht verf\u00FCgbar", "nicht lieferbar", "nicht auf lager", "derzeit nicht", "\u00E9puis\u00E9",
    "rupture de stock", "indisponible", "non disponible", "agotado", "sin stock", "no disponible", "esaurito",
    "non disponibile", "niedost\u0119pny", "brak w magazynie", "wyprzedany", "nedostupn", "vyprod\u00E1no",
    "slut i lager", "utsolgt", "udsolgt", "uitverkocht", "niet op voorraad", "niet beschikbaar",
    "\u043D\u0435\u0442 \u0432 \u043D\u0430\u043B\u0438\u0447\u0438\u0438", "esgotado", "indispon\u00EDvel",
    "\uD488\uC808", "\u5728\u5EAB\u5207\u308C", "\u552E\u5B8C", "\u7F3A\u8CA8", "t\u00FCkendi", "stokta yok",
    "elfogyott", "nu este \u00EEn stoc", "stoc epuizat"};
constexpr sv kIn[] = {
    "instock", "in stock", "in-stock", "limitedavailability", "onlineonly", "instoreonly", "available",
    "auf lager", "lieferbar", "verf\u00FCgbar", "en stock", "disponible", "disponibile", "dispon\u00EDvel",
    "op voorraad", "i lager", "p\u00E5 lager", "na sklad", "skladem", "dost\u0119pny", "w magazynie",
    "\u0432 \u043D\u0430\u043B\u0438\u0447\u0438\u0438", "stokta", "\u00EEn stoc", "raktáron", "in magazzino",
    "\u6709\u5EAB", "\u73FE\u8CA8", "\u5728\u5EAB\u3042\u308A", "en existencia"};
constexpr sv kPre[] = {"preorder", "pre-order", "presale"};

}  // namespace

std::optional<StockStatus> availability_of(std::string_view raw) {
    if (raw.size() > 400) raw = raw.substr(0, 400);
    std::string s = text::lower(raw);
    for (sv w : kOut)
        if (text::contains(s, w)) return StockStatus::OUT_OF_STOCK;
    for (sv w : kPre)
        if (text::contains(s, w)) return StockStatus::PREORDER;
    for (sv w : kIn)
        if (text::contains(s, w)) return StockStatus::IN_STOCK;
    return std::nullopt;
}

namespace {

// ------------------------------------------------------------ JSON-LD

struct Found {
    const Value* product;
    bool related;  // under another record's related, similar or list members
    bool top;      // a document root, an @graph element or a mainEntity
    std::size_t order;
};

constexpr sv kRelatedKeys[] = {"isRelatedTo", "isSimilarTo", "isAccessoryOrSparePartFor",
                                            "isConsumableFor", "itemListElement", "relatedProducts",
                                            "recommendations", "item", "hasPart"};

void walk(const Value& v, bool related, bool top, int depth, std::vector<Found>& out) {
    if (depth > json::kMaxDepth + 2 || out.size() > 1000) return;
    if (v.is_array()) {
        for (const Value& x : v.array()) walk(x, related, top, depth + 1, out);
        return;
    }
    if (!v.is_object()) return;
    bool product = is_product(v);
    if (product) out.push_back(Found{&v, related, top, out.size()});
    for (const json::Member& m : v.object().members) {
        if (!m.value.is_object() && !m.value.is_array()) continue;
        bool rel = related;
        for (sv k : kRelatedKeys) rel = rel || m.key == k;
        bool t = (top && !product && (m.key == "@graph" || m.key == "mainEntity" || m.key == "mainEntityOfPage")) ||
                 (!product && m.key == "mainEntity");
        walk(m.value, rel, t, depth + 1, out);
    }
}

struct Offer {
    std::optional<Amount> price;
    std::optional<StockStatus> stock;
    std::string sku;
};

bool list_price(const Value& price_spec) {
    std::string t = text::lower(str_of(price_spec.get("priceType")) + " " + str_of(price_spec.get("@type")));
    return text::contains(t, "list") || text::contains(t, "strikethrough") || text::contains(t, "msrp") ||
           text::contains(t, "srp") || text::contains(t, "invoice");
}

Offer read_offer(const Value& o, int depth) {
    Offer out;
    std::string hint = str_of(o.get("priceCurrency"));
    if (const Value* a = o.get("availability")) out.stock = availability_of(str_of(a));
    out.sku = str_of(o.get("sku"));
    const Value* p = o.get("price");
    if (p && json::is_empty(*p)) p = nullptr;
    if (!p)
        if (const Value* low = o.get("lowPrice"); low && !json::is_empty(*low)) p = low;
    if (p) out.price = amount_of(p, hint);
    if (!out.price) {
        // priceSpecification: the selling price, not a list price.
        const Value* price_spec = o.get("priceSpecification");
        std::vector<const Value*> specs;
        if (price_spec && price_spec->is_object()) specs.push_back(price_spec);
        if (price_spec && price_spec->is_array())
            for (const Value& s : price_spec->array())
                if (s.is_object()) specs.push_back(&s);
        for (int pass = 0; pass < 2 && !out.price; ++pass)
            for (const Value* s : specs) {
                if (pass == 0 && list_price(*s)) continue;
                std::string h = str_of(s->get("priceCurrency"));
                if (h.empty()) h = hint;
                if ((out.price = amount_of(s->get("price"), h))) break;
            }
    }
    if (!out.price && depth < 3) {
        // An AggregateOffer listing its offers.
        if (const Value* inner = o.get("offers")) {
            std::vector<const Value*> list;
            if (inner->is_object()) list.push_back(inner);
            if (inner->is_array())
                for (const Value& x : inner->array())
                    if (x.is_object()) list.push_back(&x);
            for (const Value* x : list) {
                Offer io = read_offer(*x, depth + 1);
                if (io.price) {
                    if (!out.stock) out.stock = io.stock;
                    out.price = io.price;
                    break;
                }
            }
        }
    }
    if (out.price && out.price->currency.empty()) out.price->currency = code_of(hint);
    return out;
}

// The product's offer: the first with a price (a list may hold several).
Offer product_offer(const Value& product) {
    const Value* offers = product.get("offers");
    std::vector<const Value*> list;
    if (offers && offers->is_object()) list.push_back(offers);
    if (offers && offers->is_array())
        for (const Value& x : offers->array())
            if (x.is_object()) list.push_back(&x);
    Offer first;
    bool have = false, priced = false, any_in = false;
    for (const Value* x : list) {
        Offer o = read_offer(*x, 0);
        any_in = any_in || o.stock == StockStatus::IN_STOCK;
        if (o.price && !priced) {
            if (!o.stock && have) o.stock = first.stock;
            first = o, have = priced = true;
        }
        if (!have) first = o, have = true;
    }
    // A product with several offers (sizes, sellers) is available when any is.
    if (any_in) first.stock = StockStatus::IN_STOCK;
    if (priced) return first;
    // A price written on the record itself, as some shops do.
    if (const Value* p = product.get("price"); p && !json::is_empty(*p)) {
        Offer own = first;
        if ((own.price = amount_of(p, str_of(product.get("priceCurrency"))))) return own;
    }
    // A group's variants, when the group itself has no offer.
    if (const Value* variants = product.get("hasVariant"); variants && variants->is_array())
        for (const Value& v : variants->array())
            if (v.is_object() && v.get("offers")) {
                Offer o = product_offer(v);
                if (o.price) {
                    if (o.sku.empty()) o.sku = str_of(v.get("sku"));
                    return o;
                }
            }
    return first;
}

// An identifier is one word: text with spaces is a name or a label.
bool one_word(sv s) { return !s.empty() && s.size() <= 64 && text::split(s).size() == 1; }

std::string product_sku(const Value& p, const Offer& o) {
    if (std::string s = str_of(p.get("sku")); one_word(s)) return s;
    if (one_word(o.sku)) return o.sku;
    for (sv key : {sv("productID"), sv("mpn"), sv("gtin13"), sv("gtin"), sv("gtin14"), sv("gtin12"), sv("gtin8")}) {
        std::string s = str_of(p.get(key));
        if (key == "productID") {
            // "isbn:123", "sku:ABC": the value after a short scheme.
            if (std::size_t c = s.find(':'); c != std::string::npos && c <= 6) s = std::string(text::strip(sv(s).substr(c + 1)));
        }
        if (one_word(s)) return s;
    }
    return {};
}

bool same_page(const Value& p, const url::UrlParts& page) {
    for (sv key : {sv("url"), sv("@id")}) {
        std::string u = str_of(p.get(key));
        if (u.empty()) continue;
        try {
            url::UrlParts parts = url::urlparse(u);
            if (!parts.path.empty() && parts.path.size() > 1 && parts.path == page.path) return true;
        } catch (...) {
        }
    }
    return false;
}

// Whether a record's name is the one the page's share title gives.
bool titled(const Value& p, const std::string& page_title) {
    const Value* name = p.get("name");
    if (page_title.empty() || !name || !name->is_string() || name->str().size() < 4) return false;
    return text::contains(page_title, text::lower(name->str().substr(0, 200)));
}

void from_ld_json(const metadata::LdJsonProducts& ld, const metadata::MetaMap& meta, const url::UrlParts& page,
                  Findings& f) {
    std::vector<Found> found;
    for (const Value& doc : ld.documents) walk(doc, false, true, 0, found);
    if (found.empty()) return;
    std::string page_title;
    for (sv key : {sv("og:title"), sv("twitter:title")})
        if (const std::string* t = meta.find(key); t && page_title.empty()) page_title = text::lower(t->substr(0, 400));
    const Found* best = nullptr;
    Offer best_offer;
    int best_score = -1000;
    for (const Found& c : found) {
        Offer o = product_offer(*c.product);
        int score = (o.price ? 4 : 0) + (c.top ? 2 : 0) - (c.related ? 6 : 0) + (same_page(*c.product, page) ? 3 : 0) +
                    (c.product->get("sku") ? 1 : 0) + (titled(*c.product, page_title) ? 2 : 0);
        if (score > best_score) best = &c, best_offer = o, best_score = score;
    }
    f.product = true;
    if (best_offer.stock == StockStatus::OUT_OF_STOCK) {
        // One record per size or colour: the product is available when a
        // record of the same name is.
        const Value* name = best->product->get("name");
        for (const Found& c : found) {
            if (c.related || c.product == best->product || !name || !name->is_string()) continue;
            const Value* other = c.product->get("name");
            if (!other || !other->is_string() || other->str() != name->str()) continue;
            if (product_offer(*c.product).stock == StockStatus::IN_STOCK) {
                best_offer.stock = StockStatus::IN_STOCK;
                break;
            }
        }
    }
    if (best_offer.price && best_offer.price->value > 0) {  // a zero is a placeholder, not a price
        f.price = best_offer.price->value;
        f.currency = best_offer.price->currency;
        f.price_source = Source::STRUCTURED;
    }
    if (best_offer.stock) {
        f.stock = best_offer.stock;
        f.stock_source = Source::STRUCTURED;
    }
    std::string sku = product_sku(*best->product, best_offer);
    if (!sku.empty()) {
        f.sku = sku;
        f.sku_source = Source::STRUCTURED;
    }
}

// ---------------------------------------------------------- microdata

bool item_is(const page_scan::Item& it, sv name) {
    for (sv w : text::split(it.type)) {
        if (std::size_t slash = w.rfind('/'); slash != sv::npos) w.remove_prefix(slash + 1);
        if (std::size_t colon = w.rfind(':'); colon != sv::npos) w.remove_prefix(colon + 1);
        if (w == name) return true;
    }
    return false;
}
bool item_product(const page_scan::Item& it) {
    return item_is(it, "Product") || item_is(it, "IndividualProduct") || item_is(it, "ProductModel") ||
           item_is(it, "ProductGroup") || item_is(it, "Book") || item_is(it, "Vehicle");
}

struct ItemOffer {
    std::optional<Amount> price;
    std::optional<StockStatus> stock;
};

ItemOffer item_offer(const page_scan::Scan& s, const page_scan::Item& it, int depth) {
    ItemOffer out;
    std::string hint;
    if (const auto* c = it.find("priceCurrency")) hint = c->value;
    for (sv key : {sv("price"), sv("lowPrice")}) {
        if (out.price) break;
        for (const auto& p : it.props)
            if (p.name == key && p.item < 0 && !p.value.empty())
                if ((out.price = amount_of(sv(p.value), hint))) break;
    }
    if (const auto* a = it.find("availability")) out.stock = availability_of(a->value);
    if (depth < 3)
        for (const auto& p : it.props) {
            if (p.item < 0 || (p.name != "offers" && p.name != "priceSpecification")) continue;
            ItemOffer inner = item_offer(s, s.items[p.item], depth + 1);
            if (!out.price && inner.price) out.price = inner.price;
            if (!out.stock && inner.stock) out.stock = inner.stock;
            if (out.price && out.stock) break;
        }
    return out;
}

void from_items(const page_scan::Scan& s, Findings& f) {
    const page_scan::Item* best = nullptr;
    ItemOffer best_offer;
    int best_score = -1000;
    for (const auto& it : s.items) {
        if (!item_product(it)) continue;
        ItemOffer o = item_offer(s, it, 0);
        int score = (o.price ? 4 : 0) + (it.parent < 0 ? 2 : 0);
        if (score > best_score) best = &it, best_offer = o, best_score = score;
    }
    if (!best) {
        // Offers and prices that no product item holds.
        for (const auto& it : s.items) {
            if (&it != &s.items[0] && !item_is(it, "Offer") && !item_is(it, "AggregateOffer")) continue;
            ItemOffer o = item_offer(s, it, 2);
            if (o.price || o.stock) {
                best = &it, best_offer = o;
                break;
            }
        }
        if (!best) return;
    } else {
        f.product = true;
    }
    if (best_offer.price && best_offer.price->value > 0 && (!f.price || f.price_source > Source::ITEM)) {
        f.price = best_offer.price->value;
        f.currency = best_offer.price->currency;
        f.price_source = Source::ITEM;
    }
    if (best_offer.stock && (!f.stock || f.stock_source > Source::ITEM)) {
        f.stock = best_offer.stock;
        f.stock_source = Source::ITEM;
    }
    if (!f.sku || f.sku_source > Source::ITEM) {
        for (sv key : {sv("sku"), sv("productID"), sv("mpn"), sv("gtin13"), sv("gtin"), sv("gtin12"), sv("gtin8")}) {
            const auto* p = best->find(key);
            if (!p && best != &s.items[0]) {
                // The identifier may stand on the offer.
                for (const auto& q : best->props)
                    if (q.item >= 0 && q.name == "offers")
                        if ((p = s.items[q.item].find(key))) break;
            }
            sv id = p ? text::strip(p->value) : sv();
            if (one_word(id)) {
                f.sku = std::string(id);
                f.sku_source = Source::ITEM;
                break;
            }
        }
    }
}

// ---------------------------------------------------------- meta tags

void from_meta(const metadata::MetaMap& meta, Findings& f) {
    if (!f.price || f.price_source > Source::META) {
        for (sv prefix : {sv("product:sale_price:"), sv("product:price:"), sv("og:price:")}) {
            const std::string* amount = meta.find(std::string(prefix) + "amount");
            if (!amount) continue;
            const std::string* cur = meta.find(std::string(prefix) + "currency");
            if (auto a = amount_of(sv(*amount), cur ? sv(*cur) : sv()); a && a->value > 0) {
                f.price = a->value;
                f.currency = a->currency;
                f.price_source = Source::META;
                break;
            }
        }
    }
    if (!f.stock || f.stock_source > Source::META) {
        for (sv key : {sv("product:availability"), sv("og:availability"), sv("availability")}) {
            if (const std::string* v = meta.find(key))
                if (auto st = availability_of(*v)) {
                    f.stock = st;
                    f.stock_source = Source::META;
                    break;
                }
        }
    }
    if (meta.find("product:price:amount") || text::contains(text::lower(meta.find("og:type") ? *meta.find("og:type") : ""), "product"))
        f.product = true;
}

// ------------------------------------------------------------- markup

constexpr sv kNotThePrice[] = {
    "old",   "was",     "strike", "regular", "list",     "before",   "original", "compare", "rrp",  "msrp",
    "uvp",   "save",    "saving", "discount", "excl",    "per-",     "unit",     "shipping", "delivery", "range",
    "filter", "slider", "month",  "instal",  "crossed", "previous", "retail",   "reference", "netto", "recommend",
    "without", "price-tax", "tax-price"};
constexpr sv kMainPrice[] = {"ourprice", "dealprice", "saleprice", "buybox",  "pricetopay", "price-to-pay",
                                           "price_inside", "product-price", "productprice", "final", "current",
                                           "special", "actual", "main", "offer", "sale", "now"};

bool alnum(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// `word` starting a word of class and id names: "old" in "price-old" and
// "old-price", not in "font-bold".
bool word_in(sv names, sv word) {
    for (std::size_t p = names.find(word); p != sv::npos; p = names.find(word, p + 1)) {
        char before = p ? names[p - 1] : ' ';
        if (!((before >= 'a' && before <= 'z') || (before >= '0' && before <= '9'))) return true;
    }
    return false;
}

// The first "sku" member of the data a shop platform embeds in its scripts
// (Shopify's product object, WooCommerce's variations, analytics layers).
std::optional<std::string> embedded_sku(sv html) {
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
            bool digit = false, plain = true;
            for (char c : value) {
                digit = digit || (c >= '0' && c <= '9');
                plain = plain && (c > ' ' && c != '\\' && c != '<' && c != '&');
            }
            if (digit && plain) return std::string(value);
        }
    }
    return std::nullopt;
}

void from_markup(const page_scan::Scan& s, Findings& f) {
    if (!f.price || f.price_source > Source::MARKUP) {
        int best_score = -1000;
        std::optional<Amount> best;
        int seen = 0;
        for (const auto& m : s.marked) {
            if (m.kind != page_scan::Marked::PRICE || m.strike) continue;
            bool skip = false;
            for (sv w : kNotThePrice) skip = skip || word_in(m.names, w);
            if (skip) continue;
            std::optional<Amount> a;
            bool signed_text = false;
            if (!m.text.empty() && m.text.size() <= 60) {
                auto r = price_text::read(m.text);
                if (r && r->amount > 0) {
                    a = Amount{r->amount, r->currency};
                    signed_text = !r->currency.empty();
                }
            }
            if (!a && !m.content.empty())
                if (auto v = machine_number(m.content); v && *v > 0) a = Amount{*v, ""};
            if (!a) continue;
            int score = (signed_text ? 3 : 0) - seen / 4;
            for (sv w : kMainPrice) score += word_in(m.names, w) ? 2 : 0;
            if (score > best_score) best_score = score, best = a;
            if (++seen > 40) break;
        }
        if (best) {
            f.price = best->value;
            f.currency = best->currency;
            f.price_source = Source::MARKUP;
        }
    }
    if (!f.stock || f.stock_source > Source::MARKUP) {
        // Pages keep messages for other sizes and sellers too: the page is
        // in stock when any stock element says so.
        std::optional<StockStatus> found;
        int seen = 0;
        for (const auto& m : s.marked) {
            if (m.kind != page_scan::Marked::STOCK || m.text.empty()) continue;
            if (auto st = availability_of(m.text)) {
                // An element named after the sold-out state is a message
                // the page shows only then; its text proves nothing.
                if (*st != StockStatus::IN_STOCK &&
                    (text::contains(m.names, "unavail") || text::contains(m.names, "outofstock") ||
                     text::contains(m.names, "out-of-stock") || text::contains(m.names, "soldout") ||
                     text::contains(m.names, "sold-out") || text::contains(m.names, "nostock") ||
                     text::contains(m.names, "no-stock") || text::contains(m.names, "out_of_stock")))
                    continue;
                if (!found || *st == StockStatus::IN_STOCK) found = st;
                if (*found == StockStatus::IN_STOCK || ++seen > 20) break;
            }
        }
        if (found) {
            f.stock = found;
            f.stock_source = Source::MARKUP;
        }
    }
    if (!f.sku || f.sku_source > Source::MARKUP) {
        // An element named for the SKU whose text is one identifier.
        for (const auto& m : s.marked) {
            if (m.kind != page_scan::Marked::SKU || !one_word(m.text) || m.text.size() < 3 || !alnum(m.text[0])) continue;
            if (std::none_of(m.text.begin(), m.text.end(), [](char c) { return c >= '0' && c <= '9'; })) continue;
            f.sku = m.text;
            f.sku_source = Source::MARKUP;
            break;
        }
    }
    if ((!f.sku || f.sku_source > Source::MARKUP) && !s.data_skus.empty() && one_word(s.data_skus.front())) {
        f.sku = s.data_skus.front();
        f.sku_source = Source::MARKUP;
    }

}

// --------------------------------------------------------------- link

bool page_has(sv html, sv token) {
    return ::memmem(html.data(), html.size(), token.data(), token.size()) != nullptr;
}


// An identifier the link carries (a product number in its path or query)
// that the page repeats.
void from_link(sv html, const url::UrlParts& link, Findings& f) {
    if (f.sku) return;
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
                if (plain) {
                    f.sku = std::string(value);
                    f.sku_source = Source::LINK;
                    return;
                }
            }
        }
        i = amp + 1;
    }
    gather(link.path);
    std::size_t path_tokens = tokens.size();
    gather(link.query);
    // The last path token the page repeats, else the first query token.
    for (std::size_t k = path_tokens; k-- > 0;)
        if (page_has(html, tokens[k])) {
            f.sku = std::string(tokens[k]);
            f.sku_source = Source::LINK;
            return;
        }
    for (std::size_t k = path_tokens; k < tokens.size(); ++k)
        if (page_has(html, tokens[k])) {
            f.sku = std::string(tokens[k]);
            f.sku_source = Source::LINK;
            return;
        }
}

}  // namespace

Findings analyse(std::string_view html, std::string_view direct_url, const metadata::LdJsonProducts& ld,
                 const metadata::MetaMap& meta) {
    Findings f;
    url::UrlParts link;
    try {
        link = url::urlparse(direct_url);
    } catch (...) {
    }
    from_ld_json(ld, meta, link, f);
    page_scan::Scan s = page_scan::scan(html);
    from_items(s, f);
    from_meta(meta, f);
    from_markup(s, f);
    from_link(html, link, f);
    // Last, identifiers in embedded shop data and after labels.
    if (!f.sku)
        if ((f.sku = embedded_sku(html))) f.sku_source = Source::LINK;
    if (!f.sku && !s.label_skus.empty()) {
        f.sku = s.label_skus.front();
        f.sku_source = Source::LINK;
    }
    // An availability message and an identifier: a product page without a price.
    if (f.stock && f.sku) f.product = true;
    return f;
}

}  // namespace quillmere::extended
