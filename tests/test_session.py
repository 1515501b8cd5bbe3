"""The held session: connections pooled per PageClient, every request pinned
to its checked address and sent without other pages' cookies, against
loopback servers that count the connections they accept."""

import asyncio
import ipaddress

import pytest

from loopback_server import HANG, LoopbackServer, Route
from resolver import TableResolverLoop, run_with

import quillmere.commerce as commerce
from quillmere.commerce import CommerceEnricher, FetchReport, PageClient, VisualMatch
from quillmere.commerce import ScraplingDestinationFetcher as Fetcher
from quillmere.fetch import _destination
from quillmere.models import FetchOutcome

pytestmark = pytest.mark.skipif(commerce.AsyncFetcher is None, reason="scrapling's AsyncFetcher is not importable")

PAGE = b"<html><head><title>Trail Shoe</title></head><body>" + b"<p>mesh</p>" * 200 + b"</body></html>"


@pytest.fixture(scope="module")
def keep():
    """A keep-alive server whose pages each set a cookie of their own."""
    routes = {f"/p/{i}": (200, PAGE, 0.0, {"Set-Cookie": f"seen{i}=yes; Path=/"}) for i in range(40)}
    routes["/closing"] = (200, PAGE, 0.0, {"Connection": "close"})
    routes["/cut"] = (200, b"only part", 0.0, {"Content-Length": "5000", "Connection": "close"})
    routes["/stall"] = (200, b"", HANG)
    with LoopbackServer(routes, fallback=(200, PAGE, 0.0), keep_alive=True) as srv:
        yield srv


@pytest.fixture(scope="module")
def closing():
    """A server that closes every connection after one answer."""
    with LoopbackServer(fallback=(200, PAGE, 0.0)) as srv:
        yield srv


@pytest.fixture
def allow_internal(monkeypatch):
    monkeypatch.setattr(commerce, "REFUSE_INTERNAL_DESTINATIONS", False)


def matches_for(srv, n=40, prefix="/p/"):
    return [VisualMatch(link=srv.url(f"{prefix}{i}"), title=f"Shoe {i}") for i in range(n)]


def run(coro, table=None):
    return run_with(TableResolverLoop(table), coro)


# ------------------------------------------------------------ connections
def test_one_call_reuses_connections_within_the_pool_and_sends_no_other_pages_cookies(keep, allow_internal):
    keep.reset_counts()
    report = FetchReport()
    CommerceEnricher.process(matches_for(keep), client=PageClient(max_in_flight=4), report=report)
    assert report.counts() == {"read": 40}
    assert keep.wait_idle()
    assert 1 <= keep.connections <= 4  # not one per page
    heads = keep.heads
    assert len(heads) == 40 and all("cookie" not in headers for _, headers in heads)
    # Sent as Scrapling's AsyncFetcher sends it: the browser's headers and the referer.
    assert all(h["referer"] == "https://www.google.com/" and "Chrome" in h["user-agent"] for _, h in heads)


def test_requests_look_as_they_did_through_scrapling(keep, allow_internal):
    from scrapling.fetchers import AsyncFetcher

    async def both():
        await AsyncFetcher.get(keep.url("/same"), timeout=3, follow_redirects=False, retries=1, headers={},
                               content_callback=lambda chunk: len(chunk))
        async with PageClient() as client:
            with commerce._fetch.using(client):
                await Fetcher.fetch_many([keep.url("/same")], timeout=3)

    keep.reset_counts()
    run(both())
    (_, before), (_, now) = keep.heads
    assert now == before


def test_one_shot_calls_do_not_share_connections_and_a_held_client_does(keep, allow_internal):
    keep.reset_counts()
    for _ in range(2):
        CommerceEnricher.process(matches_for(keep, 5))
    assert keep.wait_idle()
    one_shot = keep.connections
    assert one_shot >= 2  # each call opened its own

    async def service():
        # Each call sends its own requests here (no sharing of pages in flight).
        async with PageClient(max_in_flight=3, single_flight=False) as client:
            await asyncio.gather(*(CommerceEnricher.process_async(matches_for(keep, 12), client=client)
                                   for _ in range(3)))
            opened = keep.connections
            await CommerceEnricher.process_async(matches_for(keep, 12), client=client)
            return opened, keep.connections

    keep.reset_counts()
    opened, after = run(service())
    assert opened <= 3 and after == opened  # three concurrent calls and a later one, one pool of 3
    assert len(keep.heads) == 48


def test_a_server_that_closes_after_each_answer_still_serves_every_page(closing, allow_internal):
    closing.reset_counts()
    report = FetchReport()
    CommerceEnricher.process(matches_for(closing), report=report)
    assert report.counts() == {"read": 40}
    assert closing.wait_idle() and closing.connections == 40


