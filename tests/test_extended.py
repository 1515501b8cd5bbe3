"""The opt-in extended page analysis: its sources, its choices, the shared
product pages, the unchanged default, and hostile pages."""

from __future__ import annotations

import asyncio
import gzip
import json
from pathlib import Path

import pytest

from quillmere import commerce
from quillmere.cli import _engine
from quillmere.commerce import CommerceEnricher, DestinationMetadataParser, PageType, StockStatus, VisualMatch

# shared/ stands beside the clone (or beside the folder of work trees)
PAGES = next((p / "shared" / "data" / "product-pages" for p in Path(__file__).absolute().parents
              if (p / "shared" / "data" / "product-pages").exists()),
             Path(__file__).absolute().parent.parent.parent / "shared" / "data" / "product-pages")
URL = "https://shop.example/p/trail-lantern"
PAD = "<p>" + "Handmade in small batches. " * 12 + "</p>"


def analyse(body: str, url: str = URL, head: str = "", **kw):
    html = f"<html><head><title>Trail Lantern</title>{head}</head><body>{PAD}{body}</body></html>"
    return DestinationMetadataParser.parse_metadata(html, url, **kw)


def ext(body: str, **kw):
    return analyse(body, extended=True, **kw)


def ld(*records) -> str:
    return "".join(f'<script type="application/ld+json">{json.dumps(r)}</script>' for r in records)


def facts(md):
    price = md["price"]
    return (None if price is None else (price.amount, price.currency)), md["sku"], md["stock_status"]


# ------------------------------------------------------------------ JSON-LD

def test_the_main_product_wins_over_related_and_listed_ones():
    related = {"@type": "Product", "name": "Other", "sku": "R-1", "offers": {"price": "5.00", "priceCurrency": "USD"}}
    main = {"@type": "Product", "name": "Trail Lantern", "sku": "TL-9", "url": URL,
            "isRelatedTo": [related],
            "offers": {"@type": "Offer", "price": "34.99", "priceCurrency": "EUR",
                       "availability": "https://schema.org/OutOfStock"}}
    listing = {"@type": "ItemList", "itemListElement": [related]}
    assert facts(ext(ld(listing, main))) == ((34.99, "EUR"), "TL-9", StockStatus.OUT_OF_STOCK)
    # the default takes the first record with offers, the listed one
    assert facts(analyse(ld(listing, main)))[0] == (5.0, "USD")


def test_the_record_named_like_the_page_wins_a_tie():
    a = {"@type": "Product", "name": "Camp Mug", "sku": "CM-1", "offers": {"price": "9.00"}}
    b = {"@type": "Product", "name": "Trail Lantern", "sku": "TL-2", "offers": {"price": "35.00"}}
    head = '<meta property="og:title" content="Trail Lantern | Shop">'
    assert facts(analyse(ld(a, b), head=head, extended=True))[:2] == ((35.0, "USD"), "TL-2")
    assert facts(analyse(ld(a, b), extended=True))[:2] == ((9.0, "USD"), "CM-1")  # no title: the first


@pytest.mark.parametrize("offers, expected", [
    ({"@type": "AggregateOffer", "lowPrice": 19.5, "highPrice": 30, "priceCurrency": "GBP"}, (19.5, "GBP")),
    ([{"@type": "Offer", "availability": "InStock"}, {"price": "12,90", "priceCurrency": "EUR"}], (12.9, "EUR")),
    ({"@type": "Offer", "priceSpecification": [
        {"@type": "UnitPriceSpecification", "priceType": "https://schema.org/ListPrice", "price": 99,
         "priceCurrency": "CHF"},
        {"@type": "UnitPriceSpecification", "price": 79, "priceCurrency": "CHF"}]}, (79.0, "CHF")),
    ({"@type": "AggregateOffer", "offers": [{"price": "0"}, {"price": "7.25", "priceCurrency": "PLN"}]}, None),
])
def test_offer_shapes(offers, expected):
    got = facts(ext(ld({"@type": "Product", "name": "Lantern", "offers": offers})))[0]
    if expected is None:  # a zero is a placeholder: no price rather than a free product
        assert got is None
    else:
        assert got == expected


