"""Page analysis: one match and its page to the twelve-key metadata map."""

import json
import math
import re

import pydantic
import pytest

from quillmere import _commerce
from quillmere.commerce import DestinationMetadataParser
from quillmere.models import ItemCondition as C
from quillmere.models import NormalizedPrice
from quillmere.models import PageType as P
from quillmere.models import StockStatus as S

parse = DestinationMetadataParser.parse_metadata
KEYS = ["title", "merchant_name", "brand", "sku", "price", "stock_status", "condition",
        "primary_image_url", "shipping_info", "page_type", "match_score", "fetch_source"]
PAD = "<p>" + "lorem ipsum dolor sit amet " * 10 + "</p>"  # past the 200-character gate


def page(*parts, title=None, meta=None):
    head = "".join(f'<meta property="{k}" content="{v}">' for k, v in (meta or {}).items())
    if title is not None:
        head += f"<title>{title}</title>"
    return f"<html><head>{head}</head><body>{''.join(parts)}{PAD}</body></html>"


def ld(*docs):
    return "".join(f'<script type="application/ld+json">{json.dumps(d)}</script>' for d in docs)


def next_data(product, key="product"):
    doc = {"props": {"pageProps": {key: product}}}
    return f'<script id="__NEXT_DATA__" type="application/json">{json.dumps(doc)}</script>'


def run(html, url="https://shop.example/p/1", title="Search title", merchant="Some Shop", **kw):
    out = parse(html, url, title, merchant, **kw)
    assert list(out) == KEYS and out["shipping_info"] is None
    return out


def usd(amount):
    return NormalizedPrice(raw=f"{amount:.2f} USD", amount=amount, currency="USD")


# ------------------------------------------------------------------ entry
@pytest.mark.parametrize("args,kw,message", [
    ((b"<html>", "https://a.example"), {}, "html must be str or None, not bytes"),
    ((None, None), {}, "direct_url must be str, not NoneType"),
    ((None, "https://a.example", None), {}, "initial_title must be str, not NoneType"),
    ((None, "https://a.example", "", 3), {}, "initial_merchant must be str, not int"),
    ((None, "https://a.example"), {"initial_stock": 1}, "initial_stock must be bool or None, not int"),
    ((None, "https://a.example"), {"rank": 1.0}, "rank must be int, not float"),
    ((None, "https://a.example"), {"rank": None}, "rank must be int, not NoneType"),
])
def test_argument_types_rejected_on_entry(args, kw, message):
    with pytest.raises(TypeError, match=re.escape(message)):
        parse(*args, **kw)


def test_initial_price_read_through_its_fields():
    class Loose:
        amount, currency = "12.5", "EUR"  # float() reads the text

    assert parse(None, "https://a.example/", initial_price=Loose())["price"].raw == "12.50 EUR"
    Loose.currency = 5
    with pytest.raises(TypeError, match="currency must be str, not int"):
        parse(None, "https://a.example/", initial_price=Loose())
    Loose.amount, Loose.currency = math.inf, "USD"  # the record itself refuses it
    with pytest.raises(pydantic.ValidationError):
        parse(None, "https://a.example/", initial_price=Loose())
    with pytest.raises(ValueError):  # the link is split first
        parse(None, "http://[::1", initial_price=Loose())


@pytest.mark.parametrize("url,domain", [
    ("https://WWW.Shop.Example:8080/x", "shop.example:8080"),
    ("https://shop.www.example/x", "shop.example"),
    ("https://wwww.example/x", "wexample"),
    ("/relative/path", ""),
])
def test_domain_and_merchant_fallback(url, domain):
    out = parse(None, url, " Red &amp; Blue\n ", "   ")
    assert out["merchant_name"] == domain and out["title"] == "Red & Blue"