def test_closed_cut_and_stalled_connections_cost_their_page_only(keep, allow_internal):
    links = [keep.url("/closing"), keep.url("/cut"), keep.url("/stall")] + [keep.url(f"/x/{i}") for i in range(6)]

    async def go():
        report = FetchReport()
        async with PageClient(max_in_flight=2) as client:
            matches = [VisualMatch(link=link, title="T") for link in links]
            await CommerceEnricher.process_async(matches, client=client, report=report)
            # The pool goes on after the faults.
            again = await Fetcher.fetch_many([keep.url("/again")], timeout=2)
        return report, again

    keep.reset_counts()
    report, again = run(go())
    kinds = [o.outcome for o in report.outcomes]
    assert kinds[0] == FetchOutcome.READ and kinds[2] == FetchOutcome.TIMEOUT
    assert kinds[1] not in (FetchOutcome.READ,) and kinds[3:] == [FetchOutcome.READ] * 6
    assert again == {keep.url("/again"): PAGE.decode()}
    assert keep.wait_idle()


# ------------------------------------------------------------ pinning
@pytest.fixture
def two_hosts():
    """Servers on 127.0.0.1 and 127.0.0.2 with the same port."""
    with LoopbackServer(fallback=(200, b"<p>first</p>", 0.0), keep_alive=True) as first:
        try:
            second = LoopbackServer(fallback=(200, b"<p>second</p>", 0.0), keep_alive=True, host="127.0.0.2",
                                    port=first.port).start()
        except OSError:
            pytest.skip("127.0.0.2 is not usable here")
        try:
            yield first, second
        finally:
            second.stop()


@pytest.fixture
def loopback_allowed(monkeypatch):
    """The check stays on and refuses what it refuses, except 127.0.0.1 and 127.0.0.2."""
    real = _destination.refused_address
    ours = {ipaddress.IPv4Address("127.0.0.1"), ipaddress.IPv4Address("127.0.0.2")}
    monkeypatch.setattr(_destination, "refused_address", lambda a: a not in ours and real(a))


def test_a_pooled_connection_serves_only_the_address_checked_for_it(two_hosts, loopback_allowed):
    first, second = two_hosts
    loop = TableResolverLoop({"shop.test": ["127.0.0.1"]})
    table = loop.table
    link = f"http://shop.test:{first.port}/item"

    async def go():
        async with PageClient() as client:
            with commerce._fetch.using(client):
                got = [await Fetcher.fetch_many([link + "?1"], timeout=2)]
                table["shop.test"] = ["127.0.0.2"]  # the name moves
                got.append(await Fetcher.fetch_many([link + "?2"], timeout=2))
                table["shop.test"] = ["10.0.0.7"]  # and then inside
                got.append(await Fetcher.fetch_many([link + "?3"], timeout=2))
                table["shop.test"] = ["127.0.0.1"]
                got.append(await Fetcher.fetch_many([link + "?4"], timeout=2))
        return got

    got = run_with(loop, go())
    assert [next(iter(g.values())) for g in got] == ["<p>first</p>", "<p>second</p>", None, "<p>first</p>"]
    # curl never looked the name up itself (it could not have: only the loop's table knows it);
    # the first server's connection was kept and reused for its own address only.
    assert [t for t, _ in first.heads] == ["/item?1", "/item?4"] and first.connections == 1
    assert [t for t, _ in second.heads] == ["/item?2"] and second.connections == 1
    assert all(h["host"] == f"shop.test:{first.port}" for _, h in first.heads + second.heads)


def test_a_redirect_to_another_host_opens_a_connection_there(two_hosts, loopback_allowed):
    first, second = two_hosts
    first._routes["/go"] = Route.of((302, b"", 0.0, {"Location": f"http://other.test:{first.port}/there"}))
    table = {"shop.test": ["127.0.0.1"], "other.test": ["127.0.0.2"]}
    got = run(Fetcher.fetch_many([f"http://shop.test:{first.port}/go"], timeout=2), table)
    assert list(got.values()) == ["<p>second</p>"]
    assert first.connections == 1 and second.connections == 1
    assert [t for t, _ in second.heads] == ["/there"]


def test_https_is_pinned_too(closing, loopback_allowed):
    # A name only the loop's resolver knows, over TLS, to a server that speaks
    # plain HTTP: curl reaches the checked address (where the handshake goes
    # nowhere), which it could not have found by itself.
    closing.reset_counts()
    link = f"https://secure.test:{closing.port}/p"

    async def go():
        with commerce._fetch.recording() as recorded:
            await Fetcher.fetch_many([link], timeout=1)
        return recorded[link]

    out = run(go(), {"secure.test": ["127.0.0.1"]})
    assert out.outcome in (FetchOutcome.TIMEOUT, FetchOutcome.UNREACHABLE) and out.detail != "name not found"
    assert closing.connections == 1


def test_a_batch_run_holds_one_client_for_all_its_searches(keep):
    from quillmere.batch import enrich_many
    from quillmere.fetch import default_bound

    searches = [{"id": f"s{k}", "matches": [{"link": keep.url(f"/run/{k}/{j}"), "title": "T"} for j in range(10)]}
                for k in range(6)]
    keep.reset_counts()
    outcomes = dict(enrich_many(searches, allow_internal=True))
    assert sorted(outcomes) == [f"s{k}" for k in range(6)]
    assert keep.wait_idle() and len(keep.heads) == 60
    assert keep.connections <= default_bound()  # shared by the run's searches, not one set per search