def test_a_zero_price_gives_way_to_a_real_one():
    page = ld({"@type": "Product", "name": "Lantern", "offers": {"price": 0, "priceCurrency": "EUR"}})
    page += '<span class="price">34,90 €</span>'
    assert facts(ext(page))[0] == (34.9, "EUR")
    assert facts(analyse(page))[0] is None  # the default passes over the zero and reads no price element


def test_graph_main_entity_and_group_variants():
    graph = {"@context": "https://schema.org", "@graph": [
        {"@type": "WebPage", "mainEntity": {"@type": "Product", "name": "Lantern", "mpn": "MPN-7",
                                            "offers": {"price": 40, "priceCurrency": "USD"}}}]}
    assert facts(ext(ld(graph)))[:2] == ((40.0, "USD"), "MPN-7")
    group = {"@type": "ProductGroup", "name": "Lantern", "productGroupID": "G1", "hasVariant": [
        {"@type": "Product", "sku": "V-1", "offers": {"price": "22.00", "priceCurrency": "CAD"}}]}
    assert facts(ext(ld(group)))[:2] == ((22.0, "CAD"), "V-1")
    # a price on the record itself
    assert facts(ext(ld({"@type": "Product", "name": "Lantern", "price": "19,90", "priceCurrency": "EUR"})))[0] == \
        (19.9, "EUR")
    # productID as the last fallback, with its scheme taken off
    assert ext(ld({"@type": "Product", "productID": "isbn:9780000000002"}))["sku"] == "9780000000002"


def test_currency_codes_beyond_the_table():
    offer = {"price": "1500", "priceCurrency": "UZS"}
    assert facts(ext(ld({"@type": "Product", "offers": offer})))[0] == (1500.0, "UZS")
    offer = {"price": "15", "priceCurrency": "XQZ"}  # three letters count as a code
    assert facts(ext(ld({"@type": "Product", "offers": offer})))[0] == (15.0, "XQZ")


def test_any_size_in_stock_makes_the_product_available():
    offers = [{"price": "10", "availability": "OutOfStock"}, {"price": "10", "availability": "InStock"}]
    assert ext(ld({"@type": "Product", "offers": offers}))["stock_status"] == StockStatus.IN_STOCK


# -------------------------------------------------------------- microdata

MICRODATA = """
<div itemscope itemtype="https://schema.org/Product">
  <h1 itemprop="name">Trail Lantern</h1>
  <span itemprop="sku">TL-42</span>
  <div itemprop="offers" itemscope itemtype="https://schema.org/Offer">
    <span itemprop="price">1.299,00 €</span>
    <link itemprop="availability" href="https://schema.org/InStock">
  </div>
  <div itemscope itemtype="https://schema.org/Product" itemprop="isRelatedTo">
    <span itemprop="sku">OTHER</span>
  </div>
</div>
"""


def test_microdata_tree_with_text_values_and_nested_offers():
    assert facts(ext(MICRODATA)) == ((1299.0, "EUR"), "TL-42", StockStatus.IN_STOCK)
    # the default's attribute patterns find none of it
    assert facts(analyse(MICRODATA))[:2] == (None, None)


def test_the_tree_survives_broken_markup():
    # a stray end tag closes nothing, an unclosed <p> is closed by its parent's end tag,
    # a void element's content is its value, and a text value joins its pieces
    body = ("<div itemscope itemtype='http://schema.org/Product'></section><p>intro"
            "<meta itemprop='sku' content='M-1'><div itemprop='offers' itemscope itemtype='http://schema.org/Offer'>"
            "<span itemprop='price'><b>12</b>,<sup>99</sup>&nbsp;&euro;</span></div></div>"
            "<span itemprop='price' content='1.00'></span>")
    assert facts(ext(body))[:2] == ((12.99, "EUR"), "M-1")
    # the product item's own offer, not the loose price after it; properties
    # written as full schema.org links count too
    body = ("<div itemscope itemtype='https://schema.org/Product'>"
            "<span itemprop='https://schema.org/sku'>F-2</span></div>")
    assert ext(body)["sku"] == "F-2"