@pytest.mark.parametrize("domain,page_type", [
    ("x.com", P.SOCIAL), ("m.x.com", P.SOCIAL), ("www.instagram.com", P.SOCIAL),
    ("netflix.com", P.UNCATEGORIZED), ("dropbox.com", P.UNCATEGORIZED), ("linux.com", P.UNCATEGORIZED),
    ("amazon.com.au", P.MARKETPLACE), ("ebay.com.au", P.MARKETPLACE), ("shop.etsy.com", P.MARKETPLACE),
    ("betsy.com", P.UNCATEGORIZED), ("notamazon.com", P.UNCATEGORIZED),
    ("user.github.io", P.PORTFOLIO), ("github.io.evil", P.PORTFOLIO), ("mygithub.io", P.UNCATEGORIZED),
    ("blog.medium.com", P.ARTICLE), ("notmedium.com", P.UNCATEGORIZED),
    ("www.amazon.com:443", P.MARKETPLACE), ("me:pw@x.com", P.SOCIAL), ("amazon.com@shop.example", P.UNCATEGORIZED),
])
def test_domain_lists_match_whole_labels(domain, page_type):
    assert parse(None, f"https://{domain}/a", "Some long title")["page_type"] == page_type


def test_page_gate_counts_code_points():
    body = ld({"@type": "Product", "name": "From page", "sku": "S1"})
    short = body + "é" * (200 - len(body))
    assert run(short)["fetch_source"] == "serp_fallback"
    assert run(short + "é")["fetch_source"] == "ld_json"
    assert run(None, title="T", merchant="M")["fetch_source"] == "serp_fallback"


# --------------------------------------------------------------- JSON-LD
def offer(**kw):
    return {"@type": "Offer", **kw}


