// One linear pass over a page's markup for the extended analysis: the
// microdata and RDFa item tree (itemscope / itemprop, typeof / property) and
// the elements whose class or id names a price or the stock, with the start
// of their text. No document tree is built: an element stack of bounded depth
// pairs end tags with start tags, unclosed and stray tags are tolerated, and
// every text capture is bounded, so the pass is linear on any page.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quillmere::page_scan {

struct Property {
    std::string name;   // itemprop / property name, without a "schema:" prefix
    std::string value;  // content, href, src, value or the element's text (decoded, white space collapsed)
    int item = -1;      // the nested item when the property is itself an item
    std::size_t pos = 0;
};

struct Item {
    std::string type;  // itemtype / typeof as written
    int parent = -1;   // enclosing item; -1 at the top
    std::size_t pos = 0;
    std::vector<Property> props;
    const Property* find(std::string_view name) const;
};

// An element whose class or id mentions a price, the stock or the SKU, or
// whose class, id or test name (data-qa, data-testid) names its code.
struct Marked {
    // CODE: named as the product's code or reference ("article-number")
    enum Kind { PRICE, STOCK, SKU, CODE } kind;
    std::string names;  // class and id attribute values, lower-cased
    std::string text;   // start of its text (decoded, collapsed); attribute values for prices
    std::string content;  // a content / data-price-like attribute value, if any
    std::size_t pos = 0;
    bool strike = false;  // inside <del>, <s> or <strike>
    std::string code_word;  // CODE: the name that made it one ("article-number")
    bool aside = false;     // inside a link or a block of other products (related, carousel)
};

// A button of the page (<button>, <input type=submit|button>), with its text.
struct Button {
    std::string text;       // start of its text or value (decoded, collapsed)
    bool disabled = false;  // disabled, aria-disabled="true"
    bool hidden = false;    // hidden, display:none, a "hidden" class
};

struct Scan {
    std::vector<Item> items;  // items[0] holds the properties outside any item
    std::vector<Marked> marked;
    std::vector<Button> buttons;          // the first ones, page order
    std::vector<std::string> data_skus;   // data-sku / data-product-sku values, page order
    // identifiers written after a label ("SKU:", "Art.-Nr.", ...), page order
    struct LabelCode {
        std::string code;
        std::string label;  // the label as listed in code_labels
        int rank;           // code_labels::Rank
        std::size_t pos;    // where the code stands in the page
    };
    std::vector<LabelCode> label_skus;
    // texts after a price label ("Price:", "售價"), page order, outside
    // links and blocks of other products
    struct LabelPrice {
        std::string text;   // up to 40 bytes after the label, the next text joined when it stood alone
        std::string label;  // the label as listed in price_labels
        std::size_t pos;
    };
    std::vector<LabelPrice> label_prices;
};

Scan scan(std::string_view html);

}  // namespace quillmere::page_scan