def test_rdfa_properties_and_identifiers_that_are_names():
    rdfa = """<div vocab="https://schema.org/" typeof="Product"><span property="name">Lantern</span>
      <span property="mpn">Fake Wounds</span>
      <div property="offers" typeof="Offer"><meta property="schema:price" content="64.50">
      <meta property="priceCurrency" content="GBP"></div></div>"""
    price, sku, _ = facts(ext(rdfa))
    assert price == (64.5, "GBP")
    assert sku is None  # text with spaces is no identifier


# ---------------------------------------------------- meta tags and markup

def test_price_meta_variants_and_availability_meta():
    head = ('<meta property="og:type" content="product"><meta property="product:sale_price:amount" content="15.00">'
            '<meta property="product:sale_price:currency" content="SEK">'
            '<meta property="og:availability" content="out of stock">')
    assert facts(analyse("", head=head, extended=True))[::2] == ((15.0, "SEK"), StockStatus.OUT_OF_STOCK)


def test_price_and_stock_elements():
    body = ('<div class="price-box"><span class="old-price">59,00 zł</span>'
            '<span class="price final-price">49,00 zł</span></div>'
            '<div id="availability"><span> Currently unavailable. </span></div>'
            '<span class="unavailable-label">Produkt niedostępny</span>')
    price, _, stock = facts(ext(body))
    assert price == (49.0, "PLN")
    assert stock == StockStatus.OUT_OF_STOCK
    # a sold-out template alone is no evidence; an in-stock message wins
    body2 = '<span class="price">$5</span><span class="unavailable-label">Sold out</span><p class="stock">In stock</p>'
    assert ext(body2)["stock_status"] == StockStatus.IN_STOCK
    # stock words alone do not make a product page: non-product pages keep no stock
    assert ext('<p class="stock">In stock</p>')["stock_status"] is None


@pytest.mark.parametrize("body, amount", [
    ('<span class="actionOldPrice">59 €</span><span class="price">49 €</span>', 49.0),
    ('<span class="font-bold price">49 €</span><span class="price-old">59 €</span>', 49.0),
    ('<span class="price-excluding-tax">40 €</span><span class="price-including-tax">49 €</span>', 49.0),
    ('<p class="unit-price">4,90 € / kg</p><p class="price">49 €</p>', 49.0),
    ('<span class="a-price"><span class="a-offscreen">$49.00</span></span>', 49.0),
])
def test_which_price_element_is_the_price(body, amount):
    assert ext(body)["price"].amount == amount


def test_shop_theme_markup_read_in_the_extended_pass():
    woo = ('<p class="price"><span class="woocommerce-Price-amount amount"><bdi>'
           '<span class="woocommerce-Price-currencySymbol">&pound;</span>1,299.00</bdi></span></p>'
           '<span class="sku_wrapper">SKU: <span class="sku">WC-77</span></span><p class="stock in-stock">In stock</p>')
    assert facts(ext(woo)) == ((1299.0, "GBP"), "WC-77", StockStatus.IN_STOCK)
    assert facts(analyse(woo)) == ((1299.0, "USD"), "WC-77", StockStatus.IN_STOCK)
    # a SKU element holding no identifier is passed over
    assert ext('<span class="price">$5</span><span class="sku">-1</span>')["sku"] is None


def test_an_article_listing_prices_stays_an_article():
    body = '<h2>Best lanterns</h2><span class="price">$35.00</span><span class="price">$20.00</span>'
    url = "https://journal.example/blog/best-lanterns"
    md = ext(body, url=url)
    assert md["page_type"] == PageType.ARTICLE and md["stock_status"] is None
    # the same page describing a product is a product page
    md = ext(body + ld({"@type": "Product", "name": "Lantern", "offers": {"price": 35}}), url=url)
    assert md["page_type"] == PageType.PRODUCT and md["price"].amount == 35.0


def test_identifiers_in_the_link_that_the_page_repeats():
    body = '<span>Item number 302474151804</span>'
    assert ext(body, url="https://www.ebay.com/itm/302474151804")["sku"] == "302474151804"
    assert ext('<b>260591</b>', url="https://deals.example/store/122725?pid=260591")["sku"] == "260591"
    # a number the page never repeats is not taken
    assert ext("", url="https://shop.example/p/889900771")["sku"] is None