LD_CASES = {
    "first qualifying record chosen": (
        [[{"@type": "Product", "name": "Bare"}, {"@type": "Product", "name": "Chosen", "sku": " S-2 "}]],
        {}, {"title": "Chosen", "sku": "S-2", "page_type": P.PRODUCT}),
    "graph": ([{"@graph": [{"@type": "Product", "name": "Graph item", "gtin13": 4006381333931}]}], {},
              {"title": "Graph item", "sku": "4006381333931"}),
    "variants fill until the one with offers": (
        [{"@type": "ProductGroup", "name": "Group", "hasVariant": [
            "not a mapping",
            {"sku": "V1", "image": ["https://img/v1.jpg"]},
            {"sku": "V2", "image": "https://img/v2.jpg", "offers": offer(price="10", priceCurrency="EUR")},
            {"offers": offer(price="99")}]}],
        {}, {"sku": "V1", "primary_image_url": "https://img/v1.jpg", "price": 10.0, "currency": "EUR"}),
    "variant image: a mapping alone gives nothing, a list of mappings its first url": (
        [{"@type": "ProductGroup", "hasVariant": [
            {"image": {"url": "https://img/v1.jpg"}}, {"image": [{"url": "https://img/v2.jpg"}]},
            {"image": "https://img/v3.jpg", "offers": offer(price="10")}]}],
        {}, {"primary_image_url": "https://img/v2.jpg"}),
    "offers from another record": (
        [[{"@type": "Product", "name": "Chosen", "image": {"url": "https://img/a.jpg"}, "hasVariant": ["x"]},
          {"@type": "Product", "name": "Other", "sku": "O-1", "offers": [offer(price="5.00"), offer(price="9")]}]],
        {}, {"title": "Chosen", "sku": "O-1", "primary_image_url": "https://img/a.jpg", "price": 5.0}),
    "price text 0 beats lowPrice": ([{"@type": "Product", "offers": offer(price="0", lowPrice=19.99)}], {},
                                    {"price": 0.0}),
    "price number 0 falls to lowPrice": ([{"@type": "Product", "offers": offer(price=0, lowPrice=19.99)}], {},
                                         {"price": 19.99}),
    "offer replaces the search price": ([{"@type": "Product", "offers": offer(price=25)}],
                                        {"initial_price": usd(30.0)}, {"price": 25.0, "currency": "USD"}),
    "unreadable offer keeps the search price": (
        [{"@type": "Product", "offers": offer(price="call us")}],
        {"initial_price": NormalizedPrice(raw="30 GBP", amount=30.0, currency="GBP")},
        {"price": 30.0, "currency": "GBP"}),
    "odd first offer is no offer": ([{"@type": "Product", "sku": "A", "offers": ["12.00", offer(price="3")]}],
                                    {"initial_stock": False}, {"price": None, "stock_status": S.OUT_OF_STOCK}),
    "null first offer is no offer": ([{"@type": "Product", "sku": "A", "offers": [None]}], {}, {"price": None}),
    "currency that is not text is ignored": (
        [{"@type": "Product", "offers": offer(price="12", priceCurrency=978)}], {},
        {"price": 12.0, "currency": "USD"}),
    "in stock link": ([{"@type": "Product", "offers": offer(availability="https://schema.org/InStock")}],
                      {"initial_stock": False}, {"stock_status": S.IN_STOCK}),
    "sold out": ([{"@type": "Product", "offers": offer(availability="SoldOut")}], {},
                 {"stock_status": S.OUT_OF_STOCK}),
    "back order keeps the search flag": (
        [{"@type": "Product", "offers": offer(availability="BackOrder")}], {"initial_stock": False},
        {"stock_status": S.OUT_OF_STOCK}),
    "pre-order": ([{"@type": "Product", "offers": offer(availability="PreOrder")}], {},
                  {"stock_status": S.PREORDER}),
    "renewed contains new": ([{"@type": "Product", "offers": offer(itemCondition="Renewed")}], {},
                             {"condition": C.NEW}),
    "refurbished": ([{"@type": "Product", "offers": offer(itemCondition="schema.org/RefurbishedCondition")}],
                    {}, {"condition": C.REFURBISHED}),
    "brand mapping trimmed": ([{"@type": "Product", "sku": "1", "brand": {"name": "  Acme  "}}], {},
                              {"brand": "Acme"}),
    "brand mapping of a non-text name": ([{"@type": "Product", "sku": "1", "brand": {"name": 1.0}}], {},
                                         {"brand": "1.0"}),
    "brand list is no brand": ([{"@type": "Product", "sku": "1", "brand": ["Acme"]}],
                               {"merchant": "shop"}, {"brand": None}),
    "identifier text forms": ([{"@type": "Product", "sku": True}], {}, {"sku": "True"}),
    "identifier list text form": ([{"@type": "Product", "sku": [1, "a"]}], {}, {"sku": "[1, 'a']"}),
    "empty identifier text kept": ([{"@type": "Product", "sku": "", "mpn": "", "offers": offer(price="1")}], {},
                                   {"sku": ""}),
    "empty identifier of another kind": ([{"@type": "Product", "sku": "", "mpn": 0, "offers": offer(price="1")}],
                                         {}, {"sku": None}),
    "list of image mappings": ([{"@type": "Product", "sku": "1", "image": [{"@type": "ImageObject",
                                                                             "url": "https://img/x.jpg"}]}],
                               {}, {"primary_image_url": "https://img/x.jpg"}),
    "list of image texts": ([{"@type": "Product", "sku": "1", "image": ["https://img/1.jpg", "b"]}], {},
                            {"primary_image_url": "https://img/1.jpg"}),
    "non-text name ignored": ([{"@type": "Product", "sku": "1", "name": 12}], {}, {"title": "Search title"}),
}


@pytest.mark.parametrize("docs,kw,want", LD_CASES.values(), ids=LD_CASES.keys())
def test_json_ld_resolution(docs, kw, want):
    kw = dict(kw)
    merchant = kw.pop("merchant", "Some Shop")
    out = run(page(ld(*docs)), merchant=merchant, **kw)
    assert out["fetch_source"] == "ld_json"
    for key, value in want.items():
        if key == "price":
            assert (out["price"] and out["price"].amount) == value
        elif key == "currency":
            assert (out["price"] and out["price"].currency) == value
        else:
            assert out[key] == value, key


def test_offer_currency_fills_an_empty_currency():
    html = page(ld({"@type": "Product", "offers": offer(price="n/a", priceCurrency="CHF")}),
                meta={"product:price:amount": "7"})
    assert run(html)["price"].raw == "7.00 CHF"


