import asyncio
import json
import sys
import threading
from types import SimpleNamespace
from urllib.parse import quote

import pytest

from quillmere import commerce
from reference import unwraps_to_unsplittable
from quillmere.commerce import CommerceEnricher, URLUnwrapper, _run_coroutine
from quillmere.models import (
    CommerceIntelligence,
    CommerceSummary,
    EnrichedCommerceMatch,
    ItemCondition,
    MatchRelevance,
    MerchantCategory,
    NormalizedPrice,
    PageType,
    StockStatus,
    VisualMatch,
)

H, M, L = MatchRelevance.HIGH, MatchRelevance.MEDIUM, MatchRelevance.LOW

RECORD_FIELDS = {
    "title", "direct_url", "original_url", "price", "merchant_name", "merchant_category", "thumbnail",
    "match_score", "page_type", "brand", "sku", "condition", "stock_status", "primary_image_url", "shipping_info",
}


class FakeFetch:
    """Stands in for the batch fetch: records its calls, serves `pages`."""

    def __init__(self, pages=None, error=None):
        self.pages = pages or {}
        self.error = error
        self.calls = []
        self.options = []
        self.threads = []

    async def __call__(self, urls, max_workers=None, timeout=5, **options):
        self.calls.append(list(urls))
        self.options.append(options)
        self.threads.append(threading.get_ident())
        if self.error:
            raise self.error
        return {u: self.pages.get(u) for u in dict.fromkeys(urls)}


@pytest.fixture
def fetch(monkeypatch):
    fake = FakeFetch()
    monkeypatch.setattr(commerce.ScraplingDestinationFetcher, "fetch_many", fake, raising=False)
    return fake


def vm(i, **kw):
    fields = dict(link=f"https://shop{i}.example/item/{i}", title=f"Item {i}", source=f"Shop Number {i}",
                  thumbnail=f"https://img.example/{i}.jpg")
    fields.update(kw)
    return VisualMatch(**fields)


def deep(matches, max_items=None):
    return asyncio.run(CommerceEnricher.enrich_matches_deep_async(matches, max_items))


@pytest.mark.parametrize("count, max_items, kept", [
    (5, None, 5), (5, 2, 2), (3, -1, 2), (3, -5, 0), (3, 0, 0), (3, 10, 3), (0, None, 0),
])
def test_prefix_order_and_ranks(fetch, count, max_items, kept):
    matches = [vm(i) for i in range(count)]
    out = deep(matches, max_items)
    assert [r.original_url for r in out] == [m.link for m in matches[:kept]]
    assert [r.match_score for r in out] == [max(98 - 3 * k, 50) for k in range(kept)]
    assert fetch.calls == ([[m.link for m in matches[:kept]]] if count else [])


def test_records_are_what_validation_builds(fetch):
    fetch.pages = {"https://shop1.example/item/1": "<html><title>x</title></html>"}
    out = deep([vm(0, price="$1,299.00", in_stock=True), vm(1, thumbnail=None, source=None)])
    for rec in out:
        assert type(rec) is EnrichedCommerceMatch and rec.model_fields_set == RECORD_FIELDS
        again = EnrichedCommerceMatch.model_validate(rec.model_dump())
        assert again == rec and again.model_dump() == rec.model_dump()
        assert rec.price is None or type(rec.price) is NormalizedPrice
        assert rec.relevance is None and rec.shipping_info is None
        rec.relevance = MatchRelevance.LOW
        assert rec.model_dump()["relevance"] is MatchRelevance.LOW and "relevance" in rec.model_fields_set
    # no image from the page: the thumbnail stands in
    assert [r.primary_image_url for r in out] == ["https://img.example/0.jpg", None]