def test_identifiers_after_labels_and_in_embedded_shop_data():
    price = '<span class="price">40,00 €</span>'
    assert ext(price + "<li><strong>\u0160ifra:</strong> 0638</li>")["sku"] == "0638"
    assert ext(price + "<p>Art.-Nr.: 4711-B, sofort lieferbar</p>")["sku"] == "4711-B"
    assert ext(price + "<p>SKU: none yet</p>")["sku"] is None  # a value needs a digit
    shop = '<script>var meta = {"product":{"id":1,"variants":[{"price":49900,"sku":"1257009"}]}};</script>'
    assert ext(price + shop)["sku"] == "1257009"
    woo = "<form data-product_variations='[{&quot;sku&quot;:&quot;WV-220&quot;,&quot;display_price&quot;:12}]'>"
    assert ext(price + woo)["sku"] == "WV-220"
    # the link's own identifier comes before embedded data
    url = "https://www.amazon.it/dp/B085ZSV1JJ"
    page = price + "<b>B085ZSV1JJ</b>" + '<script>{"sku":"EE5BKKRB1"}</script>'
    assert ext(page, url=url)["sku"] == "B085ZSV1JJ"


# ------------------------------------------- what the shopper is shown

PRICE = '<span class="price">40,00 \u20ac</span>'


@pytest.mark.parametrize("body, sku", [
    ("<dl><dt>SKU</dt><dd>AB-1234</dd></dl>", "AB-1234"),  # a label alone, the code in the next text
    ("<p>Item # 55012</p>", "55012"),
    ("<span>R\u00e9f. : 1002/710</span>", "1002/710"),  # separators stay in the code
    ("<div>Artikelnummer 4711-B</div>", "4711-B"),  # no colon: the text begins with the label
    ("<li>Kod produktu: 12-345</li>", "12-345"),
    ("<td>\u54c1\u756a\uff1aKX-200</td>", "KX-200"),  # a full-width colon
    ("<p>Tuotenumero : SU221U09P-E11</p>", "SU221U09P-E11"),
    ("<p>\u0410\u0440\u0442\u0438\u043a\u0443\u043b: 88-1020</p>", "88-1020"),
    ("<p>Cod produs: 5099873388655</p>", "5099873388655"),  # "cod produs", not "cod"
    # the shop's own code before the maker's, whatever the order
    ("<p>Model: X-300</p><p>SKU: 7781</p>", "7781"),
    ("<p>EAN: 4006381333931</p><p>Model number: X-300</p>", "X-300"),
])
def test_codes_after_labels_in_many_languages(body, sku):
    assert ext(PRICE + body)["sku"] == sku


@pytest.mark.parametrize("body", [
    "<p>Our refund policy: 30 days</p>",  # "ref" inside a word
    "<p>Model: Explorer</p>",  # a code holds a digit
    "<p>The SKU of this lamp 12 is long and no label at all starts this sentence</p>",
    "<script>var label = 'SKU: 99812';</script>",  # scripts are not shown
    "<img alt='' src='/img/sku-99812.jpg'>",
    "<a href='/p/2'>SKU: 55012</a>",  # another product's
    "<div class='recently-viewed'><p>SKU: 55012</p></div>",
])
def test_texts_that_are_no_labelled_code(body):
    assert ext(PRICE + body)["sku"] is None


def test_a_shown_code_beats_a_structured_one_no_label_confirms():
    record = {"@type": "Product", "name": "Throw", "sku": "237972452",
              "offers": {"price": "40.00", "priceCurrency": "EUR"}}
    shown = "<p>Product code: 64981901</p>"
    assert ext(ld(record) + shown)["sku"] == "64981901"
    # confirmed: the record's identifier is also printed after a label
    assert ext(ld(record) + "<p>Item number: 55-1</p><p>SKU: 237972452</p>")["sku"] == "237972452"
    # a maker's code never replaces the record's
    assert ext(ld(record) + "<p>Model: X-300</p>")["sku"] == "237972452"
    # the default analysis keeps the record's
    assert analyse(ld(record) + shown)["sku"] == "237972452"