def test_json_ld_on_marketplace_and_social_domains():
    html = page(ld({"@type": "Product", "name": "Widget", "sku": "W1"}))
    market = run(html, url="https://www.amazon.co.uk/dp/1")
    assert (market["page_type"], market["fetch_source"], market["title"]) == (P.MARKETPLACE, "ld_json", "Widget")
    social = run(html, url="https://www.instagram.com/p/1", initial_price=usd(9.0), initial_stock=True)
    assert (social["page_type"], social["fetch_source"], social["title"]) == (P.SOCIAL, "serp_fallback",
                                                                              "Search title")
    assert (social["sku"], social["stock_status"], social["price"]) == (None, None, usd(9.0))


# --------------------------------------------------------------- Next.js
@pytest.mark.parametrize("product,kw,amount,currency", [
    ({"name": "N", "specialDisplayPriceCents": 0, "retailPriceCents": 12999}, {}, 129.99, "USD"),
    ({"name": "N", "retailPriceCents": 12999}, {"initial_price": usd(5.0)}, 5.0, "USD"),
    ({"name": "N", "lowestPriceCents": 2**60 + 1}, {}, round((2**60 + 1) / 100, 2), "USD"),
    ({"name": "N", "retailPriceCents": 10**400, "price": "€49,90"}, {}, 49.9, "EUR"),
    ({"name": "N", "retailPriceCents": -5, "price": 7}, {}, 7.0, "USD"),
    ({"name": "N", "retailPriceCents": "1299"}, {}, None, None),
])
def test_next_data_prices(product, kw, amount, currency):
    out = run(page(next_data(product)), initial_stock=False, **kw)
    assert (out["fetch_source"], out["stock_status"], out["condition"]) == ("next_data", S.IN_STOCK, C.NEW)
    assert (out["price"] and (out["price"].amount, out["price"].currency)) == (amount and (amount, currency))


def test_next_data_cents_beyond_a_double():
    # Infinity is valid page data here; a quotient past the double range is unreadable.
    html = page('<script id="__NEXT_DATA__">{"props":{"pageProps":{"product":'
                '{"brand":"B","name":"N","retailPriceCents":Infinity,"price":"12"}}}}</script>')
    assert run(html)["price"].amount == 12.0
    assert run(html.replace("Infinity", "1e308"))["price"].amount == 1e306


def test_next_data_fields_and_json_ld_precedence():
    product = {"title": "  Nice &amp; Warm ", "brandName": "", "brand": " Acme ", "sku": 123}
    out = run(page(next_data(product, key="item")))
    assert (out["title"], out["brand"], out["sku"], out["page_type"]) == ("Nice & Warm", "Acme", "123", P.PRODUCT)
    both = run(page(ld({"@type": "Product", "name": "From LD"}), next_data(product)))
    assert (both["fetch_source"], both["title"], both["condition"]) == ("ld_json", "From LD", None)


# ------------------------------------------------------------- meta tags
@pytest.mark.parametrize("url,meta,page_type", [
    ("https://shop.example/a", {"og:type": "Product.Item"}, P.PRODUCT),
    ("https://shop.example/a", {"og:type": "website"}, P.UNCATEGORIZED),
    ("https://www.amazon.com/product/1", {}, P.PRODUCT),
    ("https://www.amazon.com/a", {"og:type": "website"}, P.MARKETPLACE),
    ("https://news.example/blog/post-1", {}, P.ARTICLE),
    ("https://a.medium.com/x", {}, P.ARTICLE),
    ("https://shop.example/a", {"og:type": "article"}, P.ARTICLE),
])
def test_open_graph_page_type(url, meta, page_type):
    out = run(page(meta=meta), url=url, title="A long enough title")
    assert (out["page_type"], out["fetch_source"]) == (page_type, "opengraph")


@pytest.mark.parametrize("meta,brand", [
    ({"og:brand": "OgBrand", "product:brand": "PB", "author": "Ann"}, "OgBrand"),
    ({"author": "A", "og:site_name": "Site"}, "Site"),
    ({"author": "x" * 31, "og:site_name": "Site"}, "Site"),
    ({"author": "http://ann", "og:site_name": "Site"}, "Site"),
    ({"author": "Ann &amp; Bo"}, "Ann &amp; Bo"),
    ({"og:site_name": "é" * 31}, "Some Shop"),  # too long: the merchant name stands in
])
def test_meta_brand_rows(meta, brand):
    assert run(page(meta={"og:type": "product", **meta}))["brand"] == brand


