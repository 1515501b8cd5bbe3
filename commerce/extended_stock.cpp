#include "commerce/extended_stock.hpp"

#include <iterator>
#include <string>

#include "commerce/text.hpp"

namespace quillmere::extended {
namespace {

using sv = std::string_view;

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

// What a buy button says, lower case: the product can be bought ...
constexpr sv kBuy[] = {
    "add to cart", "add to basket", "add to bag", "add to trolley", "buy now", "buy it now", "in den warenkorb",
    "in den einkaufswagen", "jetzt kaufen", "ajouter au panier", "acheter", "a\u00f1adir al carrito",
    "agregar al carrito", "a\u00f1adir a la cesta", "comprar", "aggiungi al carrello", "acquista", "dodaj do koszyka",
    "kup teraz", "in winkelwagen", "toevoegen aan winkelwagen", "in mijn winkelwagen", "l\u00e4gg i varukorg",
    "legg i handlekurv", "l\u00e6g i kurv", "lis\u00e4\u00e4 ostoskoriin", "do ko\u0161\u00edku", "v ko\u0161\u00edku",
    "kos\u00e1rba", "sepete ekle", "adaug\u0103 \u00een co\u0219", "adauga in cos", "\u0432 \u043a\u043e\u0440\u0437\u0438\u043d\u0443",
    "\u043a\u0443\u043f\u0438\u0442\u044c", "\u30ab\u30fc\u30c8\u306b\u5165\u308c\u308b", "\u52a0\u5165\u8cfc\u7269\u8eca",
    "\u52a0\u5165\u8d2d\u7269\u8f66", "\uc7a5\ubc14\uad6c\ub2c8", "\u0623\u0636\u0641 \u0625\u0644\u0649 \u0627\u0644\u0633\u0644\u0629",
    "\u05d4\u05d5\u05e1\u05e3 \u05dc\u05e1\u05dc"};
// ... or it cannot: the sold-out words above, and offers to tell when it can.
constexpr sv kNotify[] = {
    "notify me", "email me when", "tell me when", "alert me", "benachrichtigen", "m'alerter", "me pr\u00e9venir",
    "m'avertir", "av\u00edsame", "avisarme", "avvisami", "powiadom mnie", "houd me op de hoogte", "bevaka",
    "\u0441\u043e\u043e\u0431\u0449\u0438\u0442\u044c \u043e \u043f\u043e\u0441\u0442\u0443\u043f\u043b\u0435\u043d\u0438\u0438",
    "\u5165\u8377\u304a\u77e5\u3089\u305b", "\u5230\u8ca8\u901a\u77e5", "\u5230\u8d27\u901a\u77e5", "\uc7ac\uc785\uace0 \uc54c\ub9bc"};

sv said(const std::string& lower, const sv* words, std::size_t n) {
    for (std::size_t k = 0; k < n; ++k)
        if (text::contains(lower, words[k])) return words[k];
    return {};
}

// The buy buttons, when no source above spoke: one that can be pressed and
// is shown means in stock; none, and a shown sold-out or notify-me button,
// out of stock. A disabled buy button says nothing (many wait for a size).
void from_buttons(const page_scan::Scan& s, Pool& stock) {
    sv buy, not_buyable;  // the words that said so
    for (const auto& b : s.buttons) {
        if (b.hidden || b.text.empty() || b.text.size() > 80) continue;  // a button says a few words
        std::string t = text::lower(b.text);
        sv is_buy = said(t, kBuy, std::size(kBuy));
        sv is_out = said(t, kNotify, std::size(kNotify));
        if (is_out.empty())
            for (sv w : kOut)
                if (text::contains(t, w)) {
                    is_out = w;
                    break;
                }
        if (!is_buy.empty() && is_out.empty() && !b.disabled) {
            buy = is_buy;
            break;  // the first shown buy button settles it
        } else if (not_buyable.empty() && !is_out.empty()) {
            not_buyable = is_out;  // a disabled buy button alone may wait for a size: it says nothing
        }
    }
    if (!buy.empty())
        stock.add(Candidate{Source::LINK, "button.buy:" + std::string(buy), {}, 0, {}, StockStatus::IN_STOCK});
    else if (!not_buyable.empty())
        stock.add(Candidate{Source::LINK, "button.sold-out:" + std::string(not_buyable), {}, 0, {},
                            StockStatus::OUT_OF_STOCK});
}

// An element named after the sold-out state is a message the page shows only
// then; its text proves nothing.
bool named_sold_out(const std::string& names) {
    for (sv w : {sv("unavail"), sv("outofstock"), sv("out-of-stock"), sv("soldout"), sv("sold-out"), sv("nostock"),
                 sv("no-stock"), sv("out_of_stock")})
        if (text::contains(names, w)) return true;
    return false;
}

}  // namespace

std::optional<StockStatus> availability_of(sv raw) {
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

void gather_stock(std::optional<StockStatus> record, std::optional<StockStatus> item,
                  const metadata::MetaMap& meta, const page_scan::Scan& s, Pool& stock) {
    if (record) stock.add(Candidate{Source::STRUCTURED, "ld", {}, 0, {}, *record});
    if (item && stock.open(Source::ITEM)) stock.add(Candidate{Source::ITEM, "item", {}, 0, {}, *item});
    if (stock.open(Source::META))
        for (sv key : {sv("product:availability"), sv("og:availability"), sv("availability")})
            if (const std::string* v = meta.find(key))
                if (auto st = availability_of(*v)) {
                    stock.add(Candidate{Source::META, "meta", {}, 0, {}, *st});
                    break;
                }
    if (stock.open(Source::MARKUP)) {
        // Pages keep messages for other sizes and sellers too: the page is
        // in stock when any stock element says so.
        std::optional<StockStatus> found;
        int seen = 0;
        for (const auto& m : s.marked) {
            if (m.kind != page_scan::Marked::STOCK || m.text.empty()) continue;
            if (auto st = availability_of(m.text)) {
                if (*st != StockStatus::IN_STOCK && named_sold_out(m.names)) continue;
                if (!found || *st == StockStatus::IN_STOCK) found = st;
                if (*found == StockStatus::IN_STOCK || ++seen > 20) break;
            }
        }
        if (found) stock.add(Candidate{Source::MARKUP, "markup.stock", {}, 0, {}, *found});
    }
    if (stock.open(Source::LINK)) from_buttons(s, stock);
}

}  // namespace quillmere::extended
