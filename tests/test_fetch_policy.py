"""The fetch policy around one request, against loopback servers through the
real fetcher: the per-host limit, retries with backoff and Retry-After, a
host's lowered limit, one request per page for concurrent callers."""

from __future__ import annotations

import asyncio

import pytest

from loopback_server import DROP, LoopbackServer

import quillmere.commerce as commerce
from quillmere.commerce import ScraplingDestinationFetcher as Fetcher
from quillmere.fetch import PageClient, recording, using
from quillmere.fetch._retry import backoff, retry_after_seconds, retry_wait
from quillmere.fetch._outcomes import PageFailure
from quillmere.models import FetchOutcome

PAGE = b"<html><title>ok</title><p>page</p></html>"


@pytest.fixture(autouse=True)
def internal_allowed(monkeypatch):
    assert commerce.AsyncFetcher is not None, "scrapling's AsyncFetcher did not import"
    monkeypatch.setattr(commerce, "REFUSE_INTERNAL_DESTINATIONS", False)


def fetch(client, urls, *, bound=32, timeout=3):
    """{link: text}, {link: outcome} for `urls` fetched through `client`."""
    async def go():
        sem = asyncio.Semaphore(bound)
        with recording() as outcomes, using(client):
            pages = await Fetcher.fetch_many(list(urls), timeout=timeout, semaphore=sem)
        await client.aclose()
        return pages, outcomes
    return asyncio.run(go())


# ------------------------------------------------------------ per-host limit
def test_requests_in_flight_per_host_never_pass_the_limit_and_hosts_move_apart():
    slow = {f"/p/{i}": (200, PAGE, 0.15) for i in range(24)}
    with LoopbackServer(slow) as one, LoopbackServer(slow, host="127.0.0.2") as two:
        urls = [srv.url(f"/p/{i}") for i in range(24) for srv in (one, two)]
        pages, outcomes = fetch(PageClient(per_host=3), urls)
        assert all(text == PAGE.decode() for text in pages.values())
        assert one.max_in_flight == 3 and two.max_in_flight == 3   # the limit, reached on each host
        assert all(o.attempts == 1 for o in outcomes.values())
        # Without the limit the bound alone holds them back.
        one.reset_counts()
        fetch(PageClient(), [one.url(f"/p/{i}") for i in range(24)], bound=8)
        assert one.max_in_flight == 8


def test_a_request_waiting_for_its_host_holds_no_slot_of_the_bound():
    # Bound 2, limit 1: the busy host holds one slot; the other host's pages
    # are all fetched while the first host's second page still waits.
    with LoopbackServer({"/slow": (200, PAGE, 0.6), "/slow2": (200, PAGE, 0.6)}) as busy, \
            LoopbackServer({f"/q/{i}": (200, PAGE, 0.02) for i in range(6)}, host="127.0.0.2") as other:
        urls = [busy.url("/slow"), busy.url("/slow2")] + [other.url(f"/q/{i}") for i in range(6)]
        pages, _ = fetch(PageClient(per_host=1), urls, bound=2)
        assert all(pages.values())
        times = other.times
        last_other = max(ts[0] for ts in times.values())
        assert last_other < busy.times["/slow2"][0]


def test_the_demo_fetcher_counts_hosts_by_the_link_not_the_rewritten_address():
    from quillmere.cli._engine import RewritingFetcher

    with LoopbackServer({f"/{h}/p": (200, PAGE, 0.2) for h in "abcdefgh"}) as srv:
        def rewrite(url):
            host = url.split("/")[2].split(".")[0]
            return srv.url(f"/{host}/p")
        fetcher = RewritingFetcher(commerce.AsyncFetcher, rewrite)
        links = [f"https://{h}.shop.test/p" for h in "abcdefgh"]

        async def go():
            with using(PageClient(per_host=1)):
                return await Fetcher.fetch_many(links, timeout=3, fetcher=fetcher,
                                                semaphore=asyncio.Semaphore(8))
        pages = asyncio.run(go())
        assert all(pages.values())
        assert srv.max_in_flight > 1  # eight hosts, one request each at a time, all at once