def test_meta_price_currency_image_availability():
    meta = {"product:price:amount": "19,90", "product:price:currency": "eur", "og:image": "https://img/m.jpg",
            "product:availability": "OutOfStock"}
    out = run(page(meta=meta))
    assert (out["price"].amount, out["price"].currency) == (19.9, "EUR")
    assert (out["primary_image_url"], out["stock_status"]) == ("https://img/m.jpg", S.OUT_OF_STOCK)
    held = run(page(meta=meta), initial_price=usd(3.0))
    assert held["price"] == usd(3.0)
    no_code = NormalizedPrice(raw="5", amount=5.0, currency="")
    assert run(page(meta={"product:price:currency": "ſek"}), initial_price=no_code)["price"].raw == "5.00 SEK"
    for words, stock in [("in stock", None), ("PreOrder", None), ("InStock", S.IN_STOCK)]:
        spaced = run(page(meta={"og:type": "product", "product:availability": words}))
        assert spaced["stock_status"] == stock
    social = run(page(meta=meta), url="https://www.pinterest.com/pin/1")
    assert (social["price"].amount, social["primary_image_url"]) == (19.9, "https://img/m.jpg")
    assert social["stock_status"] is None  # cleared on a non-product page


# ----------------------------------------------------------------- markup
SHOP = '<span class="woocommerce-Price-amount amount"><bdi><span class="sym">$</span>1,299.00</bdi></span>'


@pytest.mark.parametrize("body,kw,want", [
    (SHOP, {}, {"price": usd(1299.0), "page_type": P.PRODUCT}),
    (SHOP.replace("1,299.00", ",,,") + '<i itemprop="price" content="5">', {},
     {"price": NormalizedPrice(raw="5.00 USD", amount=5.0, currency="USD")}),
    ('<meta itemprop="price" content="1,050.50"><meta itemprop="priceCurrency" content="chf">', {},
     {"price": NormalizedPrice(raw="1050.50 CHF", amount=1050.5, currency="CHF")}),
    ('<i itemprop="price" content="9"><i itemprop="priceCurrency" content="gbp">',
     {"initial_price": NormalizedPrice(raw="8 EUR", amount=8.0, currency="EUR")},
     {"price": NormalizedPrice(raw="8.00 EUR", amount=8.0, currency="EUR")}),
    ('<i class="woocommerce-Price-amount">' + "9" * 400, {}, {"price": None}),
    ('<i itemprop="sku" content="  "><span class="sku">EL-1</span><b data-product_sku="AT-1">', {},
     {"sku": None}),
    ('<span class="product-sku">EL-1</span><b data-product_sku="AT-1">', {}, {"sku": "EL-1"}),
    ('<b data-product_sku=" AT-1 ">', {}, {"sku": "AT-1"}),
    ('<div class="stock outofstock"></div><a href="http://SCHEMA.org/InStock">', {},
     {"stock_status": S.IN_STOCK}),
    ('<div class="stock instock"></div><link href="https://schema.org/OutOfStock">', {},
     {"stock_status": S.IN_STOCK}),
    ('<div class="out-of-stock"><link href="https://schema.org/OutOfStoc\u212a">', {},
     {"stock_status": S.OUT_OF_STOCK}),
])
def test_markup_fallbacks(body, kw, want):
    out = run(page(body, meta={"og:type": "product"}), **kw)
    for key, value in want.items():
        assert out[key] == value, key


def test_microdata_price_without_currency_writes_usd_only_in_the_record():
    out = run(page('<i itemprop="price" content="12.50">'))
    assert out["price"] == NormalizedPrice(raw="12.50 USD", amount=12.5, currency="USD")
    assert out["page_type"] == P.PRODUCT and out["stock_status"] == S.IN_STOCK


