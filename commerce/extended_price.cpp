#include "commerce/extended_price.hpp"

#include <string>

#include "commerce/html_entities.hpp"
#include "commerce/price_labels.hpp"
#include "commerce/price_text.hpp"
#include "commerce/text.hpp"

namespace quillmere::extended {
namespace {

using sv = std::string_view;

constexpr sv kNotThePrice[] = {
    "old",   "was",     "strike", "regular", "list",     "before",   "original", "compare", "rrp",  "msrp",
    "uvp",   "save",    "saving", "discount", "excl",    "per-",     "unit",     "shipping", "delivery", "range",
    "filter", "slider", "month",  "instal",  "crossed", "previous", "retail",   "reference", "netto", "recommend",
    "without", "price-tax", "tax-price"};
constexpr sv kMainPrice[] = {"ourprice", "dealprice", "saleprice", "buybox",  "pricetopay", "price-to-pay",
                             "price_inside", "product-price", "productprice", "final", "current",
                             "special", "actual", "main", "offer", "sale", "now"};

// The new price beside an old one ("price-new", "pricenew", "new-price").
constexpr sv kNewPrice[] = {"pricenew", "price-new", "price_new", "newprice", "new-price", "new_price"};
bool named_new_price(sv names) {
    for (sv w : kNewPrice)
        if (word_in(names, w)) return true;
    // "new" as a whole class name ("price new"), not "newsletter"
    for (sv w : text::split(names))
        if (w == "new") return true;
    return false;
}

// A zero is a placeholder, not a price.
void add(Pool& pool, Source source, std::string rule, const Amount& a) {
    if (a.value > 0) pool.add(Candidate{source, rule, {}, a.value, a.currency});
}

void from_meta(const metadata::MetaMap& meta, Pool& price) {
    if (!price.open(Source::META)) return;
    for (sv prefix : {sv("product:sale_price:"), sv("product:price:"), sv("og:price:")}) {
        const std::string* amount = meta.find(std::string(prefix) + "amount");
        if (!amount) continue;
        const std::string* cur = meta.find(std::string(prefix) + "currency");
        if (auto a = amount_of(sv(*amount), cur ? sv(*cur) : sv()); a && a->value > 0) {
            add(price, Source::META, "meta", *a);
            return;
        }
    }
}

// The price element most like the selling price: a text with a currency,
// named as the main or current price, early in the page. One inside a link or
// a block of other products (related, recommended, a carousel) is another
// product's price, never the page's.
void from_markup(const page_scan::Scan& s, Pool& price) {
    if (!price.open(Source::MARKUP)) return;
    int best_score = -1000;
    std::optional<Amount> best;
    int seen = 0;
    for (const auto& m : s.marked) {
        if (m.kind != page_scan::Marked::PRICE || m.strike || m.aside) continue;
        // A slider holds a product's pictures as often as a price-range
        // filter: a price named as the new one inside it is the product's.
        bool named_new = named_new_price(m.names);
        bool skip = false;
        for (sv w : kNotThePrice) skip = skip || (word_in(m.names, w) && !(named_new && w == "slider"));
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
        score += named_new ? 2 : 0;
        if (score > best_score) best_score = score, best = a;
        if (++seen > 40) break;
    }
    if (best) add(price, Source::MARKUP, "markup.price", *best);
}

// A price the page writes after a price label ("Price: 12 €", "售價：$990"):
// the first that reads with a currency sign or code (a bare number after a
// label is as often a count or a discount).
std::optional<Amount> labelled(sv text) {
    std::string t = html::unescape(text);
    auto r = price_text::read(t);
    if (!r || r->amount <= 0 || r->currency.empty()) return std::nullopt;
    return Amount{r->amount, r->currency};
}

// A label shown to a shopper names the price to pay, where a class name
// mentioning a price fits list, unit and other products' prices alike: a
// labelled price of the page's text (outside other products' blocks) comes
// before the price elements.
void from_labels(const page_scan::Scan& s, Pool& price) {
    if (!price.open(Source::MARKUP)) return;
    for (const auto& l : s.label_prices)
        if (auto a = labelled(l.text)) {
            add(price, Source::MARKUP, "label.price:" + l.label, *a);
            return;
        }
}

// The page's description, which only its data holds, when it begins with a
// labelled price ("直購價：$2320。...").
void from_description(const metadata::MetaMap& meta, Pool& price) {
    if (!price.open(Source::LINK)) return;
    for (sv key : {sv("og:description"), sv("description"), sv("twitter:description")}) {
        const std::string* d = meta.find(key);
        if (!d) continue;
        sv text = sv(*d).substr(0, 80);
        if (auto hit = price_labels::find(text.substr(0, text.find('\n'))))
            if (auto a = labelled(text.substr(hit->end, 40)))
                add(price, Source::LINK, "label.price:" + std::string(hit->label), *a);
        return;
    }
}

}  // namespace

void gather_prices(const MainProduct& main, const metadata::MetaMap& meta, const page_scan::Scan& s, Pool& price) {
    if (main.offer.price) add(price, Source::STRUCTURED, main.offer.price_rule, *main.offer.price);
    if (main.item_price && price.open(Source::ITEM)) add(price, Source::ITEM, "item", *main.item_price);
    from_meta(meta, price);
    from_labels(s, price);
    from_markup(s, price);
    from_description(meta, price);
}

}  // namespace quillmere::extended
