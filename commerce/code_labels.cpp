#include "commerce/code_labels.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "commerce/text.hpp"

namespace quillmere::code_labels {
namespace {

using sv = std::string_view;

struct Label {
    sv text;
    Rank rank;
};

// Lower case as written; a capital first letter beyond ASCII is listed too.
constexpr Label kLabels[] = {
    // English
    {"sku", SHOP}, {"item number", SHOP}, {"item no", SHOP}, {"item #", SHOP}, {"item code", SHOP},
    {"item id", SHOP}, {"product code", SHOP}, {"product id", SHOP}, {"product number", SHOP},
    {"product no", SHOP}, {"product #", SHOP}, {"article number", SHOP}, {"article no", SHOP}, {"art. no", SHOP},
    {"stock code", SHOP}, {"catalog number", SHOP}, {"catalogue number", SHOP}, {"order number", SHOP},
    {"ref", SHOP}, {"reference", SHOP},
    {"model", MAKER}, {"model no", MAKER}, {"model number", MAKER}, {"mpn", MAKER}, {"part number", MAKER},
    {"part no", MAKER}, {"mfr part", MAKER}, {"manufacturer part number", MAKER},
    {"ean", BARCODE}, {"gtin", BARCODE}, {"upc", BARCODE}, {"isbn", BARCODE},
    // German, Dutch, Scandinavian
    {"art.-nr", SHOP}, {"art.nr", SHOP}, {"art-nr", SHOP}, {"artikel-nr", SHOP}, {"artikelnr", SHOP},
    {"artikelnummer", SHOP}, {"artikel-nummer", SHOP}, {"bestellnummer", SHOP}, {"best.-nr", SHOP},
    {"bestell-nr", SHOP}, {"produktnummer", SHOP}, {"artikelcode", SHOP}, {"productcode", SHOP},
    {"varenummer", SHOP}, {"varenr", SHOP}, {"varunummer", SHOP}, {"tuotenumero", SHOP}, {"tuotekoodi", SHOP},
    {"modell", MAKER}, {"herstellernummer", MAKER}, {"hersteller-nr", MAKER},
    // Romance languages
    {"r\u00e9f", SHOP}, {"r\u00e9f\u00e9rence", SHOP}, {"referencia", SHOP}, {"refer\u00eancia", SHOP},
    {"riferimento", SHOP}, {"c\u00f3digo", SHOP}, {"c\u00f3d", SHOP}, {"codice", SHOP}, {"codice articolo", SHOP},
    {"codice prodotto", SHOP}, {"cod", SHOP}, {"cod produs", SHOP}, {"cod. produs", SHOP}, {"id produto", SHOP},
    {"c\u00f3digo do produto", SHOP}, {"c\u00f3digo de producto", SHOP}, {"code produit", SHOP},
    {"num\u00e9ro d'article", SHOP}, {"n\u00b0 d'article", SHOP},
    {"mod\u00e8le", MAKER}, {"modelo", MAKER}, {"modello", MAKER},
    // Slavic, Baltic, Hungarian, Turkish, Greek
    {"kod produktu", SHOP}, {"kod", SHOP}, {"numer katalogowy", SHOP}, {"nr katalogowy", SHOP},
    {"nr ref", SHOP}, {"numer referencyjny", SHOP}, {"k\u00f3d", SHOP}, {"k\u00f3d produktu", SHOP},
    {"katalogov\u00e9 \u010d\u00edslo", SHOP}, {"\u0161ifra", SHOP}, {"\u0160ifra", SHOP},
    {"\u0161ifra artikla", SHOP}, {"\u0160ifra artikla", SHOP}, {"tootekood", SHOP}, {"prekes kodas", SHOP},
    {"cikksz\u00e1m", SHOP}, {"term\u00e9kk\u00f3d", SHOP}, {"stok kodu", SHOP}, {"\u00fcr\u00fcn kodu", SHOP},
    {"\u00dcr\u00fcn kodu", SHOP}, {"\u03ba\u03c9\u03b4\u03b9\u03ba\u03cc\u03c2", SHOP},
    {"\u039a\u03c9\u03b4\u03b9\u03ba\u03cc\u03c2", SHOP},
    {"\u043a\u043e\u0434 \u0442\u043e\u0432\u0430\u0440\u0430", SHOP}, {"\u041a\u043e\u0434 \u0442\u043e\u0432\u0430\u0440\u0430", SHOP},
    {"\u0430\u0440\u0442\u0438\u043a\u0443\u043b", SHOP}, {"\u0410\u0440\u0442\u0438\u043a\u0443\u043b", SHOP},
    {"\u0430\u0440\u0442.", SHOP}, {"\u0410\u0440\u0442.", SHOP}, {"\u043a\u043e\u0434", SHOP}, {"\u041a\u043e\u0434", SHOP},
    {"\u043c\u043e\u0434\u0435\u043b\u044c", MAKER}, {"\u041c\u043e\u0434\u0435\u043b\u044c", MAKER},
    // Hebrew, Arabic, East Asian
    {"\u05e7\u05d5\u05d3 \u05de\u05d5\u05e6\u05e8", SHOP}, {"\u05de\u05e7\"\u05d8", SHOP},
    {"\u0631\u0645\u0632 \u0627\u0644\u0645\u0646\u062a\u062c", SHOP}, {"\u0631\u0642\u0645 \u0627\u0644\u0645\u0646\u062a\u062c", SHOP},
    {"\u5546\u54c1\u7de8\u865f", SHOP}, {"\u5546\u54c1\u7f16\u53f7", SHOP}, {"\u5546\u54c1\u756a\u53f7", SHOP},
    {"\u54c1\u756a", SHOP}, {"\u8ca8\u865f", SHOP}, {"\u8d27\u53f7", SHOP}, {"\u5546\u54c1\u30b3\u30fc\u30c9", SHOP},
    {"\uc0c1\ud488\ubc88\ud638", SHOP}, {"\uc0c1\ud488\ucf54\ub4dc", SHOP},
    {"\u578b\u756a", MAKER}, {"\u578b\u53f7", MAKER}, {"\u578b\u865f", MAKER}, {"\ubaa8\ub378\uba85", MAKER},
};

bool ascii_alnum(unsigned char c) { return (c >= '0' && c <= '9') || ((c | 32) >= 'a' && (c | 32) <= 'z'); }

// Longest labels first, so that "cod produs" is read before "cod"; and a
// table of the first two bytes (ASCII lowered) that can start a label.
struct Table {
    std::vector<Label> by_length;
    std::array<std::uint8_t, 65536> bucket{};  // 1 + the bucket of labels starting so; 0: none
    std::vector<std::vector<const Label*>> buckets;
    Table() : by_length(std::begin(kLabels), std::end(kLabels)) {
        std::stable_sort(by_length.begin(), by_length.end(),
                         [](const Label& a, const Label& b) { return a.text.size() > b.text.size(); });
        for (const Label& l : by_length) {
            std::uint8_t& b = bucket[key(l.text[0], l.text[1])];
            if (b == 0) {
                buckets.emplace_back();
                b = static_cast<std::uint8_t>(buckets.size());
            }
            buckets[b - 1].push_back(&l);
        }
    }
    static std::size_t key(char a, char b) {
        return static_cast<unsigned char>(text::lower_ascii(a)) << 8 | static_cast<unsigned char>(text::lower_ascii(b));
    }
};
const Table& table() {
    static const Table t;
    return t;
}

}  // namespace

std::optional<Hit> find(sv text, bool anywhere) {
    const Table& t = table();
    std::size_t last = anywhere ? text.size() : 1;
    for (std::size_t p = 0; p + 1 < text.size() && p < last; ++p) {
        std::uint8_t b = t.bucket[Table::key(text[p], text[p + 1])];
        if (b == 0) continue;
        if (p > 0 && ascii_alnum(static_cast<unsigned char>(text[p - 1]))) continue;
        for (const Label* lp : t.buckets[b - 1]) {
            const Label& l = *lp;
            if (!text::starts_with_ascii_icase(text.substr(p), l.text)) continue;
            std::size_t e = p + l.text.size();
            if (e < text.size() && ascii_alnum(static_cast<unsigned char>(text[e])) && ascii_alnum(static_cast<unsigned char>(l.text.back())))
                continue;  // a longer word
            for (;;) {
                if (e < text.size() && (text::html_space(text[e]) || text[e] == ':' || text[e] == '#' || text[e] == '.' ||
                                        text[e] == '-'))
                    ++e;
                else if (text.substr(e, 3) == "\xef\xbc\x9a")  // a full-width colon
                    e += 3;
                else
                    break;
            }
            return Hit{l.text, l.rank, e};
        }
    }
    return std::nullopt;
}

sv code_at(sv rest) {
    while (!rest.empty() && (text::html_space(rest.front()) || rest.front() == ':' || rest.front() == '#')) rest.remove_prefix(1);
    std::size_t k = 0;
    while (k < rest.size() && !text::html_space(rest[k])) ++k;
    sv tok = rest.substr(0, k);
    while (!tok.empty() && (tok.back() == '.' || tok.back() == ',' || tok.back() == ';' || tok.back() == ')' ||
                            tok.back() == ':'))
        tok.remove_suffix(1);
    bool digit = std::any_of(tok.begin(), tok.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (tok.size() < 2 || tok.size() > 40 || !digit) return {};
    return tok;
}

}  // namespace quillmere::code_labels
