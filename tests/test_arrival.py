"""Pages analysed as they arrive: the same answers as the batch analysis,
each page holding its fetch slot until it is analysed, and a host's own
fetch_one or fetch_many keeping the batch."""

import asyncio
import sys
import threading
import time
from pathlib import Path

import pytest

from resolver import PUBLIC, TableResolverLoop, run_with

import quillmere.commerce as commerce
from quillmere import _enrich
from quillmere.commerce import CommerceEnricher, FetchReport, VisualMatch
from quillmere.commerce import ScraplingDestinationFetcher as Fetcher

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))
from gen_pages import build  # noqa: E402

PAGES = {f"https://shop{i}.example/p/{i}": build(i)[1] for i in (0, 1, 2, 3, 5, 8)}


class Body:
    def __init__(self, body):
        self.body = body


class Pages:
    """A fetcher (``get(url, timeout=...)``, then ``.body``) serving PAGES,
    each after `delay` seconds; counts the requests in flight."""

    def __init__(self, delay=0.0, slow=()):
        self.delay, self.slow = delay, set(slow)
        self.calls, self.active, self.max_active = [], 0, 0

    async def get(self, url, **kwargs):
        self.calls.append(url)
        self.active += 1
        self.max_active = max(self.max_active, self.active)
        try:
            await asyncio.sleep(0.3 if url in self.slow else self.delay)
            return Body(PAGES.get(url, "").encode())
        finally:
            self.active -= 1


def search():
    links = list(PAGES) + ["https://gone.example/404"]
    matches = []
    for k in range(30):
        link = links[(5 * k) % len(links)]
        matches.append(VisualMatch(link=link + ("?utm_source=x" if k % 4 == 0 else ""), title=f"Item {k}",
                                   source=f"Shop {k % 5}", price=f"${10 + k}.99" if k % 3 else None,
                                   in_stock=(k % 2 == 0) if k % 5 else None))
    matches.insert(7, VisualMatch(link="http://[::1/broken", title="Broken", source="Somewhere"))
    return matches


def run(coro):
    return run_with(TableResolverLoop(default=[PUBLIC]), coro)


def batch_path(monkeypatch):
    """Binds a host's fetch_many (the engine's, called through): the batch path."""
    own = Fetcher.fetch_many
    monkeypatch.setattr(Fetcher, "fetch_many", classmethod(lambda cls, urls, **kw: own(urls, **kw)))
    assert not Fetcher._own_fetching()


@pytest.mark.parametrize("extended, max_items", [(False, None), (True, None), (False, 12)])
def test_the_answers_are_the_batchs(monkeypatch, extended, max_items):
    matches = search()

    def enrich():
        report = FetchReport()
        items = run(CommerceEnricher.enrich_matches_deep_async(matches, max_items, fetcher=Pages(), report=report,
                                                               extended=extended))
        return items, report.outcomes

    assert Fetcher._own_fetching()
    arriving, arriving_outcomes = enrich()
    batch_path(monkeypatch)
    batched, batched_outcomes = enrich()
    assert len(arriving) == (max_items or len(matches))
    assert arriving == batched
    assert [(o.outcome, o.link) for o in arriving_outcomes] == [(o.outcome, o.link) for o in batched_outcomes]
    assert any(item.sku for item in arriving)  # the pages were read


def test_each_page_is_analysed_in_its_slot_while_others_are_fetched(monkeypatch):
    real = _enrich.analyse_some
    fake = Pages(delay=0.02, slow=[next(iter(PAGES))])
    seen = {"analysing": 0, "max_held": 0, "threads": set(), "during_slow": 0}
    lock = threading.Lock()

    def watched(targets, link, text, *rest, **kw):
        # A body waiting for analysis keeps its slot; a page that gave no body
        # (the 404 link's empty answer) holds none while it is analysed.
        held = text is not None
        with lock:
            seen["analysing"] += held
            seen["max_held"] = max(seen["max_held"], seen["analysing"] + fake.active)
            seen["threads"].add(threading.get_ident())
            seen["during_slow"] += fake.active > 0
        try:
            time.sleep(0.03)
            return real(targets, link, text, *rest, **kw)
        finally:
            with lock:
                seen["analysing"] -= held

    monkeypatch.setattr(_enrich, "analyse_some", watched)

    async def go():
        seen["loop"] = threading.get_ident()
        return await CommerceEnricher.enrich_matches_deep_async(search(), fetcher=fake,
                                                                semaphore=asyncio.Semaphore(3))

    items = run(go())
    assert len(items) == 31
    assert seen["max_held"] <= 3  # a page waiting for analysis keeps its slot
    assert seen["during_slow"] >= 1  # pages were analysed while the slow one was still coming
    assert seen["loop"] not in seen["threads"]


def test_a_hosts_fetch_one_keeps_its_contract(monkeypatch):
    asked = []

    async def own_fetch_one(cls, url, sem, timeout=5, **kw):
        asked.append(url)
        return url, PAGES.get(url)

    monkeypatch.setattr(commerce, "AsyncFetcher", Pages())
    monkeypatch.setattr(Fetcher, "fetch_one", classmethod(own_fetch_one))
    assert not Fetcher._own_fetching()
    matches = search()
    items = run(CommerceEnricher.enrich_matches_deep_async(matches))
    assert sorted(asked) == sorted({link for link in _enrich._commerce._enrich_unwrap_links(matches) if link})
    monkeypatch.undo()
    assert items == run(CommerceEnricher.enrich_matches_deep_async(matches, fetcher=Pages()))


def test_progress_is_told_per_page_and_its_error_ends_the_call():
    calls = []
    fake = Pages(delay=0.01)
    run(CommerceEnricher.enrich_matches_deep_async(search(), fetcher=fake, progress=lambda d, t: calls.append((d, t))))
    total = len(PAGES) + 1
    assert calls == [(d, total) for d in range(total + 1)]

    def stop(done, total):
        if done == 2:
            raise KeyError("enough")

    fake = Pages(delay=0.01)
    with pytest.raises(KeyError):
        run(CommerceEnricher.enrich_matches_deep_async(search(), fetcher=fake, progress=stop,
                                                       semaphore=asyncio.Semaphore(2)))
    assert fake.active == 0 and len(fake.calls) < total  # nothing left running, the rest not started
