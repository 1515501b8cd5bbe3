import asyncio
import sys
import threading
from types import SimpleNamespace

import pytest

from quillmere import commerce
from quillmere.commerce import CommerceEnricher, URLUnwrapper, _run_coroutine
from quillmere.models import (
    CommerceIntelligence,
    CommerceSummary,
    EnrichedCommerceMatch,
    MatchRelevance,
    NormalizedPrice,
    PageType,
    VisualMatch,
)

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
        self.threads = []

    async def __call__(self, urls, max_workers=None, timeout=5):
        self.calls.append(list(urls))
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


class Duck(SimpleNamespace):
    pass


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
def test_match_attribute_types(fetch, field, value, message):
    with pytest.raises(TypeError, match=message):
        deep([Duck(**GOOD), Duck(**{**GOOD, field: value})])
    # a wrong link fails before anything is fetched
    assert fetch.calls == ([] if field == "link" else [["https://a.example/x", "https://a.example/x"]])


@pytest.mark.parametrize("matches, max_items, message", [
    ((vm(0),), None, "matches must be list"),
    ([vm(0)], "2", "max_items must be int or None"),
])
def test_argument_types(fetch, matches, max_items, message):
    with pytest.raises(TypeError, match=message):
        deep(matches, max_items)
    with pytest.raises(TypeError, match="matches must be list"):
        CommerceEnricher.process(tuple(matches))
    assert fetch.calls == []


def test_empty_input_fetches_nothing_and_loads_no_relevance(fetch, monkeypatch):
    monkeypatch.delitem(sys.modules, "quillmere.relevance", raising=False)
    assert CommerceEnricher.process([]) == CommerceIntelligence()
    assert asyncio.run(CommerceEnricher.process_async([])) == CommerceIntelligence()
    assert fetch.calls == [] and "quillmere.relevance" not in sys.modules


def test_relevance_and_summary_calls(fetch, monkeypatch):
    import quillmere.relevance as relevance

    seen = {}
    real = relevance.recompute_market_summary

    def recompute(items, base):
        seen["base"] = base.model_copy()
        seen["items"] = items
        return real(items, base)

    preset = vm(1)
    monkeypatch.setattr(relevance, "recompute_market_summary", recompute)
    original = CommerceEnricher.enrich_matches_deep_async.__func__

    async def enrich_with_one_graded(cls, matches, max_items=None):
        items = await original(cls, matches, max_items)
        items[1].relevance = MatchRelevance.HIGH
        return items

    monkeypatch.setattr(CommerceEnricher, "enrich_matches_deep_async", classmethod(enrich_with_one_graded))
    result = CommerceEnricher.process([vm(0), preset, vm(2, link="https://x.example/blog/post")])
    assert seen["base"] == CommerceSummary(total_matches=3, currency="USD")
    assert [i.relevance for i in result.items][1] is MatchRelevance.HIGH
    assert all(i.relevance is relevance.classify_match_relevance(i, None)
               for k, i in enumerate(result.items) if k != 1)
    assert result.summary == real(result.items, CommerceSummary(total_matches=3))
    assert all(a is b for a, b in zip(result.items, seen["items"]))


def test_enrichment_must_give_a_list(fetch, monkeypatch):
    async def not_a_list(cls, matches, max_items=None):
        return tuple()

    monkeypatch.setattr(CommerceEnricher, "enrich_matches_deep_async", classmethod(not_a_list))
    with pytest.raises(TypeError, match="must be list"):
        CommerceEnricher.process([vm(0)])


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


def test_product_and_marketplace_pages_get_a_merchant_category(fetch):
    out = deep([vm(0, price="$20"), vm(1, link="https://news.example/blog/a-story", price=None)])
    assert [r.page_type for r in out] == [PageType.PRODUCT, PageType.ARTICLE]
    assert out[0].merchant_category is not None and out[1].merchant_category is None