PATTERN_UNITS = [  # each list mixes in letters that only match ASCII ones when case is ignored
    ['class="woocommerce-Price-amount x"', "class='a WOOCOMMERCE-price-amount'", ">", "<bdi>", "<span>", "$",
     "</span>", "1,299.00", "12", ",", ".5", " ", '"', "claſs='woocommerce-price-amount'"],
    ['itemprop="price"', "ıtemprop='PRICE'", ' content="', "content='", "12", "1,2", ".99", '"', "'", ">", " x"],
    ['itemprop="priceCurrency"', ' content="', "usd", "EUR", "ſek", '"', "'", ">", " ", "EURO", "İtemprop="],
    ['itemprop="sku"', ' content="', "AB-1", "  ", '"', "'", ">", " ", "x>y", "itemprop='s\u212au'"],
    ["<span", ' class="', "sku", "x", '"', ">", "<", "</span>", " ", "ab", "class=", ">>", "SKU ", "</SPAN>", "ſ",
     "<SPAN", "\u212a"],
    ['data-product_sku="', "'", '"', "A1", " ", "data-product_ſku='"],
    ['class="', "CLASS='", "instock", "INSTOCK", " ", "-", '"', "'", "xinstock", "é", "_instock", "ſ", "ınstock"],
    ['class="', "outofstock", " ", "-", '"', "'", "x", "٣", "OUTOFSTOCK", "outofstoc", "\u212a", "İ"],
]


@pytest.mark.parametrize("which", range(8))
def test_markup_search_matches_python_re(which, rng):
    pattern = re.compile(_commerce._markup_patterns()[which], re.IGNORECASE)
    units = PATTERN_UNITS[which]
    for _ in range(1500):
        text = "".join(rng.choice(units) for _ in range(rng.randint(0, 30)))
        m = pattern.search(text)
        want = m and (m.start(), m.group(1) if pattern.groups else "")
        assert _commerce._markup_search(which, text) == want, text


def test_lowered_page_search_matches_str_lower(rng):
    units = ["schema.org/", "SCHEMA.ORG/", "InStock", "instoc", "\u212a", "K", "OutOfStock", "İ", "ß", "é", " "]
    for _ in range(3000):
        text = "".join(rng.choice(units) for _ in range(rng.randint(0, 8)))
        for needle in ("schema.org/instock", "schema.org/outofstock", "ki"):
            assert _commerce._lower_contains(text, needle) == (needle in text.lower()), (text, needle)



def test_one_pages_markup_searches_agree_with_python_re(rng):
    """The searches of one page share what they learn of its literals: the
    identifier and stock steps, run one after another on the same page, answer
    as the patterns do one by one, wherever the page puts them (long pages
    too, so whole blocks of the literal scan are crossed)."""
    patterns = [re.compile(p, re.IGNORECASE) for p in _commerce._markup_patterns()]
    units = sorted({u for family in PATTERN_UNITS[3:] for u in family}) + [
        "schema.org/", "SCHEMA.ORG/", "InStock", "instoc", "OutOfStock", "\u212a", "İ", "lorem ipsum dolor " * 3]
    for _ in range(400):
        body = "".join(rng.choice(units) for _ in range(rng.randint(0, 60)))
        html = f"<html><body>{PAD}{body}</body></html>"
        sku = None
        for which in (3, 4, 5):  # microdata, element, attribute: the first that matches
            if m := patterns[which].search(html):
                sku = m.group(1).strip() or None
                break
        lowered = html.lower()
        if patterns[6].search(html) or "schema.org/instock" in lowered:
            stock = S.IN_STOCK
        elif patterns[7].search(html) or "schema.org/outofstock" in lowered:
            stock = S.OUT_OF_STOCK
        else:
            stock = None
        got = run(html, url="https://shop.example/product/1")  # a product page keeps both
        assert (got["sku"], got["stock_status"]) == (sku, stock), body


# ------------------------------------------------------------- precedence
ALL_META = {"og:title": "Og title", "og:brand": "OgBrand", "og:image": "https://img/og.jpg",
            "product:price:amount": "77", "product:price:currency": "GBP", "product:availability": "OutOfStock"}