# ------------------------------------------------------------ retries
def test_429_with_retry_after_then_success_gives_the_page_not_sooner():
    routes = {"/p": [(429, b"slow down", 0.0, {"Retry-After": "1"}), (200, PAGE, 0.0)]}
    with LoopbackServer(routes) as srv:
        pages, outcomes = fetch(PageClient(retries=2), [srv.url("/p")])
        out = outcomes[srv.url("/p")]
        assert pages[srv.url("/p")] == PAGE.decode() and out.read and out.attempts == 2
        first, second = srv.times["/p"]
        assert second - first >= 1.0


def test_a_host_answering_only_429_ends_blocked_within_its_deadline_and_is_slowed():
    with LoopbackServer({f"/p/{i}": (429, b"no", 0.0, {"Retry-After": "1"}) for i in range(6)}) as srv:
        client = PageClient(retries=2, per_host=4)
        pages, outcomes = fetch(client, [srv.url(f"/p/{i}") for i in range(6)], timeout=1)
        assert pages == dict.fromkeys(pages)
        for out in outcomes.values():
            # Deadline (1 + 1) * 3 = 6 s: both retries fit (a 1 s wait and a 2 s attempt each).
            assert out.outcome is FetchOutcome.BLOCKED and out.status == 429 and out.attempts == 3
            assert out.seconds < 6
        assert client.stats.throttled == {"127.0.0.1": 1}   # lowered from 4, never below 1
        assert srv.max_in_flight <= 4


def test_a_retry_after_past_the_deadline_is_not_waited_for():
    with LoopbackServer({"/p": (503, b"later", 0.0, {"Retry-After": "30"})}) as srv:
        pages, outcomes = fetch(PageClient(retries=3), [srv.url("/p")], timeout=1)
        out = outcomes[srv.url("/p")]
        assert out.outcome is FetchOutcome.BLOCKED and out.attempts == 1 and srv.hits["/p"] == 1


def test_resets_and_gateway_errors_are_retried_other_errors_never():
    routes = {"/reset": [(200, b"", DROP), (200, PAGE, 0.0)], "/gateway": [(502, b"", 0.0), (504, b"", 0.0),
                                                                           (200, PAGE, 0.0)],
              "/gone": (404, b"no", 0.0), "/forbidden": (403, b"no", 0.0), "/error": (500, b"x", 0.0)}
    with LoopbackServer(routes) as srv:
        urls = [srv.url(p) for p in routes]
        pages, outcomes = fetch(PageClient(retries=2), urls)
        hits = srv.hits
        assert pages[srv.url("/reset")] == pages[srv.url("/gateway")] == PAGE.decode()
        assert (outcomes[srv.url("/reset")].attempts, outcomes[srv.url("/gateway")].attempts) == (2, 3)
        assert hits["/gone"] == hits["/forbidden"] == hits["/error"] == 1
        assert [outcomes[srv.url(p)].outcome for p in ("/gone", "/forbidden", "/error")] == [
            FetchOutcome.HTTP_ERROR, FetchOutcome.BLOCKED, FetchOutcome.HTTP_ERROR]
        # Without retries (the engine's default), the same server loses both.
        srv.reset_counts()
        pages, outcomes = fetch(PageClient(), [srv.url("/gateway")])
        assert pages[srv.url("/gateway")] is None and srv.hits["/gateway"] == 1