def test_elements_named_for_the_code_show_it():
    record = {"@type": "Product", "name": "Boots", "sku": "84518927-040-35",
              "offers": {"price": "69.95", "priceCurrency": "EUR"}}
    # a variant code in the data, the reference a shopper reads on the page
    shown = '<p>Black - <span data-qa-qualifier="product-reference">1002/710</span></p>'
    assert ext(ld(record) + shown)["sku"] == "1002/710"
    assert ext(PRICE + '<span class="productCode">Item 4411-20</span>')["sku"] is None  # not one code
    assert ext(PRICE + '<div id="article_number">Art.-Nr. 4411-20</div>')["sku"] == "4411-20"
    # another product's code, in a link or a block of related products, is not shown for this one
    assert ext(PRICE + '<a href="/p/2"><span class="item-number">55-99</span></a>')["sku"] is None
    assert ext(PRICE + '<div class="related-products"><b class="product-code">55-99</b></div>')["sku"] is None


def test_the_link_decides_between_a_record_and_a_shown_code():
    record = {"@type": "Product", "name": "Sofa", "sku": "992.775.08", "offers": {"price": "450"}}
    part = "<p>Article number: 903.294.89</p>"
    # the link carries the record's code (separators aside): it stays
    assert ext(ld(record) + part, url="https://shop.example/p/sofa-s99277508/")["sku"] == "992.775.08"
    assert ext(ld(record) + part, url="https://shop.example/p/sofa/")["sku"] == "903.294.89"
    # the link carries both: the shown one wins
    record["sku"] = "DWFWKMMBM"
    shown = "<p>Cod produs: 5099873388655</p>"
    url = "https://shop.example/whiskey-5099873388655/pd/DWFWKMMBM/"
    assert ext(ld(record) + shown, url=url)["sku"] == "5099873388655"
    # among shown codes, the one the link carries
    two = "<p>Item number: 11-22</p><p>SKU: 7788-1</p>"
    assert ext(PRICE + two, url="https://shop.example/p/77881")["sku"] == "7788-1"
    assert ext(PRICE + two)["sku"] == "11-22"


def test_prices_of_other_products_are_not_the_price():
    tiles = '<div id="recommendations"><span class="price">$129</span></div>' \
            '<a href="/p/2" class="card"><span class="price">$881</span></a>'
    assert ext(tiles)["price"] is None
    assert ext(tiles + '<div class="product-price">$99</div>')["price"].amount == 99.0
    # a link to nowhere is no other product
    assert ext('<a href="#buy"><span class="price">$45</span></a>')["price"].amount == 45.0


@pytest.mark.parametrize("buttons, stock", [
    ("<button>Add to basket</button>", StockStatus.IN_STOCK),
    ("<input type='submit' value='Ajouter au panier'>", StockStatus.IN_STOCK),
    ("<button disabled>Add to cart</button><button>Notify me when available</button>", StockStatus.OUT_OF_STOCK),
    ("<button>Ausverkauft</button>", StockStatus.OUT_OF_STOCK),
    ("<button>Temporarily unavailable</button>", StockStatus.OUT_OF_STOCK),
    ("<button aria-disabled='true'>A\u00f1adir al carrito</button>", None),  # it may wait for a size
    ("<button class='btn disabled'>Add to cart</button><button>Ausverkauft</button>", StockStatus.OUT_OF_STOCK),
    # a hidden sold-out message is a template; the shown buy button counts
    ("<button style='display: none'>Sold out</button><button>In den Warenkorb</button>", StockStatus.IN_STOCK),
    ("<button class='btn hidden'>Powiadom mnie</button>", None),
])
def test_buy_buttons_when_nothing_else_says(buttons, stock):
    # no price, so nothing else decides the stock
    assert ext("<p>Item number: 55012</p>" + buttons)["stock_status"] == stock
    assert analyse("<p>Item number: 55012</p>" + buttons)["stock_status"] is None


def test_stock_data_beats_buttons():
    record = {"@type": "Product", "name": "Lantern", "offers": {"price": "9", "availability": "InStock"}}
    assert ext(ld(record) + "<button>Sold out</button>")["stock_status"] == StockStatus.IN_STOCK