@pytest.mark.parametrize("bad", ["http://[broken/item", "https://shop.example/p?q=\udc80"])
def test_a_link_unwrapping_refuses_spoils_nothing_else(fetch, bad):
    with pytest.raises(ValueError):
        URLUnwrapper.unwrap(bad)
    matches = [vm(0), vm(1, link=bad, source="Corner Shop"), vm(2, link=bad, source=None), vm(3)]
    out = deep(matches)
    assert fetch.calls == [[matches[0].link, matches[3].link]]
    assert [r.direct_url for r in out] == [matches[0].link, bad, bad, matches[3].link]
    assert [r.original_url for r in out] == [m.link for m in matches]
    assert out[1].merchant_name == "Corner Shop" and out[2].merchant_name == ""
    assert [r.match_score for r in out] == [98, 95, 92, 89]


@pytest.mark.parametrize("bad", ["http:////[x", "https://www.google.com/url?q=http:////[x&sa=U"])
def test_a_link_that_unwraps_to_an_unsplittable_one_spoils_nothing_else(fetch, bad):
    if not unwraps_to_unsplittable(bad):
        pytest.skip("this Python rebuilds such a link so that it splits again")
    unwrapped = URLUnwrapper.unwrap(bad)  # unwrapping itself succeeds...
    with pytest.raises(ValueError):
        URLUnwrapper.extract_domain(unwrapped)  # ...but what it gives cannot be split
    matches = [vm(0), vm(1, link=bad, source="Corner Shop", price="$12.50", in_stock=False)]
    result = CommerceEnricher.process(matches)
    assert fetch.calls == [[matches[0].link]]  # the unsplittable link is never fetched
    good, odd = result.items
    assert good.direct_url == matches[0].link and good.match_score == 98
    assert (odd.direct_url, odd.original_url) == (bad, bad)
    assert (odd.title, odd.merchant_name, odd.match_score) == ("Item 1", "Corner Shop", 95)
    assert odd.price.amount == 12.5 and odd.price.currency == "USD"
    assert result.summary.total_matches == 2


def test_a_direct_link_that_cannot_be_split_is_analysed_without_its_page():
    from quillmere import _commerce

    page = ('<html><head><script type="application/ld+json">{"@type": "Product", "name": "From the page",'
            ' "offers": {"price": "99.00", "priceCurrency": "EUR"}}</script></head><body>' + "x" * 300 + "</body></html>")
    match = vm(0, source="Corner Shop")
    odd, fine = _commerce._enrich_after_fetch([match, match], ["http://[x", match.link],
                                              {"http://[x": page, match.link: page})
    assert (odd.title, odd.price, odd.merchant_name) == ("Item 0", None, "Corner Shop")
    assert (fine.title, fine.price.amount, fine.price.currency) == ("From the page", 99.0, "EUR")


GOOD = dict(link="https://a.example/x", title="t", source=None, price=None, currency=None, in_stock=None,
            thumbnail=None)


@pytest.mark.parametrize("field, value, message", [
    ("link", 5, "link must be str, not int"),
    ("title", None, "title must be str, not NoneType"),
    ("source", 1.5, "source must be str or None"),
    ("price", 12.5, "price must be str or None"),
    ("currency", b"USD", "currency must be str or None"),
    ("in_stock", 1, "in_stock must be bool or None"),
    ("thumbnail", ["x"], "thumbnail must be str or None"),
])
def test_type_errors(fetch, field, value, message):
    with pytest.raises(TypeError, match=message):
        deep([SimpleNamespace(**GOOD), SimpleNamespace(**{**GOOD, field: value})])
    # every field is checked before anything is fetched
    assert fetch.calls == []
    with pytest.raises(TypeError, match="max_items must be int or None"):
        deep([vm(0)], "2")
    with pytest.raises(TypeError, match="matches must be list"):
        CommerceEnricher.process((vm(0),))
    assert fetch.calls == []


