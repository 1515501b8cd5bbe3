#include "commerce/price_labels.hpp"

#include <array>

#include "commerce/price_text.hpp"
#include "commerce/text.hpp"

namespace quillmere::price_labels {
namespace {

using sv = std::string_view;

// Lower case as written; a capital first letter beyond ASCII is listed too.
constexpr sv kLabels[] = {
    // English
    "price", "our price", "sale price", "your price", "now", "price now", "selling price", "special price",
    "offer price", "deal price",
    // German, Dutch, Scandinavian, Finnish
    "preis", "unser preis", "jetzt", "verkaufspreis", "prijs", "onze prijs", "pris", "vår pris", "hinta",
    // Romance languages
    "prix", "notre prix", "prix de vente", "precio", "precio final", "precio oferta", "prezzo", "prezzo di vendita",
    "pre\xc8\x9b", "pre\xc5\xa3", "pre\xc3\xa7o", "pre\xc3\xa7o final",
    // Central and Eastern Europe, Baltic, Greek, Turkish
    "cena", "\xc3\xa1r", "cijena", "cena brutto", "kaina", "hind", "\xd1\x86\xd0\xb5\xd0\xbd\xd0\xb0",
    "\xd0\xa6\xd0\xb5\xd0\xbd\xd0\xb0", "\xd1\x86\xd1\x96\xd0\xbd\xd0\xb0", "\xd0\xa6\xd1\x96\xd0\xbd\xd0\xb0",
    "\xcf\x84\xce\xb9\xce\xbc\xce\xae", "\xce\xa4\xce\xb9\xce\xbc\xce\xae", "fiyat", "fiyat\xc4\xb1",
    "sat\xc4\xb1\xc5\x9f fiyat\xc4\xb1",
    // Hebrew, Arabic
    "\xd7\x9e\xd7\x97\xd7\x99\xd7\xa8", "\xd8\xa7\xd9\x84\xd8\xb3\xd8\xb9\xd8\xb1", "\xd8\xb3\xd8\xb9\xd8\xb1",
    // Chinese (traditional, simplified), Japanese, Korean, Thai, Vietnamese, Indonesian
    "\xe5\x83\xb9\xe6\xa0\xbc", "\xe5\x94\xae\xe5\x83\xb9", "\xe7\x89\xb9\xe5\x83\xb9", "\xe5\x84\xaa\xe6\x83\xa0\xe5\x83\xb9",
    "\xe7\x9b\xb4\xe8\xb3\xbc\xe5\x83\xb9", "\xe7\xb6\xb2\xe8\xb7\xaf\xe5\x83\xb9", "\xe4\xbf\x83\xe9\x8a\xb7\xe5\x83\xb9",
    "\xe6\x9c\x80\xe4\xbd\x8e\xe5\x83\xb9", "\xe4\xbb\xb7\xe6\xa0\xbc", "\xe5\x94\xae\xe4\xbb\xb7", "\xe7\x89\xb9\xe4\xbb\xb7",
    "\xe4\xbc\x98\xe6\x83\xa0\xe4\xbb\xb7", "\xe4\xbf\x83\xe9\x94\x80\xe4\xbb\xb7", "\xe4\xbe\xa1\xe6\xa0\xbc",
    "\xe8\xb2\xa9\xe5\xa3\xb2\xe4\xbe\xa1\xe6\xa0\xbc", "\xe7\xa8\x8e\xe8\xbe\xbc\xe4\xbe\xa1\xe6\xa0\xbc",
    "\xea\xb0\x80\xea\xb2\xa9", "\xed\x8c\x90\xeb\xa7\xa4\xea\xb0\x80", "\xed\x95\xa0\xec\x9d\xb8\xea\xb0\x80",
    "\xe0\xb8\xa3\xe0\xb8\xb2\xe0\xb8\x84\xe0\xb8\xb2", "gi\xc3\xa1", "gi\xc3\xa1 b\xc3\xa1n", "harga",
};

bool letter(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c >= 0x80; }


// A class name of a price that is not the one to pay: a struck price
// ("strike", "crossed", "rrp", "uvp"), or an old, was or list price in one
// class name ("old-price", "price--was", "listPrice"; not "feature-list price").
bool old_price_name(sv v) {
    bool price = false;
    for (std::size_t k = 0; k + 5 <= v.size() && !price; ++k) {
        price = true;
        for (std::size_t c = 0; c < 5 && price; ++c) price = text::lower_ascii(v[k + c]) == "price"[c];
    }
    for (std::size_t k = 0; k < v.size(); ++k) {
        // a word starts here: after a separator, or a capital after a small letter ("listPrice")
        if (k > 0 && ((v[k - 1] >= 'a' && v[k - 1] <= 'z') || (v[k - 1] >= '0' && v[k - 1] <= '9')) &&
            !(v[k] >= 'A' && v[k] <= 'Z'))
            continue;
        for (sv w : {sv("strike"), sv("crossed"), sv("rrp"), sv("msrp"), sv("uvp"), sv("old"), sv("was"), sv("list"),
                     sv("regular"), sv("original"), sv("before"), sv("compare"), sv("previous")}) {
            bool same = k + w.size() <= v.size();
            for (std::size_t c = 0; same && c < w.size(); ++c) same = text::lower_ascii(v[k + c]) == w[c];
            bool plain = w == "strike" || w == "crossed" || w == "rrp" || w == "msrp" || w == "uvp";
            if (same && (plain || price)) return true;
        }
    }
    return false;
}

}  // namespace

bool names_old_price(sv v) {
    v = v.substr(0, 160);
    for (std::size_t k = 0; k < v.size();) {
        std::size_t e = k;
        while (e < v.size() && v[e] != ' ' && v[e] != '\t' && v[e] != '\n') ++e;
        if (e > k && old_price_name(v.substr(k, e - k))) return true;
        k = e + 1;
    }
    return false;
}

std::optional<Hit> find(sv text) {
    // Most texts begin with no label's first byte.
    static const std::array<bool, 256> first = [] {
        std::array<bool, 256> t{};
        for (sv l : kLabels) {
            unsigned char c = static_cast<unsigned char>(l[0]);
            t[c] = true;
            if (c >= 'a' && c <= 'z') t[c - 32] = true;
        }
        return t;
    }();
    if (text.empty() || text.size() > 80 || !first[static_cast<unsigned char>(text[0])]) return std::nullopt;
    const sv* best = nullptr;
    for (const sv& l : kLabels)  // the longest label that begins the text
        if ((!best || l.size() > best->size()) && text::starts_with_ascii_icase(text, l)) best = &l;
    if (!best) return std::nullopt;
    std::size_t e = best->size();
    // A whole word: "Price" in "Price:", not in "Prices" (scripts without
    // spaces between words, such as Chinese, end a label at any letter).
    if (e < text.size() && static_cast<unsigned char>((*best)[0]) < 0x80 &&
        letter(static_cast<unsigned char>(text[e])) && static_cast<unsigned char>(text[e]) < 0x80)
        return std::nullopt;
    bool colon = false;
    for (;;) {
        if (e < text.size() && text::html_space(text[e])) ++e;
        else if (e < text.size() && text[e] == ':' && !colon) ++e, colon = true;
        else if (text.substr(e, 3) == "\xef\xbc\x9a" && !colon) e += 3, colon = true;  // a full-width colon
        else break;
    }
    sv rest = text.substr(e);
    if (!rest.empty()) {
        // A number or a currency next, not another word ("Price per kg:").
        std::size_t k = 0;
        while (k < rest.size() && !text::html_space(rest[k]) && !(rest[k] >= '0' && rest[k] <= '9')) ++k;
        sv word = rest.substr(0, k);
        if (!word.empty() && !(word[0] >= '0' && word[0] <= '9') && !price_text::is_currency_token(word) &&
            letter(static_cast<unsigned char>(word[0])))
            return std::nullopt;
    }
    return Hit{*best, e};
}

}  // namespace quillmere::price_labels