def test_the_trace_lists_every_candidate_best_first():
    from quillmere import _commerce
    record = {"@type": "Product", "name": "Lantern", "sku": "LT-1",
              "offers": {"price": "9.50", "priceCurrency": "EUR", "availability": "OutOfStock"}}
    page = f"<html><head><title>x</title></head><body>{PAD}{ld(record)}<p>SKU: 77-12</p>" \
           "<span class='price'>8,00 \u20ac</span><button>Add to cart</button></body></html>"
    trace = _commerce._extended_trace(page, URL)
    md = DestinationMetadataParser.parse_metadata(page, URL, extended=True)
    assert trace["sku"][0] == ("77-12", "label.shop:sku") and md["sku"] == "77-12"
    assert [r for _, r in trace["sku"]][:2] == ["label.shop:sku", "ld.sku"]
    assert trace["price"][0] == ((9.5, "EUR"), "ld.offer") and md["price"].amount == 9.5
    assert ((8.0, "EUR"), "markup.price") in trace["price"]
    assert trace["availability"][0] == (StockStatus.OUT_OF_STOCK, "ld")
    assert (StockStatus.IN_STOCK, "button.buy:add to cart") in trace["availability"]


def test_drawings_and_struck_prices_are_not_the_price():
    body = ('<svg><text class="price">$1.00</text></svg><del><span class="price">$9.00</span></del>'
            '<span class="price">$5.00</span>')
    assert ext(body)["price"].amount == 5.0


@pytest.mark.parametrize("body, price", [
    ("<p>Price: $12.50</p>", (12.5, "USD")),
    ("<dl><dt>Preis:</dt><dd>19,90 \u20ac</dd></dl>", (19.9, "EUR")),
    ("<div>\u552e\u50f9\uff1a<span>NT$1,280</span></div>", (1280.0, "TWD")),
    ("<li>Cena: 49,00 z\u0142</li>", (49.0, "PLN")),
    ("<p>\u0426\u0435\u043d\u0430 <b>1 290 \u20bd</b></p>", (1290.0, "RUB")),
    ("<p>Price: <s>$30.00</s> <b>$20.00</b></p>", (20.0, "USD")),  # the struck list price is passed over
    ('<dt>Price:</dt><dd><span class="price-old">$30</span> <span>$20</span></dd>', (20.0, "USD")),
    ('<dt>Price:</dt><dd><span class="wasPrice"><b>$30</b></span> <span>$20</span></dd>', (20.0, "USD")),
    ('<dt>Price:</dt><dd class="feature-list__val u-price">$20</dd>', (20.0, "USD")),  # a list of features
    # labels of prices nobody pays, other words after the label, no currency, other products
    ("<p>List price: $30</p>", None),
    ("<p>Price per kg: 2 \u20ac</p>", None),
    ("<p>Prices from $5</p>", None),
    ("<p>Price: 3</p>", None),
    ('<div class="related-products"><p>Price: $5</p></div>', None),
])
def test_prices_after_a_shown_label(body, price):
    assert facts(ext(body))[0] == price
    assert analyse(body)["price"] is None


def test_where_a_labelled_price_ranks():
    from quillmere import _commerce
    # a label names the price to pay; a class name fits any price
    body = '<span class="price">$990</span><p>Price: $99</p>'
    assert ext(body)["price"].amount == 99.0
    page = f"<html><head><title>x</title></head><body>{PAD}{body}</body></html>"
    assert _commerce._extended_trace(page, URL)["price"][:2] == [((99.0, "USD"), "label.price:price"),
                                                                 ((990.0, "USD"), "markup.price")]
    record = {"@type": "Product", "name": "Lantern", "offers": {"price": "9", "priceCurrency": "USD"}}
    assert ext(ld(record) + body)["price"].amount == 9.0
    # the description's labelled price only when the page shows none
    head = '<meta property="og:description" content="\u552e\u50f9\uff1a$2320\u3002Handy.">'
    assert ext("<p>Handy.</p>", head=head)["price"].amount == 2320.0
    assert ext('<span class="price">$15</span>', head=head)["price"].amount == 15.0
    assert ext("<p>x</p>", head='<meta name="description" content="Lowest price: $5 here">')["price"] is None


