#include "commerce/extended_stock.hpp"

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
}

}  // namespace quillmere::extended