MARKUP = SHOP + '<i itemprop="priceCurrency" content="JPY"><b data-product_sku="MK-1"><p class="instock">'


def test_structured_data_outranks_meta_and_markup():
    record = {"@type": "Product", "name": "Ld name", "brand": "LdBrand", "sku": "LD-1", "image": "https://img/ld.jpg",
              "offers": offer(price="25", priceCurrency="EUR", availability="InStock", itemCondition="Used")}
    out = run(page(ld(record), MARKUP, meta=ALL_META), url="https://www.ebay.de/itm/1",
              initial_price=usd(30.0), initial_stock=False)
    assert [out[k] for k in ("title", "brand", "sku", "primary_image_url", "stock_status", "condition",
                             "page_type")] == ["Ld name", "LdBrand", "LD-1", "https://img/ld.jpg", S.IN_STOCK,
                                               C.USED, P.MARKETPLACE]
    assert out["price"].raw == "25.00 EUR"
    listed = run(page(ld(dict(record, brand=["LdBrand"])), meta=ALL_META))
    assert listed["brand"] == "OgBrand"


def test_meta_tags_outrank_markup_which_fills_the_rest():
    out = run(page(MARKUP, meta=ALL_META))
    assert (out["price"].raw, out["stock_status"], out["sku"]) == ("77.00 GBP", S.OUT_OF_STOCK, "MK-1")
    bare = run(page(MARKUP))
    assert (bare["price"].raw, bare["stock_status"], bare["fetch_source"]) == ("1299.00 USD", S.IN_STOCK,
                                                                                "opengraph")


# ------------------------------------------------------------ titles
@pytest.mark.parametrize("title,merchant,meta,page_title,want", [
    ("Home", "Some Shop", {"og:title": "Real &amp; Name"}, "Page", "Real & Name"),
    ("Home", "Some Shop", {"og:title": "Shop now"}, "The Page Title", "The Page Title"),
    ("abc", "Some Shop", {}, "Longer page title", "Longer page title"),
    ("some shop", "Some Shop", {"og:title": "Og Title"}, None, "Og Title"),
    ("Fine title", "Some Shop", {"og:title": "Og Title"}, None, "Fine title"),
])
def test_weak_title_repair(title, merchant, meta, page_title, want):
    assert run(page(meta=meta, title=page_title), title=title, merchant=merchant)["title"] == want


@pytest.mark.parametrize("url,title,merchant,want_title,want_merchant,want_brand", [
    ("https://a.example/x", "Shop Now", "Fancy Store", "Fancy Store", "a.example", None),
    ("https://a.example/x", "shop now", "fancy", "X", "fancy", None),
    ("https://a.example/c/red_wool-scarf-2nd", "HOME", "Tiny", "Red Wool Scarf 2Nd", "Tiny", None),
    ("https://a.example/", "home", "Tiny", "home", "Tiny", None),
    ("https://a.example/", "Sneaker", "Big Shoe Store", "Big Shoe Store", "Sneaker", "Sneaker"),
    ("https://a.example/", "", "Big Shoe Store", "Big Shoe Store", "", ""),
    ("https://a.example/", "Sneaker", "Two Words", "Sneaker", "Two Words", None),
])
def test_title_fallbacks_without_page(url, title, merchant, want_title, want_merchant, want_brand):
    out = parse(None, url, title, merchant)
    assert (out["title"], out["merchant_name"], out["brand"]) == (want_title, want_merchant, want_brand)


def test_title_is_decoded_twice_and_flattened():
    out = parse(None, "https://a.example/", "Tom &amp;amp; Jerry\n\u00a0 mug ", "M")
    assert out["title"] == "Tom & Jerry mug"