@pytest.mark.parametrize("body, amount", [
    ('<span class="price">$229<sup>99</sup></span>', 229.99),
    ('<p class="price">1.234<sup>56</sup> \u20ac</p>', 1234.56),
    ('<p class="price">1,234<span class="cents">56</span> USD</p>', 1234.56),
    ('<p class="price">12,<sup>50</sup> \u20ac</p>', 12.5),
    # the new price of a picture slider, not a price-range slider
    ('<div class="slider"><span class="slider-priceold">540,00 \u20ac</span>'
     '<span class="slider-pricenew">270,00 \u20ac</span></div>', 270.0),
    ('<span class="price-slider">10 \u20ac</span><span class="price">25 \u20ac</span>', 25.0),
])
def test_cents_apart_and_new_prices(body, amount):
    assert ext(body)["price"].amount == amount


# ------------------------------------------------------------ the switch

def test_extended_is_keyword_only_and_bool():
    with pytest.raises(TypeError):
        DestinationMetadataParser.parse_metadata("<p>" * 100, URL, "", "", None, None, 1, True)
    with pytest.raises(TypeError, match="bool"):
        DestinationMetadataParser.parse_metadata("<p>" * 100, URL, extended="yes")


def load_pages():
    truth = json.loads((PAGES / "ground-truth.json").read_text(encoding="utf-8"))
    for key in sorted(truth):
        html = gzip.decompress((PAGES / "pages" / f"{key}.html.gz").read_bytes()).decode("utf-8", "replace")
        yield truth[key], html


@pytest.mark.skipif(not PAGES.exists(), reason="shared product pages not present")
def test_shared_pages_default_unchanged_and_extended_better():
    scores = {False: [0, 0, 0], True: [0, 0, 0]}  # right prices, answered prices, right stock
    for gt, html in load_pages():
        default = DestinationMetadataParser.parse_metadata(html, gt["url"])
        assert DestinationMetadataParser.parse_metadata(html, gt["url"], extended=False) == default
        want = {round(commerce.PriceNormalizer.parse(p, extended=True).amount, 2) for p in gt.get("price", [])}
        stock = {"InStock": StockStatus.IN_STOCK, "OutOfStock": StockStatus.OUT_OF_STOCK}[gt["availability"][0]]
        for mode in (False, True):
            md = DestinationMetadataParser.parse_metadata(html, gt["url"], extended=mode) if mode else default
            got = md["price"]
            s = scores[mode]
            s[0] += got is not None and round(got.amount, 2) in want
            s[1] += got is not None
            s[2] += md["stock_status"] == stock
    n = sum(1 for _ in load_pages())
    (d_right, d_answered, d_stock), (e_right, e_answered, e_stock) = scores[False], scores[True]
    assert e_right / e_answered >= d_right / d_answered  # precision not below the default's
    assert e_right >= 0.8 * n and e_stock >= 0.9 * n
    assert e_right > d_right and e_stock > d_stock


# ------------------------------------------------------------ hostile pages

@pytest.mark.parametrize("body", [
    "<div itemscope itemtype='https://schema.org/Product'>" * 20_000 + "<span itemprop='price'>5 €</span>",
    "<span class='price'>" * 30_000,
    "<span itemprop='name'>" * 30_000 + "x" * 100_000,
    "<a href='" + "x" * 300_000,
    "<!--" + "<div class=price>1 €</div>" * 10_000,
    "<script>" + "<span class='price'>9 €</span>" * 10_000,
    "</div>" * 50_000 + "<p class='price'>7,00 €</p>",
    "\udc80\ufffd<span class=price>\udcff 12 €</span>" * 5_000,
    # labels without codes, labels waiting for a code, buttons never closed
    "<dt>SKU</dt>" * 400_000,
    "<b>Art.-Nr.:</b> " * 300_000,
    "SKU: " * 1_000_000,
    "<button>Add to cart <span>" * 30_000,
    "<p>R\u00e9f. 12. 50 \u20ac 9\u20ac 99</p>" * 100_000,
    # price labels waiting behind struck prices, cents apart never closed
    "<b>Price:</b> <s>$1</s> " * 200_000,
    "<span class=price>12<sup>99" * 100_000,
])
def test_hostile_pages_give_an_answer(body):
    md = ext(body)
    assert set(md) >= {"price", "sku", "stock_status"}
    assert md["page_type"] in set(PageType)