def test_retry_after_and_backoff_values():
    assert retry_after_seconds("1") == 1.0 and retry_after_seconds(" 3600 ") == 30.0
    assert retry_after_seconds("Wed, 21 Oct 2015 07:28:00 GMT") == 0.0
    assert retry_after_seconds("Wed, 21 Oct 2015 07:28:30 GMT", now=1445412480.0) == 30.0 - 0.0
    for bad in (None, "", "soon", "-1", "1.5", "\u0661"):
        assert retry_after_seconds(bad) is None
    waits = [backoff(k) for k in (1, 2, 3, 10)]
    assert 0.25 <= waits[0] <= 0.5 and 0.5 <= waits[1] <= 1.0 and 1.0 <= waits[2] <= 2.0 and waits[3] <= 8.0
    assert retry_wait(PageFailure(FetchOutcome.BLOCKED, "HTTP 429", 429, retry_after="2"), 1) == 2.0
    assert retry_wait(PageFailure(FetchOutcome.BLOCKED, "HTTP 403", 403), 1) is None
    assert retry_wait(ConnectionResetError(), 1) is not None and retry_wait(ConnectionRefusedError(), 1) is None
    assert retry_wait(asyncio.TimeoutError(), 1) is None


# ------------------------------------------------------------ one request per page
def test_concurrent_callers_of_one_page_share_one_request():
    with LoopbackServer({f"/p/{i}": (200, PAGE + str(i).encode(), 0.1) for i in range(20)}) as srv:
        def links(k):
            return [srv.url(f"/p/{(7 * k + 3 * j) % 20}") for j in range(10)]

        async def go(client):
            sem = asyncio.Semaphore(32)

            async def search(k):
                with recording() as got:
                    pages = await Fetcher.fetch_many(links(k), timeout=3, semaphore=sem)
                return pages, got

            with using(client):
                return await asyncio.gather(*(search(k) for k in range(50)))

        client = PageClient()
        results = asyncio.run(go(client))
        assert sum(srv.hits.values()) == 20 and set(srv.hits.values()) == {1}
        assert client.stats.shared == 50 * 10 - 20 and client.stats.requests == 20
        for pages, got in results:
            assert all(text == (PAGE + link.rsplit("/", 1)[1].encode()).decode() for link, text in pages.items())
            assert all(o.read and o.attempts == 1 for o in got.values())
        srv.reset_counts()
        asyncio.run(go(PageClient(single_flight=False)))
        assert sum(srv.hits.values()) == 500


def test_a_shared_fetch_outlives_a_cancelled_caller_but_not_all_of_them():
    with LoopbackServer({"/p": (200, PAGE, 0.4)}) as srv:
        async def go():
            client = PageClient()
            sem = asyncio.Semaphore(4)
            with using(client):
                first = asyncio.ensure_future(Fetcher.fetch_many([srv.url("/p")], timeout=3, semaphore=sem))
                second = asyncio.ensure_future(Fetcher.fetch_many([srv.url("/p")], timeout=3, semaphore=sem))
                await asyncio.sleep(0.1)
                first.cancel()
                got = await second
                lone = asyncio.ensure_future(Fetcher.fetch_many([srv.url("/p")], timeout=3, semaphore=sem))
                await asyncio.sleep(0.1)
                lone.cancel()
                await asyncio.gather(lone, return_exceptions=True)
            return got, client
        got, client = asyncio.run(go())
        assert got == {srv.url("/p"): PAGE.decode()}
        assert srv.wait_idle() and srv.hits["/p"] == 2 and srv.abandoned["/p"] == 1 and not client._flights


def test_the_engine_entries_without_a_client_still_send_one_request_per_page():
    from quillmere.commerce import CommerceEnricher, VisualMatch

    routes = {"/busy": [(503, b"", 0.0, {"Retry-After": "0"}), (200, PAGE, 0.0)],
              "/reset": [(200, b"", DROP), (200, PAGE, 0.0)], "/ok": (200, PAGE, 0.0)}
    with LoopbackServer(routes) as srv:
        matches = [VisualMatch(link=srv.url(p), title="t") for p in routes]
        report = commerce.FetchReport()
        asyncio.run(CommerceEnricher.process_async(matches, report=report))
        assert srv.hits == {"/busy": 1, "/reset": 1, "/ok": 1}
        assert [o.read for o in report.outcomes] == [False, False, True]
        assert all(o.attempts == 1 for o in report.outcomes)
