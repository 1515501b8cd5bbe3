#include "commerce/extended.hpp"

#include "commerce/extended_price.hpp"
#include "commerce/extended_records.hpp"
#include "commerce/extended_sku.hpp"
#include "commerce/page_scan.hpp"
#include "commerce/text.hpp"
#include "commerce/urlparse.hpp"

namespace quillmere::extended {

Findings analyse(std::string_view html, std::string_view direct_url, const metadata::LdJsonProducts& ld,
                 const metadata::MetaMap& meta, bool every) {
    Findings f;
    url::UrlParts link;
    try {
        link = url::urlparse(direct_url);
    } catch (...) {
    }
    page_scan::Scan s = page_scan::scan(html);
    MainProduct main = main_product(ld, meta, link, s);
    Pool prices(every), skus(every), stocks(every);
    gather_prices(main, meta, s, prices);
    gather_skus(main, s, html, link, skus);
    gather_stock(main.offer.stock, main.item_stock, meta, s, stocks);

    if (const Candidate* c = prices.best()) {
        f.price = c->amount;
        f.currency = c->currency;
        f.price_source = c->source;
    }
    if (const Candidate* c = skus.best()) {
        f.sku = c->text;
        f.sku_source = c->source;
    }
    if (const Candidate* c = stocks.best()) {
        f.stock = c->stock;
        f.stock_source = c->source;
    }
    f.product = main.product;
    if (meta.find("product:price:amount") ||
        text::contains(text::lower(meta.find("og:type") ? *meta.find("og:type") : ""), "product"))
        f.product = true;
    // An availability message and an identifier: a product page without a price.
    if (f.stock && f.sku) f.product = true;
    if (every) {
        f.prices = prices.ranked();
        f.skus = skus.ranked();
        f.stocks = stocks.ranked();
    }
    return f;
}

}  // namespace quillmere::extended