def test_fetch_options_reach_the_batch_fetch_from_every_entry(fetch):
    sem, seen = asyncio.Semaphore(2), []

    def progress(done, total):
        seen.append((done, total))

    class Double:
        async def get(self, url, timeout=5):
            return None

    double = Double()
    options = dict(fetcher=double, progress=progress, semaphore=sem)
    deep([vm(0)])
    asyncio.run(CommerceEnricher.enrich_matches_deep_async([vm(1)], fetcher=double))
    asyncio.run(CommerceEnricher.process_async([vm(2)], progress=progress, semaphore=sem))
    CommerceEnricher.process([vm(3)], **options)
    # Keywords left at None are not passed on at all.
    assert fetch.options == [{}, {"fetcher": double}, {"progress": progress, "semaphore": sem}, options]
    with pytest.raises(TypeError, match="semaphore must be asyncio.Semaphore or None, not int"):
        CommerceEnricher.process([vm(4)], semaphore=3)
    with pytest.raises(TypeError, match="progress must be callable or None, not str"):
        asyncio.run(CommerceEnricher.enrich_matches_deep_async([], progress="bar"))
    assert len(fetch.calls) == 4


def test_empty_input_fetches_nothing_and_loads_no_relevance(fetch, monkeypatch):
    monkeypatch.delitem(sys.modules, "quillmere.relevance", raising=False)
    assert CommerceEnricher.process([]) == CommerceIntelligence()
    assert asyncio.run(CommerceEnricher.process_async([])) == CommerceIntelligence()
    assert fetch.calls == [] and "quillmere.relevance" not in sys.modules


def test_preset_relevance_is_kept_and_the_base_summary(fetch, monkeypatch):
    import quillmere.relevance as relevance

    bases = []
    real = relevance.recompute_market_summary
    monkeypatch.setattr(relevance, "recompute_market_summary", lambda items, base: bases.append(base) or real(items, base))
    original = CommerceEnricher.enrich_matches_deep_async.__func__

    async def enrich_with_one_graded(cls, matches, max_items=None):
        items = await original(cls, matches, max_items)
        items[1].relevance = MatchRelevance.HIGH  # the grader would say LOW
        return items

    monkeypatch.setattr(CommerceEnricher, "enrich_matches_deep_async", classmethod(enrich_with_one_graded))
    result = CommerceEnricher.process([vm(0), vm(1), vm(2)])
    assert [i.relevance for i in result.items] == [L, H, L]
    assert bases == [CommerceSummary(total_matches=3, currency="USD")]


def test_process_from_a_thread_and_from_a_running_loop(fetch):
    matches = [vm(i) for i in range(4)]
    plain = CommerceEnricher.process(matches)

    async def inside_loop():
        return CommerceEnricher.process(matches), threading.get_ident()

    nested, caller = asyncio.run(inside_loop())
    assert nested == plain and len(plain.items) == 4
    assert fetch.threads[0] == threading.get_ident() and fetch.threads[1] != caller

    fetch.error = LookupError("fetch broke")
    with pytest.raises(LookupError, match="fetch broke"):
        CommerceEnricher.process(matches)

    async def failing_inside_loop():
        with pytest.raises(LookupError, match="fetch broke"):
            CommerceEnricher.process(matches)
        return "raised in the caller"

    assert asyncio.run(failing_inside_loop()) == "raised in the caller"


class Ready:
    """An awaitable that is not a coroutine."""

    def __await__(self):
        yield from asyncio.sleep(0).__await__()
        return "ready"


def test_run_coroutine_uses_a_fresh_loop_and_closes_it():
    loops = []

    async def work(value):
        loops.append(asyncio.get_running_loop())
        await asyncio.sleep(0)
        return value

    assert _run_coroutine(work(1)) == 1

    async def outer():
        return _run_coroutine(work(2)), _run_coroutine(Ready()), asyncio.get_running_loop()

    two, ready, outer_loop = asyncio.run(outer())
    assert (two, ready) == (2, "ready")
    assert all(loop.is_closed() for loop in loops) and outer_loop not in loops and loops[0] is not loops[1]

    own = asyncio.new_event_loop()
    asyncio.set_event_loop(own)  # set for the thread but not running
    try:
        assert _run_coroutine(work(3)) == 3
        assert asyncio.get_event_loop() is own and not own.is_closed() and loops[-1] is not own
    finally:
        asyncio.set_event_loop(None)
        own.close()