# ---------------------------------------------------------- classification
@pytest.mark.parametrize("url,title,kw,page_type,stock,condition", [
    ("https://a.example/products/red", "Red thing", {}, P.UNCATEGORIZED, None, None),
    ("https://a.example/products/red", "Red thing", {"initial_price": usd(5.0)}, P.PRODUCT, S.IN_STOCK, None),
    ("https://a.example/x", "Sold Out: red thing", {"initial_price": usd(5.0)}, P.PRODUCT, None, None),
    ("https://a.example/x", "Red thing", {"initial_price": usd(5.0), "initial_stock": False}, P.PRODUCT,
     S.OUT_OF_STOCK, None),
    ("https://a.example/blog/portfolio", "Red thing", {}, P.ARTICLE, None, None),
    ("https://a.example/x", "My mockup kit", {}, P.PORTFOLIO, None, None),
    ("https://a.store/x", "Red thing", {}, P.PRODUCT, None, None),
    ("https://kicks.shop/x", "Red thing", {}, P.PRODUCT, None, None),
    ("https://bestshoes.example/x", "Renewed phone", {}, P.PRODUCT, None, C.REFURBISHED),
    ("https://a.example/collections/x", "Unused phone", {}, P.PRODUCT, None, C.USED),
    ("https://a.example/item/1", "Red thing", {"initial_stock": True}, P.UNCATEGORIZED, None, None),
])
def test_page_type_without_page(url, title, kw, page_type, stock, condition):
    out = parse(None, url, title, "Merchant Name", **kw)
    assert (out["page_type"], out["stock_status"], out["condition"]) == (page_type, stock, condition)


def test_article_page_drops_product_facts_but_keeps_price():
    html = page('<b data-product_sku="A1"><div class="instock">', meta={"og:type": "article",
                                                                         "product:price:amount": "4"})
    out = run(html, url="https://mag.example/story")
    assert out["page_type"] == P.ARTICLE
    assert (out["sku"], out["stock_status"], out["condition"], out["price"].amount) == (None, None, None, 4.0)


def test_product_path_on_analysed_page_and_merchant_brand():
    out = run(page(), url="https://boutique.example/products/x", merchant="Boutique Nine")
    assert (out["page_type"], out["brand"]) == (P.PRODUCT, "Boutique Nine")
    assert run(page(), url="https://boutique.example/products/x", merchant="boutique")["brand"] is None


@pytest.mark.parametrize("rank,brand_in_title,score", [
    (1, True, 99), (1, False, 98), (2, True, 97), (2, False, 95), (3, True, 94), (3, False, 92),
    (10, True, 73), (10, False, 71), (17, True, 52), (17, False, 50), (30, False, 50), (10**40, True, 52),
    (0, False, 101), (0, True, 99), (-10**40, False, 98 - 3 * (-10**40 - 1)), (-10**40, True, 99), (True, False, 98),
])
def test_match_score(rank, brand_in_title, score):
    html = page(ld({"@type": "Product", "name": "Acme Rocket" if brand_in_title else "Rocket", "sku": "1",
                    "brand": "acme"}))
    assert run(html, rank=rank)["match_score"] == score


def test_match_score_across_the_64_bit_edges():
    # The score of any int, as the rule gives it in Python's integers.
    def rule(rank, brand):
        score = max(98 - 3 * (rank - 1), 50)
        return min(score + 2, 99) if brand else score

    edges = [2**63 - 1, 2**63, 2**64 + 5, -(2**63) + 1, -(2**63), -(2**63) - 1, -(10**18), -(10**19) - 7,
             -999_999_999_999_999_999, 33, 34, -1, 16, 17, 18, -(3**200)]
    for brand in (False, True):
        html = page(ld({"@type": "Product", "name": "Acme Rocket" if brand else "Rocket", "sku": "1",
                        "brand": "acme"}))
        got = {rank: run(html, rank=rank)["match_score"] for rank in edges}
        assert got == {rank: rule(rank, brand) for rank in edges}
        assert all(type(score) is int for score in got.values())


def test_price_record_and_empty_page():
    out = run(page(meta={"product:price:amount": "1299"}))
    assert out["price"] == usd(1299.0) and out["price"].raw == "1299.00 USD"
    empty = parse("", "", "", "")
    assert [empty[k] for k in KEYS] == ["", "", None, None, None, None, None, None, None, P.UNCATEGORIZED, 98,
                                        "serp_fallback"]
