"""Hostile and broken pages: page analysis always answers with a full map."""

import functools
import json
import math

import pytest

from quillmere.commerce import DestinationMetadataParser
from quillmere.models import ItemCondition, NormalizedPrice, PageType, StockStatus

parse = DestinationMetadataParser.parse_metadata


@pytest.fixture(autouse=True, params=[False, True], ids=["default", "extended"])
def analysis_mode(request, monkeypatch):
    """Every hostile page goes through both the default and the extended analysis."""
    monkeypatch.setitem(globals(), "parse",
                        functools.partial(DestinationMetadataParser.parse_metadata, extended=request.param))
    return request.param


LABELS = {"serp_fallback", "ld_json", "next_data", "opengraph"}

REALISTIC = (
    '<!DOCTYPE html><html><head><meta charset="utf-8"><meta property="og:type" content="product">'
    '<meta property="og:title" content="Wool &amp; Silk Scarf"><meta property="product:price:amount" '
    'content="49,90"><meta property="product:price:currency" content="EUR"><title>Scarf | Shop</title>'
    '<script type="application/ld+json">{"@context":"https://schema.org","@type":"Product","name":"Scarf",'
    '"sku":"SC-1","brand":{"@type":"Brand","name":"Ōkami"},"image":[{"url":"https://i/1.jpg"}],'
    '"offers":[{"@type":"Offer","price":"49.90","priceCurrency":"EUR",'
    '"availability":"https://schema.org/InStock"}]}</script>'
    '<script id="__NEXT_DATA__" type="application/json">{"props":{"pageProps":{"product":{"name":"N",'
    '"brandName":"B","retailPriceCents":4990}}}}</script></head><body>'
    '<span class="woocommerce-Price-amount amount"><bdi>1,299.00</bdi></span>'
    '<meta itemprop="price" content="12.00"><span class="sku">SC-1</span>'
    '<div class="stock instock">Größe wählen – 送料無料 🔥</div></body></html>'
)

# Pieces of every construct the analysis looks for, to be cut, repeated and
# shuffled into pages that open things they never close.
SHARDS = [
    '<script type="application/ld+json">', "</script>", '{"@type":"Product","offers":[', "[", "{", '"', "'",
    '<script id="__NEXT_DATA__">', '{"props":{"pageProps":{"product":', "<meta property=\"og:title\" content=\"",
    "<title>", "</title>", '<span class="sku">', "</span>", 'class="woocommerce-Price-amount">', "<bdi>",
    'itemprop="price" content="', 'itemprop="priceCurrency" content="', 'itemprop="sku" content=', "1,299.00",
    "9" * 50, ">", "<", "&amp;", "&#x", "&", "schema.org/InStock", 'class="instock', "outofstock", "\u212a",
    "İ", "ſ", "\ud800", "\x00", "é", "\u00a0", "\n", "Infinity", "-1e999", '"offers":"12.00"', '"image":[{}]',
    # whole blocks of odd but valid data
    '<script type="application/ld+json">{"@type":["Product"],"offers":[[1]],"image":[{"url":null}],'
    '"brand":{"name":[1,{"a":NaN}]},"sku":1e400,"hasVariant":[null,{"offers":{"price":-1e999}}]}</script>',
    '<script type="application/ld+json">[{"@type":"ProductGroup","offers":{"price":"' + "9" * 400 + '",'
    '"priceCurrency":{"x":1},"availability":false,"itemCondition":null}}]</script>',
    '<script type="application/ld+json">{"@type":"Product","offers":{"lowPrice":"1 299,00 €",'
    '"priceCurrency":["EUR"],"availability":{"@id":"InStock"}},"gtin8":0,"mpn":""}</script>',
    '<script id="__NEXT_DATA__">{"props":{"pageProps":{"brand":"B","sku":[],"name":{"a":1},'
    '"lowestPriceCents":-Infinity,"price":{"amount":5}}}}</script>',
]