# ------------------------------------------------- end to end, real fetcher
FILLER = "<p>" + "Breathable mesh, grippy outsole, made to last. " * 6 + "</p>"


def page(head, body=""):
    return f"<!doctype html><html><head>{head}</head><body>{FILLER}{body}</body></html>".encode()


LD_PRODUCT = {
    "@context": "https://schema.org", "@type": "Product", "name": "Northpeak Trail Runner &amp; Gaiter",
    "brand": {"@type": "Brand", "name": " Northpeak "}, "sku": "NP-100",
    "image": ["https://cdn.example/np100.jpg", "https://cdn.example/np100-b.jpg"],
    "offers": {"@type": "Offer", "price": "89.90", "priceCurrency": "EUR",
               "availability": "https://schema.org/InStock", "itemCondition": "https://schema.org/NewCondition"},
}
NEXT_DATA = {"props": {"pageProps": {"product": {
    "name": "Air Zoom Pegasus 40", "brandName": "Nike", "sku": "DV3853-001", "retailPriceCents": 12999}}}}

ROUTES = {
    "/products/trail-runner": page(f'<script type="application/ld+json">{json.dumps(LD_PRODUCT)}</script>'),
    "/item/air-zoom": page("<title>Air Zoom</title>",
                           f'<script id="__NEXT_DATA__" type="application/json">{json.dumps(NEXT_DATA)}</script>'),
    "/boots/waxed-chelsea": page(
        '<meta property="og:type" content="product"><meta property="og:brand" content="Bootmakers">'
        '<meta property="product:price:amount" content="1.299,00"><meta property="product:price:currency" content="eur">'
        '<meta property="og:image" content="https://cdn.example/boot.jpg">'
        '<meta property="product:availability" content="instock">'),
    "/catalogue/tent-2p": page(
        '<meta property="og:site_name" content="Gear Loft">',
        '<div itemscope itemtype="https://schema.org/Product"><meta itemprop="price" content="1,249.50">'
        '<meta itemprop="priceCurrency" content="GBP"><meta itemprop="sku" content="GL-2P">'
        '<link itemprop="availability" href="https://schema.org/OutOfStock"></div>'),
    "/shop/headlamp-400": page(
        "<title>Headlamp</title>",
        '<div class="product type-simple instock"><p class="price"><span class="woocommerce-Price-amount amount">'
        '<bdi><span class="woocommerce-Price-currencySymbol">&#36;</span>1,299.00</bdi></span></p>'
        '<span class="sku">HL-400</span></div>'),
    "/dp/B0TEST123": page('<meta property="og:title" content="Amazon.com: Hiking Poles">'
                          '<meta property="og:site_name" content="Amazon.com">'),
    "/blog/best-trail-shoes-2026": page('<meta property="og:type" content="article">'
                                        '<meta name="author" content="Jane Doe">'),
    "/p/Cx123": page('<meta property="og:image" content="https://cdn.example/insta.jpg">'
                     '<meta property="product:price:amount" content="75"><meta property="og:brand" content="Ignored">'
                     '<meta property="product:price:currency" content="USD">'),
}


@pytest.fixture(scope="module")
def server():
    from loopback_server import LoopbackServer

    if commerce.AsyncFetcher is None:
        pytest.skip("scrapling's AsyncFetcher is not importable")
    with LoopbackServer({path: (200, body, 0.0) for path, body in ROUTES.items()}) as srv:
        yield srv