def test_deep_nesting_still_reads_the_price_inside():
    body = "<div itemscope itemtype='https://schema.org/Product'>" + "<div>" * 5_000 + \
        "<span itemprop='price' content='5.50'></span>"
    assert ext(body)["price"].amount == 5.5


# ------------------------------------------------------------ the pipeline

class FakeFetch:
    def __init__(self, pages):
        self.pages = pages

    async def __call__(self, urls, max_workers=None, timeout=5, **options):
        return {u: self.pages.get(u) for u in dict.fromkeys(urls)}


def test_pipeline_entries_pass_extended_on(monkeypatch):
    page = f"<html><head><title>Lantern</title></head><body>{PAD}{MICRODATA}</body></html>"
    monkeypatch.setattr(commerce.ScraplingDestinationFetcher, "fetch_many", FakeFetch({URL: page}), raising=False)
    matches = [VisualMatch(link=URL, title="Trail Lantern", source="Shop Example", price="2 x 10,00 €")]
    plain = CommerceEnricher.process(matches).items[0]
    extended = CommerceEnricher.process(matches, extended=True).items[0]
    assert (plain.price.amount, plain.sku) == (2.0, None)
    assert (extended.price.amount, extended.price.currency, extended.sku) == (1299.0, "EUR", "TL-42")
    deep = asyncio.run(CommerceEnricher.enrich_matches_deep_async(matches, extended=True))[0]
    assert deep.sku == "TL-42"
    with pytest.raises(TypeError, match="bool"):
        CommerceEnricher.process(matches, extended=1)


def test_process_async_leaves_an_override_without_the_keyword_working(monkeypatch):
    seen = []

    class Custom(CommerceEnricher):
        @classmethod
        async def enrich_matches_deep_async(cls, matches, max_items=None, **options):
            seen.append(options)
            return []

    asyncio.run(Custom.process_async([VisualMatch(link=URL)]))
    asyncio.run(Custom.process_async([VisualMatch(link=URL)], extended=True))
    assert seen == [{}, {"extended": True}]


def test_command_line_flag():
    import argparse

    parser = argparse.ArgumentParser()
    _engine.add_engine_options(parser)
    assert _engine.engine_options(parser.parse_args([])) == {}
    assert _engine.engine_options(parser.parse_args(["--extended"])) == {"extended": True}


def test_enrich_command_with_and_without_the_flag(tmp_path):
    import os
    import subprocess
    import sys

    import quillmere
    from quillmere.demo import Route, SampleServer

    pages = tmp_path / "pages"
    pages.mkdir()
    (pages / "lantern.html").write_text(
        f"<html><head><title>Lantern</title></head><body>{PAD}{MICRODATA}</body></html>", encoding="utf-8")
    source, out = tmp_path / "matches.json", tmp_path / "out.json"
    parent = str(Path(quillmere.__file__).resolve().parent.parent)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [parent, os.environ.get("PYTHONPATH")])))
    results = {}
    with SampleServer({"lanterns.example/p/trail": Route("lantern.html")}, pages) as server:
        link = f"{server.base_url}/lanterns.example/p/trail"
        source.write_text(json.dumps([{"link": link, "title": "Trail Lantern", "source": "Lanterns"}]))
        for flags in ([], ["--extended"]):
            proc = subprocess.run([sys.executable, "-m", "quillmere", "enrich", str(source), "--json", str(out),
                                   "--allow-internal",
                                   *flags], capture_output=True, text=True, env=env, timeout=90)
            assert proc.returncode == 0, proc.stderr
            results[bool(flags)] = json.loads(out.read_text(encoding="utf-8"))["items"][0]
    assert results[False].get("sku") is None and results[False].get("price") is None
    assert results[True]["sku"] == "TL-42"
    assert (results[True]["price"]["amount"], results[True]["price"]["currency"]) == (1299.0, "EUR")