def check(out):
    """The map is complete and every value has the kind page analysis promises."""
    assert list(out) == ["title", "merchant_name", "brand", "sku", "price", "stock_status", "condition",
                         "primary_image_url", "shipping_info", "page_type", "match_score", "fetch_source"]
    for key in ("title", "merchant_name"):
        assert isinstance(out[key], str)
    for key in ("brand", "sku", "primary_image_url"):
        assert out[key] is None or isinstance(out[key], str)
    price = out["price"]
    assert price is None or (isinstance(price, NormalizedPrice) and math.isfinite(price.amount)
                             and price.amount >= 0 and price.raw.endswith(" " + price.currency))
    assert out["stock_status"] is None or isinstance(out["stock_status"], StockStatus)
    assert out["condition"] is None or isinstance(out["condition"], ItemCondition)
    assert out["shipping_info"] is None and isinstance(out["page_type"], PageType)
    assert out["fetch_source"] in LABELS and isinstance(out["match_score"], int)


def test_realistic_page_reads_and_every_truncation_answers():
    out = parse(REALISTIC, "https://shop.example/products/scarf", "Scarf", "Shop")
    check(out)
    assert (out["fetch_source"], out["sku"], out["brand"], out["primary_image_url"]) == (
        "ld_json", "SC-1", "Ōkami", "https://i/1.jpg")
    assert (out["price"].amount, out["price"].currency, out["stock_status"]) == (49.9, "EUR", StockStatus.IN_STOCK)
    for end in range(0, len(REALISTIC), 7):
        check(parse(REALISTIC[:end], "https://shop.example/products/scarf", "Scarf", "Shop"))


def test_random_bytes_as_pages(rng):
    for _ in range(300):
        raw = bytes(rng.getrandbits(8) for _ in range(rng.choice([50, 250, 2000])))
        check(parse(raw.decode("utf-8", "replace"), "https://shop.example/p", "T", "M"))


def test_generated_hostile_pages(rng):
    links = ["https://shop.example/products/x", "https://www.amazon.de/dp/1", "https://x.com/a/status/1",
             "https://a.medium.com/blog/x", "", "mailto:someone"]
    for _ in range(3000):
        parts = [rng.choice(SHARDS) * rng.choice([1, 1, 2, 30]) for _ in range(rng.randint(1, 40))]
        html = "".join(parts) + " " * rng.choice([0, 200])
        check(parse(html, rng.choice(links), rng.choice(["", "Home", "x", "A B C"]), rng.choice(["", "Shop"]),
                    rank=rng.randint(-3, 40)))


@pytest.mark.parametrize("unit", [
    'class="woocommerce-Price-amount"', 'itemprop="price" content=', '<span class="sku" ', "<span class='a>sku' >",
    '<script type="application/ld+json">{"a":', '<meta property="og:title" content="x" ', "<title>x ",
    "class='x instock-ish ", "&amp;&#x41;&nbsp", "9,", "<span claſs='sku' itemprop=\"price\" ",
    "schema.org/outofstoc\u212a ",
])
def test_ten_megabyte_pages(unit):
    html = unit * (10_000_000 // len(unit))
    check(parse(html, "https://shop.example/p/1", "Title", "Shop"))


def test_deeply_nested_structured_data_is_skipped():
    deep = "[" * 1_000_000 + "]" * 1_000_000
    html = (f'<script type="application/ld+json">{deep}</script>'
            f'<script id="__NEXT_DATA__">{{"props":{{"pageProps":{deep}}}}}</script>')
    out = parse(html, "https://shop.example/p/1", "Title", "Shop")
    check(out)
    assert out["fetch_source"] == "opengraph"
    nested = {"@type": "Product", "name": "Deep", "sku": "D1"}
    for _ in range(900):
        nested = {"x": nested}
    out = parse('<script type="application/ld+json">' + json.dumps(nested) + "</script>" + " " * 200,
                "https://shop.example/p/1", "Title", "Shop")
    assert (out["fetch_source"], out["title"], out["sku"]) == ("ld_json", "Deep", "D1")