def e2e_batch(srv):
    def host(name):
        return f"http://{name}.localhost:{srv.port}"

    northpeak = host("northpeak") + "/products/trail-runner?color=black"
    redirect = ("https://www.google.com/url?q=" + quote(northpeak + "&utm_medium=cpc", safe="")
                + "&sa=U&ved=2ahUKE&usg=AOvVaw")
    t = [f"https://thumbs.example/{i}.jpg" for i in range(12)]
    matches = [
        VisualMatch(link=northpeak + "&utm_source=lens&gclid=abc#:~:text=Trail", title="Trail runner",
                    source="Northpeak", price="$120.00", in_stock=False, thumbnail=t[1]),
        VisualMatch(link=host("kicksvault") + "/item/air-zoom", title="Air Zoom", source="Kicks Vault Online",
                    in_stock=False, thumbnail=t[2]),
        VisualMatch(link=host("bootmakers") + "/boots/waxed-chelsea", title="Waxed Chelsea Boot",
                    source="Bootmakers & Co", thumbnail=t[3]),
        VisualMatch(link=host("gearloft") + "/catalogue/tent-2p", title="Ultralight Tent 2P", source="Gear Loft",
                    thumbnail=t[4]),
        VisualMatch(link=host("trailshop") + "/shop/headlamp-400", title="Headlamp 400 Lumen",
                    source="Mountain Supply Co", thumbnail=t[5]),
        VisualMatch(link=host("www.amazon.com") + "/dp/B0TEST123", title="Carbon Hiking Poles", source="Amazon",
                    price="$34.99", thumbnail=t[6]),
        VisualMatch(link=srv.url("/blog/best-trail-shoes-2026"), title="Best trail shoes of 2026",
                    source="Run Journal", price="$99", thumbnail=t[7]),
        VisualMatch(link=host("instagram.com") + "/p/Cx123", title="Northpeak on Instagram: new trail runner",
                    source="Instagram", in_stock=True, thumbnail=t[8]),
        VisualMatch(link=srv.refused_url("/products/gone"), title="Gone Runner", source="Gone Store",
                    price="€45,00", thumbnail=t[9]),
        VisualMatch(link=redirect, title="Trail runner (redirect)", thumbnail=t[10]),
        VisualMatch(link="http://[::1/broken", title="Broken link", source="Somewhere", thumbnail=None),
    ]
    return matches, host


def price(amount, currency):
    return NormalizedPrice(raw=f"{amount:.2f} {currency}", amount=amount, currency=currency)


