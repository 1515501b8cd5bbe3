#include "commerce/extended_records.hpp"

#include <cmath>
#include <cstdlib>
#include <vector>

#include "commerce/extended_stock.hpp"
#include "commerce/numbers.hpp"
#include "commerce/text.hpp"

namespace quillmere::extended {

using json::Value;
using sv = std::string_view;

std::string str_of(const Value* v) {
    if (!v) return {};
    if (v->is_string()) return std::string(text::strip(v->str()));
    if (v->is_number()) return json::text_form(*v);
    return {};
}

namespace {

std::optional<Amount> amount_of(const Value* v, sv hint) {
    if (!v || v->is_null() || v->is_bool()) return std::nullopt;
    if (v->is_number()) {
        std::string t = json::text_form(*v);
        double d = std::strtod(t.c_str(), nullptr);
        if (!std::isfinite(d) || d < 0) return std::nullopt;
        return Amount{numbers::round2(d), code_of(hint)};
    }
    if (v->is_string()) return extended::amount_of(sv(v->str()), hint);
    return std::nullopt;
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

// ------------------------------------------------------------ JSON-LD

struct Found {
    const Value* product;
    bool related;  // under another record's related, similar or list members
    bool top;      // a document root, an @graph element or a mainEntity
};

constexpr sv kRelatedKeys[] = {"isRelatedTo",   "isSimilarTo",     "isAccessoryOrSparePartFor",
                               "isConsumableFor", "itemListElement", "relatedProducts",
                               "recommendations", "item",            "hasPart"};

void walk(const Value& v, bool related, bool top, int depth, std::vector<Found>& out) {
    if (depth > json::kMaxDepth + 2 || out.size() > 1000) return;
    if (v.is_array()) {
        for (const Value& x : v.array()) walk(x, related, top, depth + 1, out);
        return;
    }
    if (!v.is_object()) return;
    bool product = is_product(v);
    if (product) out.push_back(Found{&v, related, top});
    for (const json::Member& m : v.object().members) {
        if (!m.value.is_object() && !m.value.is_array()) continue;
        bool rel = related;
        for (sv k : kRelatedKeys) rel = rel || m.key == k;
        bool t = (top && !product && (m.key == "@graph" || m.key == "mainEntity" || m.key == "mainEntityOfPage")) ||
                 (!product && m.key == "mainEntity");
        walk(m.value, rel, t, depth + 1, out);
    }
}

bool list_price(const Value& price_spec) {
    std::string t = text::lower(str_of(price_spec.get("priceType")) + " " + str_of(price_spec.get("@type")));
    return text::contains(t, "list") || text::contains(t, "strikethrough") || text::contains(t, "msrp") ||
           text::contains(t, "srp") || text::contains(t, "invoice");
}

std::vector<const Value*> objects(const Value* v) {
    std::vector<const Value*> list;
    if (v && v->is_object()) list.push_back(v);
    if (v && v->is_array())
        for (const Value& x : v->array())
            if (x.is_object()) list.push_back(&x);
    return list;
}

Offer read_offer(const Value& o, int depth) {
    Offer out;
    std::string hint = str_of(o.get("priceCurrency"));
    if (const Value* a = o.get("availability")) out.stock = availability_of(str_of(a));
    out.sku = str_of(o.get("sku"));
    const Value* p = o.get("price");
    if (p && json::is_empty(*p)) p = nullptr;
    if (!p)
        if (const Value* low = o.get("lowPrice"); low && !json::is_empty(*low)) p = low, out.price_rule = "ld.low";
    if (p) out.price = amount_of(p, hint);
    if (!out.price) {
        // priceSpecification: the selling price, not a list price.
        std::vector<const Value*> specs = objects(o.get("priceSpecification"));
        for (int pass = 0; pass < 2 && !out.price; ++pass)
            for (const Value* s : specs) {
                if (pass == 0 && list_price(*s)) continue;
                std::string h = str_of(s->get("priceCurrency"));
                if (h.empty()) h = hint;
                if ((out.price = amount_of(s->get("price"), h))) {
                    out.price_rule = "ld.price_specification";
                    break;
                }
            }
    }
    if (!out.price && depth < 3) {
        // An AggregateOffer listing its offers.
        for (const Value* x : objects(o.get("offers"))) {
            Offer io = read_offer(*x, depth + 1);
            if (io.price) {
                if (!out.stock) out.stock = io.stock;
                out.price = io.price;
                out.price_rule = "ld.aggregate";
                break;
            }
        }
    }
    if (out.price && out.price->currency.empty()) out.price->currency = code_of(hint);
    return out;
}

// The product's offer: the first with a price (a list may hold several).
Offer product_offer(const Value& product) {
    Offer first;
    bool have = false, priced = false, any_in = false;
    for (const Value* x : objects(product.get("offers"))) {
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
        own.price_rule = "ld.record";
        if ((own.price = amount_of(p, str_of(product.get("priceCurrency"))))) return own;
    }
    // A group's variants, when the group itself has no offer.
    if (const Value* variants = product.get("hasVariant"); variants && variants->is_array())
        for (const Value& v : variants->array())
            if (v.is_object() && v.get("offers")) {
                Offer o = product_offer(v);
                if (o.price) {
                    if (o.sku.empty()) o.sku = str_of(v.get("sku"));
                    o.price_rule = "ld.variant";
                    return o;
                }
            }
    return first;
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
                  MainProduct& out) {
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
    out.product = true;
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
    out.record = best->product;
    out.offer = std::move(best_offer);
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
                if ((out.price = extended::amount_of(sv(p.value), hint))) break;
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

void from_items(const page_scan::Scan& s, MainProduct& out) {
    const page_scan::Item* best = nullptr;
    ItemOffer best_offer;
    int best_score = -1000;
    for (const auto& it : s.items) {
        if (!item_product(it)) continue;
        ItemOffer o = item_offer(s, it, 0);
        int score = (o.price ? 4 : 0) + (it.parent < 0 ? 2 : 0);
        if (score > best_score) best = &it, best_offer = o, best_score = score;
    }
    if (best) {
        out.product = out.item_is_product = true;
    } else {
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
    }
    out.item = best;
    out.item_price = best_offer.price;
    out.item_stock = best_offer.stock;
}

}  // namespace

MainProduct main_product(const metadata::LdJsonProducts& ld, const metadata::MetaMap& meta,
                         const url::UrlParts& page, const page_scan::Scan& s) {
    MainProduct out;
    from_ld_json(ld, meta, page, out);
    from_items(s, out);
    return out;
}

}  // namespace quillmere::extended