def test_end_to_end_against_a_loopback_server(server, monkeypatch):
    monkeypatch.setattr(commerce, "REFUSE_INTERNAL_DESTINATIONS", False)  # the server is on loopback
    matches, host = e2e_batch(server)
    server.reset_counts()
    result = CommerceEnricher.process(matches)
    port = server.port
    NEW, IN, OUT = ItemCondition.NEW, StockStatus.IN_STOCK, StockStatus.OUT_OF_STOCK
    OFFICIAL, UNVERIFIED = MerchantCategory.OFFICIAL_BRAND, MerchantCategory.UNVERIFIED
    northpeak = host("northpeak") + "/products/trail-runner?color=black"
    ld = dict(title="Northpeak Trail Runner & Gaiter", direct_url=northpeak, price=price(89.9, "EUR"),
              merchant_category=OFFICIAL, page_type=PageType.PRODUCT, brand="Northpeak", sku="NP-100",
              condition=NEW, stock_status=IN, primary_image_url="https://cdn.example/np100.jpg")
    expected = [
        dict(ld, merchant_name="Northpeak", match_score=99),
        dict(title="Air Zoom Pegasus 40", price=price(129.99, "USD"), merchant_name="Kicks Vault Online",
             merchant_category=OFFICIAL, match_score=95, page_type=PageType.PRODUCT, brand="Nike",
             sku="DV3853-001", condition=NEW, stock_status=IN, primary_image_url=matches[1].thumbnail),
        dict(title="Waxed Chelsea Boot", price=price(1299.0, "EUR"), merchant_name="Bootmakers & Co",
             merchant_category=OFFICIAL, match_score=92, page_type=PageType.PRODUCT, brand="Bootmakers", sku=None,
             condition=None, stock_status=IN, primary_image_url="https://cdn.example/boot.jpg"),
        dict(title="Ultralight Tent 2P", price=price(1249.5, "GBP"), merchant_name="Gear Loft",
             merchant_category=OFFICIAL, match_score=89, page_type=PageType.PRODUCT, brand="Gear Loft",
             sku="GL-2P", condition=None, stock_status=OUT, primary_image_url=matches[3].thumbnail),
        dict(title="Headlamp 400 Lumen", price=price(1299.0, "USD"), merchant_name="Mountain Supply Co",
             merchant_category=UNVERIFIED, match_score=86, page_type=PageType.PRODUCT, brand="Mountain Supply Co",
             sku="HL-400", condition=None, stock_status=IN, primary_image_url=matches[4].thumbnail),
        dict(title="Carbon Hiking Poles", direct_url=host("www.amazon.com") + "/dp/B0TEST123",
             price=price(34.99, "USD"), merchant_name="Amazon", merchant_category=OFFICIAL, match_score=83,
             page_type=PageType.MARKETPLACE, brand="Amazon.com", sku=None, condition=None, stock_status=IN,
             primary_image_url=matches[5].thumbnail),
        dict(title="Best trail shoes of 2026", price=price(99.0, "USD"), merchant_name="Run Journal",
             merchant_category=None, match_score=80, page_type=PageType.ARTICLE, brand="Jane Doe", sku=None,
             condition=None, stock_status=None, primary_image_url=matches[6].thumbnail),
        dict(title="Northpeak on Instagram: new trail runner", price=price(75.0, "USD"), merchant_name="Instagram",
             merchant_category=None, match_score=77, page_type=PageType.SOCIAL, brand=None, sku=None,
             condition=None, stock_status=None, primary_image_url="https://cdn.example/insta.jpg"),
        dict(title="Gone Runner", price=price(45.0, "EUR"), merchant_name="Gone Store", merchant_category=UNVERIFIED,
             match_score=74, page_type=PageType.PRODUCT, brand="Gone Store", sku=None, condition=None,
             stock_status=IN, primary_image_url=matches[8].thumbnail),
        dict(ld, merchant_name=f"northpeak.localhost:{port}", match_score=73),
        dict(title="Broken link", direct_url="http://[::1/broken", price=None, merchant_name="Somewhere",
             merchant_category=None, match_score=68, page_type=PageType.UNCATEGORIZED, brand=None, sku=None,
             condition=None, stock_status=None, primary_image_url=None),
    ]
    assert len(result.items) == len(expected)
    for k, (got, match, want) in enumerate(zip(result.items, matches, expected), start=1):
        want = {"direct_url": match.link, "original_url": match.link, "thumbnail": match.thumbnail,
                "shipping_info": None, **want}
        assert {f: getattr(got, f) for f in want} == want, f"match {k}"

    assert [i.relevance for i in result.items] == [H, H, H, H, M, H, L, L, M, H, L]
    s = result.summary
    assert (s.total_matches, s.currency, s.total_priced_matches, s.in_stock_count) == (11, "USD", 10, 7)
    assert (s.lowest_price, s.highest_price, s.median_price, s.average_price) == (34.99, 1299.0, 99.0, 327.6)
    assert s.by_page_type == {"product": 7, "marketplace": 1, "article": 1, "social": 1, "uncategorized": 1}
    assert s.by_merchant_category == {"official_brand": 6, "unverified": 2}
    # the repeated destination was fetched once; the dead and the broken link not at all
    assert server.hits["/products/trail-runner?color=black"] == 1
    assert sum(server.hits.values()) == 8

    async def from_a_running_loop():
        return CommerceEnricher.process(matches)

    assert asyncio.run(from_a_running_loop()) == result
